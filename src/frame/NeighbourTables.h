#pragma once

// Constant tables that turn the 5 x 5 x 5 cube around a voxel into at most
// eight block lookups. They depend only on the block edge (8 voxels), so they
// are built once, on first use, and shared read-only by every thread.
//
// Row L belongs to the centre voxel with local index L (x + 8y + 64z) inside
// its block:
//   neighbour_block_table[L]  up to 8 entries (dx, dy, dz, n): the blocks,
//                             as offsets -1..1 from the centre's block, that
//                             the cube touches, and how many cube voxels fall
//                             into each. Fewer than 8 entries end with n = -1.
//                             The n of a row add up to 125.
//   neighbour_voxel_table[L]  the 125 local indices inside their own blocks,
//                             grouped by the entries above in their order,
//                             ascending within a group.
//   neighbour_shell_flags[L]  parallel to the voxel row: 1 for a voxel on the
//                             cube's outer shell (an offset of +-2 on some
//                             axis), 0 for the 27 inner voxels.

#include <cstdint>

namespace fusion {

struct NeighbourBlockEntry {
    int8_t dx, dy, dz;
    int8_t n;  // cube voxels in this block; -1 ends a short row
};
static_assert(sizeof(NeighbourBlockEntry) == 4, "a block entry is four signed bytes");

struct NeighbourTables {
    static constexpr int kEdge = 8;          // block edge in voxels
    static constexpr int kRows = 512;        // local indices in a block
    static constexpr int kBlocksPerRow = 8;  // a 5-wide cube spans at most 2 blocks per axis
    static constexpr int kCubeVoxels = 125;  // 5 x 5 x 5
    static constexpr int kReach = 2;         // cube offsets run -2 .. +2

    NeighbourBlockEntry neighbour_block_table[kRows][kBlocksPerRow];
    int16_t neighbour_voxel_table[kRows][kCubeVoxels];
    uint8_t neighbour_shell_flags[kRows][kCubeVoxels];
};

// The shared tables, built on the first call (thread-safe).
const NeighbourTables& neighbourTables();

}  // namespace fusion
