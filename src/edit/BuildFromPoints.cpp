#include "edit/BuildFromPoints.h"

#include <cstdio>

#include "volume/SharedFields.h"

namespace fusion {

void buildFromPoints(Volume& volume, const PlacementRules& rules, int threads,
                     const PointData* points, int count) {
    const float resolution = volume.resolution();
    (void)threads;
#pragma omp parallel for schedule(static) num_threads(threads)
    for (int i = 0; i < count; ++i) {
        const PointData& source = points[i];
        if (!placeable(source.position, resolution)) continue;
        FusionPoint incoming = defaultFusionPoint();
        for (int k = 0; k < 3; ++k) {
            incoming.position[k] = source.position[k];
            incoming.normal[k] = source.normal[k];
        }
        incoming.observation_count = 1;
        const FoundPoint placed = addObservation(volume, rules, source.position, incoming);
        if (!placed) continue;  // table or store exhausted: the point is dropped
        // Points fusing into one record must agree on one id, so the id is
        // taken under the lock of the voxel that holds the record.
        SpinGuard guard(volume.lockOf(placed.voxel));
        const int32_t id = volume.viewIds().getOrAllocate(*placed.record);
        if (id == -1) {
            std::printf("分配view_id错误！\n");
        } else {
            relaxedStore(placed.record->view_id, id);
        }
    }
}

}  // namespace fusion
