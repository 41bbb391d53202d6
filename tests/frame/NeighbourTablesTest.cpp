#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

#include "frame/NeighbourTables.h"

namespace {

using Entry = std::array<int, 4>;  // dx, dy, dz, n

std::vector<Entry> rowEntries(int row) {
    std::vector<Entry> entries;
    for (const fusion::NeighbourBlockEntry& e : fusion::neighbourTables().neighbour_block_table[row]) {
        if (e.n == -1) break;
        entries.push_back({e.dx, e.dy, e.dz, e.n});
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

// Which voxels each row lists is checked by the walk's brute-force test;
// here the row shapes.
TEST(NeighbourTables, RowShapes) {
    std::vector<Entry> corner = {{-1, -1, -1, 8}, {0, -1, -1, 12}, {-1, -1, 0, 12}, {-1, 0, -1, 12},
                                 {0, 0, -1, 18},  {0, 0, 0, 27},   {-1, 0, 0, 18},  {0, -1, 0, 18}};
    std::sort(corner.begin(), corner.end());
    EXPECT_EQ(rowEntries(0), corner);
    EXPECT_EQ(rowEntries(3 + 8 * 3 + 64 * 3), (std::vector<Entry>{{0, 0, 0, 125}}));
    int short_rows = 0;
    for (int row = 0; row < 512; ++row) {
        const std::vector<Entry> entries = rowEntries(row);
        int sum = 0, shell = 0;
        for (const Entry& e : entries) sum += e[3];
        for (int k = 0; k < 125; ++k) shell += fusion::neighbourTables().neighbour_shell_flags[row][k];
        EXPECT_EQ(sum, 125) << "row " << row;
        EXPECT_EQ(shell, 125 - 27) << "row " << row;
        short_rows += entries.size() < 8 ? 1 : 0;
    }
    EXPECT_EQ(short_rows, 448);
}

}  // namespace
