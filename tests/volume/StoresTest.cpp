// The volume's stores: coordinates, block hash, pools, free lists, clearing.

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <thread>
#include <vector>

#include "support/TestSupport.h"
#include "volume/BlockHash.h"
#include "volume/IndexFreeList.h"

namespace {

using namespace fusion_test;
using fusion::BlockHash;

const std::string kExcessLine =
    "---- error: (cur_ExcessHash_Index - m_global_params.hash_bucket_num) > "
    "m_global_params.hash_excess_list_size ------- \n";

GlobalParams tinyHash(int32_t buckets, int32_t excess) {
    GlobalParams p = smallParams();
    p.hash_bucket_num = buckets;
    p.hash_mask = buckets - 1;
    p.hash_excess_list_size = excess;
    return p;
}

TEST(Coordinates, RoundingBlocksLocalIndexAndBuckets) {
    const GlobalParams p = fusion::defaultGlobalParams();
    const std::pair<float, int32_t> rounding[] = {{-0.5f, 0}, {0.5f, 1},    {-1.5f, -1},
                                                  {-0.0f, 0}, {-0.51f, -1}, {0.49f, 0}};
    for (const auto& [quotient, voxel] : rounding)
        EXPECT_EQ(fusion::roundVoxelComponent(quotient), voxel) << quotient;
    const std::pair<int32_t, int32_t> blocks[] = {{-1, -1}, {-8, -1}, {-9, -2}, {7, 0}, {8, 1}};
    for (const auto& [c, b] : blocks) EXPECT_EQ(fusion::blockComponent(c, p), b) << c;
    const Int3 minus{-1, 0, 0};
    EXPECT_EQ(fusion::localIndexOf(minus, fusion::blockOf(minus, p), p), 7);
    const Int3 far{9, 10, 11};
    EXPECT_EQ(fusion::localIndexOf(far, fusion::blockOf(far, p), p), 1 + 8 * 2 + 64 * 3);

    const std::pair<Int3, uint32_t> hashes[] = {
        {{0, 0, 0}, 8003212u}, {{1, 2, 3}, 66278107u}, {{10, -20, 30}, 11875395u}};
    for (const auto& [block, hash] : hashes) EXPECT_EQ(fusion::hashBlock(p, block), hash);
}

// Threads overfill 16 buckets and 32 excess entries: every block given an index is
// found with it, none is stored twice, and clearing gives the whole table back.
TEST(BlockHashConcurrent, ExhaustedExcessListKeepsTheTableConsistent) {
    BlockHash hash;
    ASSERT_TRUE(hash.allocate(tinyHash(16, 32)));
    constexpr int kThreads = 4, kBlocks = 72;  // more than 16 + 32
    std::vector<std::vector<int32_t>> got(kThreads, std::vector<int32_t>(kBlocks, -1));
    auto blockAt = [](int k) { return Int3{k % 6 - 3, (k / 6) % 4, k / 24}; };
    auto fill = [&](std::vector<std::vector<int32_t>>& out) {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int j = 0; j < kBlocks; ++j) {
                    const int k = (j * (2 * t + 1) + 7 * t) % kBlocks;
                    out[t][k] = hash.findOrInsert(blockAt(k));
                }
            });
        }
        for (auto& th : threads) th.join();
    };
    testing::internal::CaptureStdout();
    fill(got);
    EXPECT_NE(testing::internal::GetCapturedStdout().find(kExcessLine), std::string::npos);
    std::set<int32_t> indices;
    for (int k = 0; k < kBlocks; ++k) {
        const int32_t found = hash.find(blockAt(k));
        for (int t = 0; t < kThreads; ++t) {
            if (got[t][k] >= 0) {
                EXPECT_EQ(got[t][k], found) << "one index per block, whoever inserted it";
            }
        }
        if (found >= 0) {
            EXPECT_TRUE(indices.insert(found).second) << "an index given twice";
            EXPECT_EQ(hash.findOrInsert(blockAt(k)), found) << "found though the table is full";
        }
    }
    EXPECT_EQ(static_cast<int>(indices.size()), hash.blockCount());
    EXPECT_LT(hash.blockCount(), kBlocks) << "the table must have run out";
    EXPECT_GE(hash.blockCount(), 32);

    const int stored = hash.blockCount();
    hash.clear();
    EXPECT_EQ(hash.find(blockAt(0)), -1);
    EXPECT_EQ(hash.findOrInsert({9, 9, 9}), 0) << "block indices restart at 0";
    hash.clear();
    testing::internal::CaptureStdout();
    fill(got);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(hash.blockCount(), stored) << "cleared, the table takes as many blocks as when new";
}

// Pools grow chunk by chunk; beyond their tables, or without memory, they fail.
TEST(Pools, GrowWithinTheirTablesAndRecycleLastReleasedFirst) {
    GlobalParams p = smallParams();
    p.chunk_block_num = 4;
    p.chunk_block_shift = 2;
    p.voxel_chunk_max = 3;
    p.chunk_point_shift = 5;
    p.chunk_point_num = 32;
    p.point_chunk_max = 2;
    fusion::VoxelPool voxels;
    ASSERT_TRUE(voxels.allocate(p));
    fusion::Voxel* v = voxels.create(9, 5);  // chunk 2, the last slot
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(voxels.find(9, 5), v);
    EXPECT_EQ(v->side(0), -1) << "fresh voxels are empty";
    EXPECT_EQ(voxels.blockVoxels(9) - voxels.blockVoxels(8), 512);
    EXPECT_EQ(voxels.create(12, 0), nullptr) << "a fourth chunk would overflow the table";

    fusion::PointPool points;
    ASSERT_TRUE(points.allocate(p));
    for (int i = 0; i < 23; ++i) EXPECT_EQ(points.allocatePoint(), i);
    EXPECT_EQ(points.releasePoint(5), 0);
    EXPECT_EQ(points.releasePoint(9), 0);
    EXPECT_EQ(points.releasePoint(-1), 1);
    EXPECT_EQ(points.allocatePoint(), 9);
    EXPECT_EQ(points.allocatePoint(), 5);
    while (points.nextIndex() < 54) ASSERT_GE(points.allocatePoint(), 0);
    EXPECT_EQ(points.allocatePoint(), -1) << "a third chunk would overflow the table";
    points.clear();
    EXPECT_EQ(points.allocatePoint(), 0);
    EXPECT_FALSE(points.reserveRecords(64 + 32)) << "the table cannot take the chunks needed";

    FailingAllocations none(0);
    fusion::VoxelPool starved;
    EXPECT_FALSE(starved.allocate(p));
}

// The free list grows; full and unable to grow, it drops the value.
TEST(IndexFreeList, GrowsAndDropsWhatCannotFit) {
    fusion::IndexFreeList list;
    ASSERT_TRUE(list.reserve(2));
    for (const int32_t v : {7, 8, 9}) EXPECT_EQ(list.push(v), 0);
    EXPECT_EQ(list.popOr([] { return -5; }), 9);
    {
        FailingAllocations none(0);
        EXPECT_EQ(list.push(10), 0);
        EXPECT_EQ(list.push(11), 2);
    }
    for (const int32_t v : {10, 8, 7, -5}) EXPECT_EQ(list.popOr([] { return -5; }), v);
}

TEST(Volume, LookupPicksTheStrictlyFacingSideAndClearingEmptiesEverything) {
    TestVolume t;
    ASSERT_TRUE(t.ok);
    Volume& volume = t.volume;
    const float up[3] = {0, 0, 1}, down[3] = {0, 0, -1}, sideways[3] = {1, 0, 0};
    const Int3 c{1, 1, 1};
    const FoundPoint a = placeAt(volume, c, up, 1);
    const FoundPoint b = placeAt(volume, c, down, 1);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(volume.lookupPoint(c, up).index, a.index);
    EXPECT_EQ(volume.lookupPoint(c, down).index, b.index);
    const FoundPoint none = volume.lookupPoint(c, sideways);
    EXPECT_FALSE(none) << "a zero dot product never faces";
    EXPECT_EQ(none.voxel, a.voxel) << "the voxel is reported even when no side faces";
    EXPECT_FALSE(volume.lookupPoint({40, 40, 40}, up));
    EXPECT_EQ(volume.blocks().blockCount(), 1) << "lookups create nothing";

    // NaN (a record cleared under a reader) and enormous positions map far away.
    for (const float extreme : {std::nanf(""), INFINITY, -INFINITY, 3e38f, -3e38f}) {
        const float p[3] = {extreme, 0.0f, 1.0f};
        const Int3 far = fusion::voxelOf(p, 0.5f);
        EXPECT_EQ(std::abs(far.x), 1 << 30) << extreme;
        EXPECT_FALSE(volume.lookupPoint(far, up));
        EXPECT_FALSE(fusion::placeable(p, 0.5f));
    }

    volume.clear();
    EXPECT_FALSE(volume.lookupPoint(c, up));
    EXPECT_EQ(volume.points().nextIndex(), 0);
    EXPECT_EQ(volume.viewIds().next(), 0);
    const FoundPoint again = placeAt(volume, {2, 2, 2}, up, 1);
    EXPECT_EQ(again.index, 0);
    EXPECT_EQ(again.voxel, volume.voxels().find(0, 2 + 16 + 128)) << "block 0 is handed out again";
}

}  // namespace
