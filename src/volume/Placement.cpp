#include "volume/Placement.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "volume/SharedFields.h"

namespace fusion {

namespace {

constexpr float kFloatEpsilon = 1.1920929e-7f;
constexpr uint16_t kMaxObservationCount = std::numeric_limits<uint16_t>::max();

// Fuses `incoming` into `stored`, touching only the fields a fusion changes.
// The other fields of a stored record are written concurrently without the
// voxel lock (the frame stamp by intake's compare-exchange, the view id by
// emitVertexUpdate, grades by preparation), so a whole-record write here
// could undo those writes.
//
// The count saturates at 65535 instead of wrapping: a wrapped count of 0
// would divide by zero here and would also make the record look empty. The
// mean is still weighted by the true sum, so a saturated record keeps
// converging, only ever more slowly.
void fuseInto(FusionPoint& stored, const FusionPoint& incoming) noexcept {
    const uint16_t stored_count = relaxedLoad(stored.observation_count);
    const uint32_t sum = uint32_t{stored_count} + incoming.observation_count;
    if (sum == 0) return;  // neither side carries weight: nothing to average
    const float stored_weight = static_cast<float>(stored_count);
    const float incoming_weight = static_cast<float>(incoming.observation_count);
    const float total = static_cast<float>(sum);
    for (int a = 0; a < 3; ++a) {
        relaxedStore(stored.position[a], (incoming_weight * incoming.position[a] +
                                          stored_weight * relaxedLoad(stored.position[a])) /
                                             total);
    }
    relaxedStore(stored.observation_count,
                 static_cast<uint16_t>(std::min<uint32_t>(sum, kMaxObservationCount)));
    if (isFineLevel(incoming.scan_level)) relaxedStore(stored.scan_level, incoming.scan_level);
    if (incoming.protected_flag == 1) relaxedStore(stored.protected_flag, uint8_t{1});
}

// Creates the record of an empty side: the record is written whole before
// the side is published, so lock-free readers that see the side see its
// normal. The caller holds the voxel lock.
FoundPoint createSide(Volume& volume, const VoxelRef& at, int side, const FusionPoint& incoming) {
    const int32_t fresh = volume.points().allocatePoint();
    if (fresh < 0) return FoundPoint{};
    FusionPoint* record = volume.pointAt(fresh);
    // A recycled index may still be read by a walk that saw it before it
    // was freed.
    relaxedAssign(*record, incoming);
    volume.publishSide(at, side, fresh);
    return FoundPoint{record, at.voxel, fresh, at.block, at.local};
}

// The side of `voxel` that holds record `index`, or -1.
int sideHolding(const Voxel& voxel, int32_t index) {
    if (voxel.side(0) == index) return 0;
    if (voxel.side(1) == index) return 1;
    return -1;
}

void markOrComplain(const Volume& volume, const PlacementRules& rules, const float position[3],
                    const Int3& c, FusionPoint* record) {
    if (rules.mark_sub_cells && markSubVoxel(volume.resolution(), position, c, record) == 1) {
        std::printf("统计子体素数量错误！\n");
    }
}

}  // namespace

FoundPoint addObservation(Volume& volume, const PlacementRules& rules, const float position[3],
                          const FusionPoint& incoming, PlacementCache* cache) {
    // The facing test uses the template's normal.
    const Int3 c = voxelOf(position, volume.resolution());
    const VoxelRef at = volume.findOrCreateVoxel(c, cache);
    if (!at) return FoundPoint{};
    Voxel* voxel = at.voxel;

    // The whole decision runs under the voxel's lock: side creation and every
    // write of the two records need it anyway, and reading the facing normal
    // and the guards under the same lock keeps them consistent with the write.
    SpinGuard guard(volume.lockOf(voxel));
    FoundPoint target;
    for (int s = 0; s < 2 && !target; ++s) {
        const int32_t index = voxel->side(s);
        if (index == -1) {
            FoundPoint created = createSide(volume, at, s, incoming);
            if (created) markOrComplain(volume, rules, position, c, created.record);
            return created;
        }
        if (index < 0) return FoundPoint{};
        FusionPoint* record = volume.pointAt(index);
        if (facesNormal(*record, incoming.normal))
            target = FoundPoint{record, voxel, index, at.block, at.local};
    }
    if (!target) return FoundPoint{};  // neither stored normal faces this one

    FusionPoint& stored = *target.record;
    if (relaxedLoad(stored.protected_flag) == 1 && incoming.protected_flag != 1)
        return FoundPoint{};
    const uint8_t stored_level = relaxedLoad(stored.scan_level);
    if (isFineLevel(stored_level)) {
        // A fine-scan record finer than the scanner can resolve only takes
        // fine observations of a blocking (deliberate) frame.
        const float edge = volume.resolution() / static_cast<float>(levelDivisor(stored_level));
        if (rules.point_spacing > edge &&
            !(rules.blocking_frame && isFineLevel(incoming.scan_level))) {
            return FoundPoint{};
        }
    }

    if (relaxedLoad(stored.observation_count) != 0) {
        fuseInto(stored, incoming);
    } else {
        // A record without observations is replaced whole, keeping its level,
        // protection and frame stamp: intake claims records by
        // compare-and-exchange on the stamp, and resetting it would let a
        // second point of the same frame claim the record.
        FusionPoint replacement = incoming;
        replacement.scan_level = stored_level;
        replacement.protected_flag = relaxedLoad(stored.protected_flag);
        replacement.frame_stamp = relaxedLoad(stored.frame_stamp);
        relaxedAssign(stored, replacement);
    }
    markOrComplain(volume, rules, position, c, &stored);
    return target;
}

bool removeRecord(Volume& volume, const FoundPoint& found, RemovedId id, UpdateBuffer* removals,
                  bool keep_fine_mark) {
    const int side = sideHolding(*found.voxel, found.index);
    if (side < 0) return false;
    FusionPoint& record = *found.record;
    ViewIds& ids = volume.viewIds();
    {
        // From the look at the id until the record is empty: a first update
        // naming the record meanwhile would otherwise go unanswered.
        SpinGuard naming(ids.namingLock(record));
        // Reported while the record still holds data: the update writer
        // reports nothing for an empty record.
        if (id == RemovedId::Reported && removals != nullptr) {
            emitVertexUpdate(ids, record, -1, *removals);
        } else if (id == RemovedId::Released && relaxedLoad(record.view_id) != -1) {
            ids.releaseId(relaxedLoad(record.view_id));
        }
        volume.duringRemoval(record);
        if (keep_fine_mark && isFineLevel(relaxedLoad(record.scan_level))) {
            // Position, normal and level stay, so the side still tells later
            // observations that this spot is scanned finely.
            relaxedStore(record.observation_count, uint16_t{0});
            relaxedStore(record.view_id, int32_t{-1});
            relaxedStore(record.absorbed_flag, uint8_t{1});
            return true;
        }
        relaxedAssign(record, defaultFusionPoint());
    }
    volume.clearSide(found.where(), side);
    if (id != RemovedId::Discarded) volume.points().releasePoint(found.index);
    return true;
}

int addPlaceholder(Volume& volume, const Int3& c, FusionPoint incoming) {
    for (int a = 0; a < 3; ++a)
        incoming.position[a] = static_cast<float>(c[a]) * volume.resolution();
    const VoxelRef at = volume.findOrCreateVoxel(c);
    if (!at) return 1;
    Voxel* voxel = at.voxel;

    SpinGuard guard(volume.lockOf(voxel));
    for (int s = 0; s < 2; ++s) {
        const int32_t index = voxel->side(s);
        if (index == -1) return createSide(volume, at, s, incoming) ? 0 : 1;
        if (index < 0) return 1;
        FusionPoint& record = *volume.pointAt(index);
        if (!facesNormal(record, incoming.normal)) continue;
        // Only an emptied record takes the placeholder's marks; a record
        // holding data keeps its own.
        if (relaxedLoad(record.absorbed_flag) == 1) {
            relaxedStore(record.scan_level, incoming.scan_level);
            relaxedStore(record.protected_flag, incoming.protected_flag);
        }
        return 0;
    }
    return 1;
}

void layMarksAlongAxis(Volume& volume, const Int3& centre, int axis, int reach,
                       const FusionPoint& mark) {
    for (int offset = -reach; offset <= reach; ++offset) {
        if (offset != 0) addPlaceholder(volume, shifted(centre, axis, offset), mark);
    }
}

FusionPoint placeholderTemplate(const float normal[3], uint8_t scan_level, uint8_t protected_flag) {
    FusionPoint p = defaultFusionPoint();
    for (int i = 0; i < 3; ++i) p.normal[i] = normal[i];
    p.scan_level = scan_level;
    p.protected_flag = protected_flag;
    p.absorbed_flag = 1;
    return p;
}

int markSubVoxel(float resolution, const float position[3], const Int3& c, FusionPoint* record) {
    if (record == nullptr) return 1;
    const uint64_t mask = relaxedLoad(record->sub_voxel_mask);
    if (mask == ~uint64_t{0}) return 0;
    const float r = resolution;
    const float half = static_cast<float>(static_cast<double>(r) * 0.5);
    const float quarter = static_cast<float>(static_cast<double>(r) * 0.25);
    int cell[3];
    bool on_upper_face = false;
    for (int a = 0; a < 3; ++a) {
        const float lower = static_cast<float>(c[a]) * r - half;
        float t = (position[a] - lower) / quarter;
        if (t < 0.0f) t += kFloatEpsilon;
        cell[a] = static_cast<int>(t);  // truncates, as t is small
        if (cell[a] == 4) on_upper_face = true;
    }
    // A point exactly on the upper face of its voxel belongs to the last cell.
    if (on_upper_face) {
        for (int& i : cell) i = std::min(i, 3);
    }
    const float linear = static_cast<float>(cell[2]) * 16.0f + static_cast<float>(cell[1]) * 4.0f +
                         static_cast<float>(cell[0]);
    const int bit = static_cast<int>(linear) & 63;
    const uint64_t marked = mask | (uint64_t{1} << bit);
    // A sub-cell hit before leaves the mask, and so its counts, as they are.
    if (marked != mask) storeSubCellMask(*record, marked);
    return 0;
}

FusionPoint mergeObservation(const FusionPoint& stored, const FusionPoint& incoming) {
    FusionPoint merged = stored;
    fuseInto(merged, incoming);
    return merged;
}

}  // namespace fusion
