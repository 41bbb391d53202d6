#pragma once

// Small helpers shared by the operations that edit the volume from outside
// a frame (area marks, deletion, building from points, snapshot loading).

#include <cmath>
#include <cstdint>

#include "engine/HashTable.h"

namespace fusion {
namespace edit {

// Voxel coordinates are split into blocks through single-precision
// arithmetic, which is exact only while |c| stays below 2^24; beyond that a
// block and its local index disagree. Positions whose quotient by the
// resolution is outside that range (or not finite) cannot be placed, and
// callers skip them instead of converting them. Offsets of a few voxels
// from a placeable position stay in range.
constexpr float kVoxelCoordinateLimit = 16777200.0f;  // 2^24 less a margin

inline bool placeable(const float position[3], float resolution) noexcept {
    for (int i = 0; i < 3; ++i) {
        const float q = position[i] / resolution;
        if (!(std::fabs(q) < kVoxelCoordinateLimit)) return false;
    }
    return true;
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
