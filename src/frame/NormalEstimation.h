#pragma once

// Normals by principal component analysis of the facing neighbourhood.

#include "volume/BlockCache.h"
#include "volume/Records.h"
#include "volume/Volume.h"

namespace fusion {

// The per-frame estimator's plane tests on the eigenvalues l0 >= l1 >= l2
// of a neighbourhood's scatter: two real spreads, a much thinner third, and
// neither too flat nor too elongated.
bool isClearPlane(const double values[3]) noexcept;

// The second stage's estimate, throttled per point. True tells the caller
// to merge the point's layers in this frame.
bool estimateFrameNormal(const Volume& volume, FusionPoint* point);
// The same through the calling thread's cache (see BlockCache).
bool estimateFrameNormal(BlockCache& cache, FusionPoint* point);

// The reorganisation pass's estimate, with acceptance depending on the
// resolution. True: the normal was replaced and `out_normal` holds it.
// False: unchanged; `out_normal` holds the current normal when an estimate
// was made but not adopted, and is not written when none could be made.
bool reestimateNormal(const Volume& volume, FusionPoint* point, float out_normal[3]);

}  // namespace fusion
