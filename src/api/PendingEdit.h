#pragma once

// A region edit the host asked for before init(). The wrapper keeps its own
// copy of the selection, because the host's array is only valid during the
// call, and replays the edits in request order once the engine exists.

#include <cstdint>
#include <vector>

#include "fusion/Kelvane.h"

namespace fusion {

struct PendingEdit {
    enum Kind : int32_t { kProtectedArea = 0, kDeleteSelectedArea = 1, kFineScanArea = 2 };

    int32_t kind = kProtectedArea;
    std::vector<PointData> points;
};

}  // namespace fusion
