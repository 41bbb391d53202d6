#include "frame/NeighbourTables.h"

#include <memory>

namespace fusion {
namespace {

// floor(v / 8) for v in -2 .. 9: the block offset of a cube coordinate.
int blockStep(int v) noexcept {
    if (v < 0) return -1;
    return v >= NeighbourTables::kEdge ? 1 : 0;
}

void buildRow(NeighbourTables& tables, int row) {
    constexpr int kEdge = NeighbourTables::kEdge;
    constexpr int kReach = NeighbourTables::kReach;
    const int cx = row % kEdge;
    const int cy = (row / kEdge) % kEdge;
    const int cz = row / (kEdge * kEdge);

    NeighbourBlockEntry* entries = tables.neighbour_block_table[row];
    int16_t* voxels = tables.neighbour_voxel_table[row];
    uint8_t* shell = tables.neighbour_shell_flags[row];
    int entry_count = 0;
    int k = 0;

    // Blocks in z, y, x order; inside one block the cube is visited in the
    // same order, which makes the local indices of a group ascend.
    for (int dz = -1; dz <= 1; ++dz) {
        for (int dy = -1; dy <= 1; ++dy) {
            for (int dx = -1; dx <= 1; ++dx) {
                int n = 0;
                for (int oz = -kReach; oz <= kReach; ++oz) {
                    if (blockStep(cz + oz) != dz) continue;
                    for (int oy = -kReach; oy <= kReach; ++oy) {
                        if (blockStep(cy + oy) != dy) continue;
                        for (int ox = -kReach; ox <= kReach; ++ox) {
                            if (blockStep(cx + ox) != dx) continue;
                            const int lx = cx + ox - kEdge * dx;
                            const int ly = cy + oy - kEdge * dy;
                            const int lz = cz + oz - kEdge * dz;
                            voxels[k] = static_cast<int16_t>(lx + kEdge * ly + kEdge * kEdge * lz);
                            const bool outer = ox == -kReach || ox == kReach || oy == -kReach ||
                                               oy == kReach || oz == -kReach || oz == kReach;
                            shell[k] = outer ? 1 : 0;
                            ++k;
                            ++n;
                        }
                    }
                }
                if (n == 0) continue;
                entries[entry_count++] = {static_cast<int8_t>(dx), static_cast<int8_t>(dy),
                                          static_cast<int8_t>(dz), static_cast<int8_t>(n)};
            }
        }
    }
    for (int rest = entry_count; rest < NeighbourTables::kBlocksPerRow; ++rest) {
        entries[rest] = {0, 0, 0, -1};
    }
}

std::unique_ptr<NeighbourTables> buildTables() {
    auto tables = std::make_unique<NeighbourTables>();
    for (int row = 0; row < NeighbourTables::kRows; ++row) buildRow(*tables, row);
    return tables;
}

}  // namespace

const NeighbourTables& neighbourTables() {
    // Built once; the function-local static makes the first use thread-safe.
    static const std::unique_ptr<NeighbourTables> tables = buildTables();
    return *tables;
}

}  // namespace fusion
