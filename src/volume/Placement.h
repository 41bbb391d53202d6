#pragma once

// Putting observations and placeholders into voxel sides. The only code
// that creates records.

#include <cstdint>

#include "volume/Coordinates.h"
#include "volume/Records.h"
#include "volume/UpdateBuffer.h"
#include "volume/Volume.h"

namespace fusion {

// The engine settings a placement obeys, as they stand for the current frame
// or edit.
struct PlacementRules {
    bool mark_sub_cells = true;   // quality judging is on: record sub-cell hits
    float point_spacing = 0.0f;   // the device's point spacing, as the host gave it
    bool blocking_frame = false;  // the current frame is blocking
};

// Places one observation (a prepared record) at `position`: into an empty
// side of its voxel as a new record, or fused into the stored record that
// faces it. Returns the record that holds it, with its voxel and index; an
// empty result when it was dropped (no block, voxel or record could be had,
// neither stored normal faces it, protection or the fine-level guard turned
// it away).
//
// `cache` (one per thread) remembers the block of the previous placement,
// which the next one usually falls into.
FoundPoint addObservation(Volume& volume, const PlacementRules& rules, const float position[3],
                          const FusionPoint& incoming, PlacementCache* cache = nullptr);

// Places a weightless placeholder at the centre of voxel c: into an empty
// side, or onto a facing record that is itself absorbed (which then takes
// the placeholder's level and protection). 0 done, 1 not placed.
int addPlaceholder(Volume& volume, const Int3& c, FusionPoint incoming);

// What becomes of the view id of a removed record.
enum class RemovedId {
    Reported,   // a removal record tells the host; the id returns once it is queued
    Released,   // no record: the id returns at once (the host re-reads the cloud)
    Discarded,  // no record, and neither the id nor the index returns: the
                // volume is cleared and rebuilt next
};

// Takes the record at `found` out of the volume, the one way every removal
// goes (layer merging, deletion): its id is dealt with as `id` says (a
// Reported removal is written into `removals`), then a fine-scan record
// stays in its side as an absorbed mark when `keep_fine_mark` is set (no
// observations, no id, position, normal and level kept), and any other
// record is reset to the empty record, its side cleared and its index
// released (unless Discarded). The caller holds the voxel's lock and has
// decided that the record goes. False, changing nothing, when the voxel's
// sides no longer hold the record (removed meanwhile, its index perhaps in
// use elsewhere).
bool removeRecord(Volume& volume, const FoundPoint& found, RemovedId id, UpdateBuffer* removals,
                  bool keep_fine_mark);

// Lays `mark` in the voxels `reach` steps before and after `centre` along
// `axis` (offsets -reach .. -1, then 1 .. reach).
void layMarksAlongAxis(Volume& volume, const Int3& centre, int axis, int reach,
                       const FusionPoint& mark);

// A weightless absorbed record facing `normal`, carrying a level and a
// protection; placement puts it at a voxel centre.
FusionPoint placeholderTemplate(const float normal[3], uint8_t scan_level, uint8_t protected_flag);

// Sets the bit of the 4 x 4 x 4 sub-cell of voxel c that `position` falls
// into. 1 when the record is missing.
int markSubVoxel(float resolution, const float position[3], const Int3& c, FusionPoint* record);

// The record that fusing `incoming` into `stored` gives: count-weighted mean
// position, summed count (saturating at 65535), a fine level and protection
// taken over from the incoming observation, everything else kept.
FusionPoint mergeObservation(const FusionPoint& stored, const FusionPoint& incoming);

}  // namespace fusion
