#pragma once

// Builders for the frame tests: records placed straight into the volume
// (bypassing placement, so a test controls every field), and small frames.

#include <cstdint>
#include <vector>

#include "engine/HashTable.h"
#include "volume/Coordinates.h"
#include "volume/Records.h"

namespace fusion_test {

// A stored record with the given position, normal, frame stamp and sub-cell
// mask; one observation, everything else at its default.
inline fusion::FusionPoint makeRecord(const float position[3], const float normal[3],
                                      int32_t stamp = -1, uint64_t mask = 0) {
    fusion::FusionPoint record = fusion::defaultFusionPoint();
    for (int i = 0; i < 3; ++i) {
        record.position[i] = position[i];
        record.normal[i] = normal[i];
    }
    record.observation_count = 1;
    record.frame_stamp = stamp;
    record.sub_voxel_mask = mask;
    return record;
}

// Writes `record` into the first free side of voxel c and returns its index,
// or -1 when both sides are taken or storage runs out. Single-threaded use.
inline int32_t placeRecord(fusion::HashTable& engine, const fusion::Int3& c,
                           const fusion::FusionPoint& record) {
    const fusion::GlobalParams& params = *engine.m_global_params;
    const fusion::Int3 block = fusion::blockOf(c, params);
    fusion::HashEntry* entry = engine.findOrInsertBlock(block);
    if (entry == nullptr) return -1;
    fusion::Voxel* voxel = engine.voxelAt(entry->blockIndex(), fusion::localIndexOf(c, block, params));
    if (voxel == nullptr) return -1;
    int side = voxel->side(0) == -1 ? 0 : (voxel->side(1) == -1 ? 1 : -1);
    if (side < 0) return -1;
    const int64_t capacity =
        static_cast<int64_t>(engine.m_point_chunk_num.load()) * params.chunk_point_num;
    const int32_t index = engine.m_point_next.fetch_add(1);
    if (index >= capacity) return -1;
    *engine.pointAt(index) = record;
    voxel->setSide(side, index);
    return index;
}

// The world position of voxel c's centre.
inline void voxelCentre(const fusion::Int3& c, float resolution, float out[3]) {
    for (int i = 0; i < 3; ++i) out[i] = static_cast<float>(c[i]) * resolution;
}

}  // namespace fusion_test
