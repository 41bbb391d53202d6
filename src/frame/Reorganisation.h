#pragma once

#include "volume/Volume.h"

namespace fusion {

// One pass over every fine-scan or protected record: protected records get
// a fresh normal and are merged again; every such record lays marker
// records in the voxels in front of and behind it along its normal.
// Returns the message of a failed merge during the pass (the last one
// stored), or null.
const char* dataOrganize(Volume& volume, int threads);

}  // namespace fusion
