#pragma once

// Layer merging: one surface observed from slightly different depths leaves
// records in neighbouring voxels along its normal. The record, the
// same-facing record in front of it and the one behind it are fused into one
// record, which stays in the voxel its fused position falls into; the others
// are emptied (fine levels) or removed (ordinary levels).

#include "volume/BlockCache.h"
#include "volume/Outcome.h"
#include "volume/Records.h"
#include "volume/UpdateBuffer.h"
#include "volume/Volume.h"

namespace fusion {

// The frame path: reports the survivor's change and every removal into
// `updates`, and never touches a protected record. Status 1 when nothing
// merged; the message names the failure (none when the record simply has
// no same-facing neighbour).
// With a cache, the three lookups go through it (the calling thread's, see
// BlockCache).
Outcome mergeLayers(Volume& volume, FusionPoint* record, UpdateBuffer& updates,
                    BlockCache* cache = nullptr);

// The reorganisation path: reports nothing, returns absorbed records' view
// ids at once and treats protected records like any other.
Outcome mergeLayersQuiet(Volume& volume, FusionPoint* record);

}  // namespace fusion
