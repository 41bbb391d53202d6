#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <set>
#include <tuple>
#include <vector>

#include "frame/NeighbourTables.h"

namespace {

using fusion::NeighbourBlockEntry;
using fusion::NeighbourTables;
using fusion::neighbourTables;

using Entry = std::array<int, 4>;  // dx, dy, dz, n

std::vector<Entry> rowEntries(int row) {
    std::vector<Entry> entries;
    for (const NeighbourBlockEntry& e : neighbourTables().neighbour_block_table[row]) {
        if (e.n == -1) break;
        entries.push_back({e.dx, e.dy, e.dz, e.n});
    }
    return entries;
}

int localOf(int x, int y, int z) { return x + 8 * y + 64 * z; }

TEST(NeighbourTables, CornerRowTouchesTheEightExpectedBlocks) {
    std::vector<Entry> entries = rowEntries(0);
    std::vector<Entry> expected = {{-1, -1, -1, 8},  {0, -1, -1, 12}, {-1, -1, 0, 12},
                                   {-1, 0, -1, 12},  {0, 0, -1, 18},  {0, 0, 0, 27},
                                   {-1, 0, 0, 18},   {0, -1, 0, 18}};
    std::sort(entries.begin(), entries.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(entries, expected);
}

TEST(NeighbourTables, InnerVoxelStaysInItsOwnBlock) {
    const std::vector<Entry> entries = rowEntries(localOf(3, 3, 3));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0], (Entry{0, 0, 0, 125}));
    EXPECT_EQ(neighbourTables().neighbour_block_table[localOf(3, 3, 3)][1].n, -1);
}

TEST(NeighbourTables, FarCornerTouchesEightBlocksTowardsPositive) {
    const std::vector<Entry> entries = rowEntries(511);
    ASSERT_EQ(entries.size(), 8u);
    for (const Entry& e : entries) {
        EXPECT_GE(e[0], 0);
        EXPECT_GE(e[1], 0);
        EXPECT_GE(e[2], 0);
    }
}

TEST(NeighbourTables, RowsAddUpToTheCubeAndMostEndEarly) {
    int short_rows = 0;
    for (int row = 0; row < NeighbourTables::kRows; ++row) {
        const std::vector<Entry> entries = rowEntries(row);
        ASSERT_GE(entries.size(), 1u) << "row " << row;
        int sum = 0;
        std::set<std::array<int, 3>> blocks;
        for (const Entry& e : entries) {
            EXPECT_GT(e[3], 0) << "row " << row;
            sum += e[3];
            blocks.insert({e[0], e[1], e[2]});
        }
        EXPECT_EQ(sum, 125) << "row " << row;
        EXPECT_EQ(blocks.size(), entries.size()) << "row " << row << " lists a block twice";
        if (entries.size() < 8) ++short_rows;
    }
    EXPECT_EQ(short_rows, 448);
}

// Rebuilds every cube offset from the tables and checks it against the
// definition: each row names all 125 offsets of the 5x5x5 cube exactly once,
// ascending within a block, flagged as shell exactly when an offset is +-2.
TEST(NeighbourTables, EveryRowEnumeratesTheCubeExactlyOnce) {
    const NeighbourTables& t = neighbourTables();
    for (int row = 0; row < NeighbourTables::kRows; ++row) {
        const int cx = row % 8, cy = (row / 8) % 8, cz = row / 64;
        std::set<std::tuple<int, int, int>> seen;
        int inner = 0;
        int k = 0;
        for (const Entry& e : rowEntries(row)) {
            int previous = -1;
            for (int j = 0; j < e[3]; ++j, ++k) {
                const int local = t.neighbour_voxel_table[row][k];
                ASSERT_GE(local, 0);
                ASSERT_LT(local, 512);
                EXPECT_GT(local, previous) << "row " << row << " group not ascending";
                previous = local;
                const int ox = e[0] * 8 + local % 8 - cx;
                const int oy = e[1] * 8 + (local / 8) % 8 - cy;
                const int oz = e[2] * 8 + local / 64 - cz;
                ASSERT_TRUE(std::abs(ox) <= 2 && std::abs(oy) <= 2 && std::abs(oz) <= 2)
                    << "row " << row << " k " << k;
                EXPECT_TRUE(seen.insert({ox, oy, oz}).second) << "row " << row << " repeats";
                const bool shell = std::max({std::abs(ox), std::abs(oy), std::abs(oz)}) == 2;
                EXPECT_EQ(t.neighbour_shell_flags[row][k], shell ? 1 : 0) << "row " << row;
                if (!shell) ++inner;
            }
        }
        EXPECT_EQ(k, 125);
        EXPECT_EQ(seen.size(), 125u);
        EXPECT_EQ(inner, 27);
    }
}

}  // namespace
