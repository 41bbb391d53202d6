#pragma once

// Seeding the volume from a point set the host already has.

#include "fusion/Kelvane.h"
#include "volume/Placement.h"
#include "volume/Volume.h"

namespace fusion {

// Places every point like an observation (level 8, unprotected) in one
// parallel pass and gives each record it lands in a view id. Points that
// cannot be placed are dropped.
void buildFromPoints(Volume& volume, const PlacementRules& rules, int threads,
                     const PointData* points, int count);

}  // namespace fusion
