#pragma once

// Small helpers shared by the operations that edit the volume from outside
// a frame (area marks, deletion, building from points, snapshot loading).

#include <cmath>
#include <cstdint>

#include "engine/HashTable.h"

namespace fusion {
namespace edit {

// Positions whose quotient by the resolution would not land on a 32-bit
// voxel coordinate (non-finite, or so large that the block arithmetic would
// overflow) cannot be placed; callers skip them instead of converting them.
inline bool placeable(const float position[3], float resolution) noexcept {
    constexpr float kLimit = 1.0e9f;
    for (int i = 0; i < 3; ++i) {
        const float q = position[i] / resolution;
        if (!(std::fabs(q) < kLimit)) return false;
    }
    return true;
}

inline bool placeable(const Int3& c) noexcept {
    constexpr int32_t kLimit = 1000000000;
    return c.x > -kLimit && c.x < kLimit && c.y > -kLimit && c.y < kLimit && c.z > -kLimit &&
           c.z < kLimit;
}

// The voxel that holds voxel coordinates c, when its block exists; never
// inserts. Used to take the voxel's lock around writes into a record that
// an insertion has just placed there.
inline Voxel* existingVoxel(const HashTable& engine, const Int3& c) {
    const GlobalParams& params = *engine.m_global_params;
    const Int3 b = blockOf(c, params);
    const int32_t block = engine.findBlock(b);
    if (block < 0) return nullptr;
    return engine.voxelIfAllocated(block, localIndexOf(c, b, params));
}

// c moved by `offset` voxels along `axis`.
inline Int3 shifted(Int3 c, int axis, int offset) noexcept {
    c[axis] += offset;
    return c;
}

// An empty record marking a voxel in front of or behind a selected point:
// no observation, no id, absorbed, carrying a level and protection.
inline FusionPoint placeholderTemplate(const float normal[3], uint8_t scan_level,
                                       uint8_t protected_flag) noexcept {
    FusionPoint p = defaultFusionPoint();
    for (int i = 0; i < 3; ++i) p.normal[i] = normal[i];
    p.scan_level = scan_level;
    p.protected_flag = protected_flag;
    p.absorbed_flag = 1;
    return p;
}

}  // namespace edit
}  // namespace fusion
