#pragma once

// Conversions between world positions, voxel coordinates, block coordinates
// and local voxel indices, and the bucket hash of a block.

#include <cmath>
#include <cstdint>
#include <limits>

#include "volume/GlobalParams.h"

namespace fusion {

struct Int3 {
    int32_t x, y, z;
    bool operator==(const Int3& o) const noexcept { return x == o.x && y == o.y && z == o.z; }
    bool operator!=(const Int3& o) const noexcept { return !(*this == o); }
    int32_t& operator[](int i) noexcept { return i == 0 ? x : (i == 1 ? y : z); }
    int32_t operator[](int i) const noexcept { return i == 0 ? x : (i == 1 ? y : z); }
};

// Rounds one quotient position / resolution the way the whole engine does:
// trunc(v + 0.5) for v >= 0, trunc(v - (0.5 - 2^-23)) below, in double.
// Every float gives a coordinate: a record cleared while a lock-free reader
// looks at it reads as NaN, and such quotients (like enormous ones, which
// placement refuses) land at +-2^30, beyond every placed block, where block
// and neighbour arithmetic cannot overflow and lookups find nothing.
inline int32_t roundVoxelComponent(float quotient) noexcept {
    constexpr double kFar = 1073741824.0;  // 2^30
    double v = quotient;
    if (!(v > -kFar)) v = -kFar;  // NaN too
    if (v > kFar) v = kFar;
    // The conversion truncates towards zero, and the clamp keeps it in range.
    return static_cast<int32_t>(0 > v ? v - 0.49999988079071045 : v + 0.5);
}

inline Int3 voxelOf(const float position[3], float resolution) noexcept {
    return {roundVoxelComponent(position[0] / resolution),
            roundVoxelComponent(position[1] / resolution),
            roundVoxelComponent(position[2] / resolution)};
}

// floor(c / 8) through the float path the volume always used. For the
// block size of 8 that path is exact wherever a block can exist (|c| below
// 2^24), where it equals an arithmetic shift.
inline int32_t blockComponent(int32_t c, const GlobalParams& params) noexcept {
    if (params.block_size == 8) return c >> 3;
    const int32_t shifted = c < 0 ? c - params.block_size + 1 : c;
    return static_cast<int32_t>(static_cast<float>(shifted) * params.block_size_inv);
}

inline Int3 blockOf(const Int3& voxel, const GlobalParams& params) noexcept {
    return {blockComponent(voxel.x, params), blockComponent(voxel.y, params),
            blockComponent(voxel.z, params)};
}

// x varies fastest: x + 8y + 64z inside the block.
inline int32_t localIndexOf(const Int3& voxel, const Int3& block,
                            const GlobalParams& params) noexcept {
    return (voxel.x - params.block_size * block.x) +
           params.block_size * (voxel.y - params.block_size * block.y) +
           params.block_size_sq * (voxel.z - params.block_size * block.z);
}

// 32-bit FNV-1a over the four bytes of c, low byte first.
inline uint32_t hashCoordinate(int32_t c) noexcept {
    uint32_t h = 0x84222325u;
    uint32_t u = static_cast<uint32_t>(c);
    for (int i = 0; i < 4; ++i) {
        h = (h ^ (u & 0xFFu)) * 0x1B3u;
        u >>= 8;
    }
    return h;
}

// Bucket of block b: the three coordinate hashes combined into a signed seed.
inline uint32_t hashBlock(const GlobalParams& params, const Int3& b) noexcept {
    int32_t seed = 0;
    const int32_t parts[3] = {b.x, b.y, b.z};
    for (int32_t c : parts) {
        const uint32_t mixed = hashCoordinate(c) + 0x9E3779B9u +
                               (static_cast<uint32_t>(seed) << 6) +
                               static_cast<uint32_t>(seed >> 2);
        seed = static_cast<int32_t>(static_cast<uint32_t>(seed) ^ mixed);
    }
    return static_cast<uint32_t>(seed) & static_cast<uint32_t>(params.hash_mask);
}

// Slot of block b in a small direct-mapped per-thread cache of 2^bits slots
// (a multiplicative hash, its top bits). Unrelated to the volume's buckets.
inline int cacheSlotOf(const Int3& b, int bits) noexcept {
    const uint32_t hash = static_cast<uint32_t>(b.x) * 0x9E3779B1u ^
                          static_cast<uint32_t>(b.y) * 0x85EBCA77u ^
                          static_cast<uint32_t>(b.z) * 0xC2B2AE3Du;
    return static_cast<int>(hash >> (32 - bits));
}

// Dominant axis of a normal: x when |nx| beats both others, else y when
// |ny| > |nz|, else z (ties go to the later axis).
inline int dominantAxis(const float n[3]) noexcept {
    const float ax = std::fabs(n[0]), ay = std::fabs(n[1]), az = std::fabs(n[2]);
    if (ax > ay && ax > az) return 0;
    if (ay > az) return 1;
    return 2;
}

// Voxels reached along the dominant axis: 1 at r >= 1.0, 3 at r <= 0.1, else 2.
inline int axisReach(float resolution) noexcept {
    if (resolution >= 1.0f) return 1;
    if (static_cast<double>(resolution) <= 0.1) return 3;
    return 2;
}

inline float dot3(const float a[3], const float b[3]) noexcept {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// c moved by `offset` voxels along `axis`.
inline Int3 shifted(Int3 c, int axis, int offset) noexcept {
    c[axis] += offset;
    return c;
}

// Voxel coordinates are split into blocks through single-precision
// arithmetic, which is exact only while |c| stays below 2^24; beyond that a
// block and its local index disagree. Positions whose quotient by the
// resolution is outside that range (or not finite) cannot be placed, and
// callers skip them instead of converting them. Offsets of a few voxels
// from a placeable position stay in range.
constexpr float kVoxelCoordinateLimit = 16777200.0f;  // 2^24 less a margin

// The resolutions points can be placed at: normal positive floats up to a
// bound that keeps voxel corners and sub-cells finite. The engine takes any
// resolution (setResolution has no range check, and a loaded stream brings
// its own), but at any other it places nothing: every quotient and sub-cell
// computed from it would be infinite or undefined.
constexpr float kMinUsableResolution = std::numeric_limits<float>::min();
constexpr float kMaxUsableResolution = 1.0e30f;
inline bool usableResolution(float resolution) noexcept {
    return resolution >= kMinUsableResolution && resolution <= kMaxUsableResolution;
}

inline bool placeable(const float position[3], float resolution) noexcept {
    if (!usableResolution(resolution)) return false;
    for (int i = 0; i < 3; ++i) {
        const float q = position[i] / resolution;
        if (!(std::fabs(q) < kVoxelCoordinateLimit)) return false;
    }
    return true;
}

}  // namespace fusion
