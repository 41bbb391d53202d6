#pragma once

// Which voxel a position falls in, by the library's documented rounding rule:
// the quotient position / resolution (in float) rounds, in double precision,
// by adding 0.5 when non-negative and subtracting 0.49999988079071045 when
// negative, then truncating toward zero. A host needs it to tell which
// stored points share a voxel (two records of one voxel may fuse or stand in
// for each other).

#include <cstdint>

namespace kelvane_host {

struct VoxelKey {
    int32_t x = 0, y = 0, z = 0;
    bool operator==(const VoxelKey& o) const { return x == o.x && y == o.y && z == o.z; }
    bool operator!=(const VoxelKey& o) const { return !(*this == o); }
    bool operator<(const VoxelKey& o) const {
        return x != o.x ? x < o.x : (y != o.y ? y < o.y : z < o.z);
    }
};

// One component. Quotients beyond +-2^30, and NaN, give +-2^30 (NaN the
// negative end), where no stored point can lie, rather than overflow.
int32_t roundVoxelComponent(float quotient);

VoxelKey voxelOf(const float position[3], float resolution);

}  // namespace kelvane_host
