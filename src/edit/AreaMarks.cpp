#include "edit/AreaMarks.h"

#include <cstdint>

#include "edit/Selection.h"
#include "volume/Placement.h"
#include "volume/SharedFields.h"

namespace fusion {

int markArea(Volume& volume, int threads, const PointData* points, int count, AreaKind kind) {
    if (points == nullptr || count < 1) return 1;
    const float resolution = volume.resolution();
    const int reach = axisReach(resolution);
    (void)threads;

#pragma omp parallel for schedule(static) num_threads(threads)
    for (int i = 0; i < count; ++i) {
        const PointData& selected = points[i];
        const auto [c, found] = findSelected(volume, selected);
        if (!found) continue;

        const uint32_t attributes = static_cast<uint32_t>(selected.attributes);
        const uint8_t level = normaliseScanLevel(attributes & 0xFFu);
        uint8_t mark_protection = 0;
        bool lay_marks = true;
        {
            SpinGuard guard(volume.lockOf(found.voxel));
            FusionPoint& record = *found.record;
            if (kind == AreaKind::FineScan) {
                relaxedStore(record.scan_level, level);
                // A protected point keeps its surroundings as they are.
                lay_marks = relaxedLoad(record.protected_flag) != 1;
                mark_protection = static_cast<uint8_t>(attributes >> 8);
            } else {
                mark_protection = kind == AreaKind::Protect ? 1 : 0;
                relaxedStore(record.protected_flag, mark_protection);
            }
            relaxedStore(record.absorbed_flag, uint8_t{0});
        }
        if (!lay_marks) continue;
        layMarksAlongAxis(volume, c, dominantAxis(selected.normal), reach,
                          placeholderTemplate(selected.normal, level, mark_protection));
    }
    return 0;
}

}  // namespace fusion
