// Marking host selections as fine-scan or protected areas. Both change the
// flags of the selected points and lay placeholder records in the voxels in
// front of and behind each point along its normal, so that later frames
// respect the mark on the surface's neighbourhood too.

#include <cstdint>

#include "edit/EditSupport.h"
#include "engine/HashTable.h"

namespace fusion {

namespace {

enum class AreaKind { FineScan, Protect, Unprotect };

int markArea(HashTable& engine, const PointData* points, int count, AreaKind kind) {
    if (!engine.m_is_init) {
        engine.m_error_message = "is not init !";
        return 1;
    }
    if (points == nullptr || count < 1) return 1;
    const float resolution = engine.m_resolution;
    const int reach = axisReach(resolution);

#pragma omp parallel for schedule(static) num_threads(engine.m_thread_num)
    for (int i = 0; i < count; ++i) {
        const PointData& selected = points[i];
        if (!edit::placeable(selected.position, resolution)) continue;
        const Int3 c = voxelOf(selected.position, resolution);
        FusionPoint* record = nullptr;
        Voxel* voxel = nullptr;
        int32_t index = -1;
        if (engine.lookupPoint(c, selected.normal, record, voxel, index) != 0 ||
            record == nullptr) {
            continue;
        }

        const uint32_t attributes = static_cast<uint32_t>(selected.attributes);
        const uint8_t level = normaliseScanLevel(attributes & 0xFFu);
        uint8_t mark_protection = 0;
        bool lay_marks = true;
        {
            SpinGuard guard(voxel->lock);
            if (kind == AreaKind::FineScan) {
                record->scan_level = level;
                // A protected point keeps its surroundings as they are.
                lay_marks = record->protected_flag != 1;
                mark_protection = static_cast<uint8_t>(attributes >> 8);
            } else {
                mark_protection = kind == AreaKind::Protect ? 1 : 0;
                record->protected_flag = mark_protection;
            }
            record->absorbed_flag = 0;
        }
        if (!lay_marks) continue;

        const FusionPoint mark =
            edit::placeholderTemplate(selected.normal, level, mark_protection);
        const int axis = dominantAxis(selected.normal);
        for (int offset = -reach; offset <= reach; ++offset) {
            if (offset != 0) engine.addPlaceholder(edit::shifted(c, axis, offset), mark);
        }
    }
    return 0;
}

}  // namespace

int HashTable::setFineScanArea(const PointData* points, int count) {
    return markArea(*this, points, count, AreaKind::FineScan);
}

int HashTable::setProtectedArea(const PointData* points, int count, bool unprotect) {
    return markArea(*this, points, count, unprotect ? AreaKind::Unprotect : AreaKind::Protect);
}

}  // namespace fusion
