#include "edit/AreaDeletion.h"

#include <atomic>
#include <new>

#include "edit/Selection.h"
#include "platform/platform.h"
#include "volume/Reinsertion.h"
#include "volume/SharedFields.h"

namespace fusion {

RecordCopy::~RecordCopy() { platform::releaseZeroed(m_points, m_bytes); }

Deletion deleteSelection(Volume& volume, int threads, const PointData* points, int count,
                         UpdateBuffer& removals) {
    Deletion result;
    // Decided before anything changes: the in-place path needs a free-list
    // slot and an update slot for every selected point.
    const PointPool& pool = volume.points();
    const int64_t spare = static_cast<int64_t>(pool.freeCapacity()) - pool.freeCount();
    const bool compact = spare < count || count > removals.capacity();
    result.compact = compact;

    const float resolution = volume.resolution();
    const int reach = axisReach(resolution);
    std::atomic<int32_t> deleted{0};
    (void)threads;

    // Removes the record at `found` from its voxel, unless another selected
    // point got there first: the claim is made under the voxel lock, so a
    // record selected twice is released once. The result is the removed
    // record's scan level, or -1 when it stays.
    auto removeSelected = [&](const FoundPoint& found, bool marks_only) -> int {
        FusionPoint& record = *found.record;
        SpinGuard guard(volume.lockOf(found.voxel));
        if (marks_only ? relaxedLoad(record.absorbed_flag) == 0
                       : relaxedLoad(record.protected_flag) == 1)
            return -1;
        const int level = relaxedLoad(record.scan_level);
        const RemovedId id = compact ? RemovedId::Discarded : RemovedId::Reported;
        if (!removeRecord(volume, found, id, &removals, /*keep_fine_mark=*/false)) return -1;
        return level;
    };

#pragma omp parallel for schedule(static) num_threads(threads)
    for (int i = 0; i < count; ++i) {
        const PointData& selected = points[i];
        const auto [c, found] = findSelected(volume, selected);
        if (!found || relaxedLoad(found.record->protected_flag) == 1) continue;
        const int level = removeSelected(found, false);
        if (level < 0) continue;
        deleted.fetch_add(1);
        if (!isFineLevel(static_cast<uint8_t>(level))) continue;

        // A fine-scan point took marks in front of and behind it when its
        // area was set; they go with it.
        const int axis = dominantAxis(selected.normal);
        for (int offset = -reach; offset <= reach; ++offset) {
            if (offset == 0) continue;
            const FoundPoint mark = volume.lookupPoint(shifted(c, axis, offset), selected.normal);
            if (!mark || relaxedLoad(mark.record->absorbed_flag) == 0) continue;
            removeSelected(mark, true);
        }
    }
    result.deleted = deleted.load();
    return result;
}

std::unique_ptr<RecordCopy> copyRemainingRecords(const Volume& volume, int threads) {
    const int32_t used = volume.readablePointCount();
    const std::size_t bytes = static_cast<std::size_t>(used > 0 ? used : 1) * sizeof(FusionPoint);
    auto* points = static_cast<FusionPoint*>(platform::reserveZeroed(bytes, /*dense=*/true));
    if (points == nullptr) return nullptr;
    std::unique_ptr<RecordCopy> copy(new (std::nothrow) RecordCopy(points, used, bytes));
    if (!copy) {
        platform::releaseZeroed(points, bytes);
        return nullptr;
    }
    (void)threads;
#pragma omp parallel for schedule(static) num_threads(threads)
    for (int32_t i = 0; i < used; ++i) {
        const FusionPoint p = relaxedCopy(*volume.pointAt(i));
        if (p.observation_count != 0 || p.absorbed_flag != 0) points[i] = p;
    }
    return copy;
}

void reinsertRemainingRecords(Volume& volume, const PlacementRules& rules, int threads,
                              const RecordCopy& copy) {
    ViewIds& ids = volume.viewIds();
    auto source = [&copy](int32_t i, ReinsertItem& item) {
        const FusionPoint& kept = copy[i];
        if (kept.observation_count == 0 && kept.absorbed_flag == 0) return false;
        item.is_mark = kept.absorbed_flag == 1;
        for (int k = 0; k < 3; ++k) item.position[k] = kept.position[k];
        if (item.is_mark) {
            item.incoming = placeholderTemplate(kept.normal, kept.scan_level, kept.protected_flag);
            return true;
        }
        // Inserted unprotected so that it may fuse with whatever reached the
        // side first; its protection comes back afterwards.
        item.incoming = kept;
        item.incoming.view_id = -1;
        item.incoming.protected_flag = 0;
        item.stored.protected_flag = kept.protected_flag;
        return true;
    };
    auto settle = [&ids](FusionPoint& placed, const ReinsertItem& item) {
        if (relaxedLoad(placed.view_id) == -1) relaxedStore(placed.view_id, ids.allocate());
        relaxedStore(placed.protected_flag, item.stored.protected_flag);
    };
    reinsertRecords(volume, rules, threads, copy.size(), source, settle);
}

}  // namespace fusion
