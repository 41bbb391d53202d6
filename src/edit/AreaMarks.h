#pragma once

// Marking host selections as fine-scan or protected areas.

#include "fusion/Kelvane.h"
#include "volume/Volume.h"

namespace fusion {

enum class AreaKind { FineScan, Protect, Unprotect };

// Changes the level (FineScan) or the protection of every selected point's
// record and lays placeholders before and behind it along its normal, so
// that later frames respect the mark around the surface too. 1 when there
// is no selection, else 0.
int markArea(Volume& volume, int threads, const PointData* points, int count, AreaKind kind);

}  // namespace fusion
