#pragma once

// The access rule for records in shared storage, stated once:
//
//   Every field of a FusionPoint that lives in the point pool is read and
//   written through relaxedLoad / relaxedStore (or relaxedCopy /
//   relaxedAssign for the whole record), whether or not the voxel lock is
//   held. The voxel lock only serialises writers; readers never take it
//   (neighbourhood walks, extraction, saving, the second stages of earlier
//   frames), so every access must be a single untorn one. No ordering is
//   implied: readers see either the old or the new value of each field.
//   The frame stamp, which two threads may claim at once, changes by
//   compareExchange32; a record's view id is given and taken back under its
//   naming lock (ViewIds::namingLock). The sub-cell mask is stored only through
//   storeSubCellMask (or relaxedAssign), which keeps the counts derived from
//   it beside it.
//
// The fields cannot be std::atomic: records are copied whole, written into
// snapshots field by field and live in zero pages.

#include <cstdint>

#include "platform/portability.h"
#include "volume/Records.h"

namespace fusion {

using platform::compareExchange32;
using platform::relaxedLoad;
using platform::relaxedStore;

// A field-by-field copy of a shared record.
inline FusionPoint relaxedCopy(const FusionPoint& r) noexcept {
    FusionPoint c{};
    for (int k = 0; k < 3; ++k) {
        c.position[k] = relaxedLoad(r.position[k]);
        c.normal[k] = relaxedLoad(r.normal[k]);
    }
    c.sub_voxel_mask = relaxedLoad(r.sub_voxel_mask);
    c.scan_level = relaxedLoad(r.scan_level);
    c.protected_flag = relaxedLoad(r.protected_flag);
    c.quality_code = relaxedLoad(r.quality_code);
    c.observation_count = relaxedLoad(r.observation_count);
    c.normal_update_count = relaxedLoad(r.normal_update_count);
    c.absorbed_flag = relaxedLoad(r.absorbed_flag);
    c.frame_stamp = relaxedLoad(r.frame_stamp);
    c.view_id = relaxedLoad(r.view_id);
    c.confirmed_flag = relaxedLoad(r.confirmed_flag);
    c.normal_fresh_flag = relaxedLoad(r.normal_fresh_flag);
    c.sub_cell_counts = relaxedLoad(r.sub_cell_counts);
    return c;
}

// Stores a record's sub-cell mask and the counts derived from it. A reader
// may see the new mask with the old counts for a moment; walks read only
// the counts, and those are one untorn word.
inline void storeSubCellMask(FusionPoint& r, uint64_t mask) noexcept {
    relaxedStore(r.sub_voxel_mask, mask);
    relaxedStore(r.sub_cell_counts, subCellCounts(mask));
}

// Writes every field of `value` into a shared record, one field at a time.
inline void relaxedAssign(FusionPoint& r, const FusionPoint& value) noexcept {
    for (int k = 0; k < 3; ++k) {
        relaxedStore(r.position[k], value.position[k]);
        relaxedStore(r.normal[k], value.normal[k]);
    }
    // The counts follow the mask whatever `value` carried in them.
    storeSubCellMask(r, value.sub_voxel_mask);
    relaxedStore(r.scan_level, value.scan_level);
    relaxedStore(r.protected_flag, value.protected_flag);
    relaxedStore(r.quality_code, value.quality_code);
    relaxedStore(r.observation_count, value.observation_count);
    relaxedStore(r.normal_update_count, value.normal_update_count);
    relaxedStore(r.absorbed_flag, value.absorbed_flag);
    relaxedStore(r.frame_stamp, value.frame_stamp);
    relaxedStore(r.view_id, value.view_id);
    relaxedStore(r.confirmed_flag, value.confirmed_flag);
    relaxedStore(r.normal_fresh_flag, value.normal_fresh_flag);
}

// The normal of a shared record, read untorn component by component.
inline void loadNormal(const FusionPoint& r, float out[3]) noexcept {
    for (int k = 0; k < 3; ++k) out[k] = relaxedLoad(r.normal[k]);
}

inline void loadPosition(const FusionPoint& r, float out[3]) noexcept {
    for (int k = 0; k < 3; ++k) out[k] = relaxedLoad(r.position[k]);
}

// True when the stored record faces `normal` (positive dot product; a dot of
// exactly 0 never faces).
inline bool facesNormal(const FusionPoint& record, const float normal[3]) noexcept {
    return relaxedLoad(record.normal[0]) * normal[0] + relaxedLoad(record.normal[1]) * normal[1] +
               relaxedLoad(record.normal[2]) * normal[2] >
           0.0f;
}

}  // namespace fusion
