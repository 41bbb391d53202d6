// Seeding the volume from a point set the host already has: every point is
// placed like an observation in one parallel pass and given a vertex id.

#include <cstdint>
#include <cstdio>

#include "edit/EditSupport.h"
#include "engine/HashTable.h"

namespace fusion {

int HashTable::buildByExistingPoints(const PointData* points, int count) {
    if (!m_is_init) {
        m_error_message = "is not init !";
        return 1;
    }
    if (points == nullptr || count < 1) return 1;

    // The whole build counts as one frame: intake of the next real frame
    // then lists the built records afresh.
    ++m_frame_counter;
    const float resolution = m_resolution;

#pragma omp parallel for schedule(static) num_threads(m_thread_num)
    for (int i = 0; i < count; ++i) {
        const PointData& source = points[i];
        if (!edit::placeable(source.position, resolution)) continue;
        FusionPoint incoming = defaultFusionPoint();
        for (int k = 0; k < 3; ++k) {
            incoming.position[k] = source.position[k];
            incoming.normal[k] = source.normal[k];
        }
        incoming.observation_count = 1;
        int32_t index = -1;
        FusionPoint* placed = nullptr;
        if (addObservation(source.position, source.normal, incoming, index, placed) != 0 ||
            placed == nullptr) {
            continue;  // table or store exhausted: the point is dropped
        }
        // Points fusing into one record must agree on one id, so the id is
        // taken under the lock of the voxel that holds the record.
        Voxel* voxel = edit::existingVoxel(*this, voxelOf(source.position, resolution));
        if (voxel != nullptr) voxel->lock.lock();
        const int32_t id = getOrAllocateViewId(*placed);
        if (id == -1) {
            std::printf("分配view_id错误！\n");
        } else {
            placed->view_id = id;
        }
        if (voxel != nullptr) voxel->lock.unlock();
    }
    return 0;
}

}  // namespace fusion
