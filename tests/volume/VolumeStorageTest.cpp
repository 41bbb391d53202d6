// Bucket hash, block lookup and insertion, voxel addressing and clearing.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <set>
#include <thread>
#include <vector>

#include "engine/HashTable.h"
#include "platform/platform.h"
#include "support/EngineFixture.h"

namespace {

using fusion::GlobalParams;
using fusion::HashEntry;
using fusion::HashTable;
using fusion::Int3;

// A parameter block with a tiny hash table, so collisions and an exhausted
// excess list are easy to reach.
GlobalParams tinyParams(int32_t buckets, int32_t excess) {
    GlobalParams p = fusion::defaultGlobalParams();
    p.hash_bucket_num = buckets;
    p.hash_mask = buckets - 1;
    p.hash_excess_list_size = excess;
    p.voxel_chunk_init = 1;
    p.chunk_block_num = 4;
    p.chunk_block_shift = 2;
    p.point_chunk_init = 1;
    return p;
}

std::unique_ptr<HashTable> makeTinyEngine(int32_t buckets, int32_t excess) {
    auto engine = std::make_unique<HashTable>();
    engine->m_init_params_override = std::make_unique<GlobalParams>(tinyParams(buckets, excess));
    if (engine->init() != 0) return nullptr;
    return engine;
}

TEST(BucketHash, MatchesKnownBuckets) {
    const GlobalParams p = fusion::defaultGlobalParams();
    EXPECT_EQ(fusion::hashBlock(p, {0, 0, 0}), 8003212u);
    EXPECT_EQ(fusion::hashBlock(p, {1, 2, 3}), 66278107u);
    EXPECT_EQ(fusion::hashBlock(p, {-1, -1, -1}), 59804061u);
    EXPECT_EQ(fusion::hashBlock(p, {10, -20, 30}), 11875395u);
}

TEST(Coordinates, RoundingBlocksAndLocalIndex) {
    const GlobalParams p = fusion::defaultGlobalParams();
    EXPECT_EQ(fusion::roundVoxelComponent(-0.5f), 0);
    EXPECT_EQ(fusion::roundVoxelComponent(0.5f), 1);
    EXPECT_EQ(fusion::roundVoxelComponent(-1.5f), -1);
    EXPECT_EQ(fusion::roundVoxelComponent(-0.0f), 0);
    EXPECT_EQ(fusion::roundVoxelComponent(-0.51f), -1);

    EXPECT_EQ(fusion::blockComponent(-1, p), -1);
    EXPECT_EQ(fusion::blockComponent(-8, p), -1);
    EXPECT_EQ(fusion::blockComponent(-9, p), -2);
    EXPECT_EQ(fusion::blockComponent(7, p), 0);
    EXPECT_EQ(fusion::blockComponent(8, p), 1);

    const Int3 voxel{-1, 0, 0};
    const Int3 block = fusion::blockOf(voxel, p);
    EXPECT_EQ(block, (Int3{-1, 0, 0}));
    EXPECT_EQ(fusion::localIndexOf(voxel, block, p), 7);
    const Int3 far{9, 10, 11};
    EXPECT_EQ(fusion::localIndexOf(far, fusion::blockOf(far, p), p), 1 + 8 * 2 + 64 * 3);
}

TEST(BlockTable, CollidingBlocksChainThroughTheExcessList) {
    auto engine = makeTinyEngine(1, 4);  // every block lands in bucket 0
    ASSERT_TRUE(engine);
    std::vector<HashEntry*> entries;
    for (int i = 0; i < 5; ++i) entries.push_back(engine->findOrInsertBlock({i, 0, 0}));
    for (int i = 0; i < 5; ++i) {
        ASSERT_NE(entries[i], nullptr) << i;
        EXPECT_EQ(entries[i]->blockIndex(), i);
    }
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(engine->findBlock({i, 0, 0}), i);
    }
    // Block 4 exists but lies beyond the one allocated voxel chunk of four
    // blocks, so readers do not see it until the chunk table has grown.
    EXPECT_EQ(engine->findBlock({4, 0, 0}), -1);
    ASSERT_NE(engine->voxelAt(4, 0), nullptr);
    EXPECT_EQ(engine->findBlock({4, 0, 0}), 4);
    EXPECT_EQ(entries[0]->next(), 1);  // bucket 0 links to excess entry 1
    EXPECT_EQ(entries[4]->next(), 0);
}

TEST(BlockTable, ExhaustedExcessListFailsOnlyCollidingInserts) {
    auto engine = makeTinyEngine(2, 1);
    ASSERT_TRUE(engine);
    const GlobalParams& p = *engine->m_global_params;
    // Find three blocks that share one bucket and one that uses the other.
    std::vector<Int3> same;
    Int3 other{0, 0, 0};
    bool have_other = false;
    const uint32_t bucket = fusion::hashBlock(p, {0, 0, 0});
    for (int i = 0; same.size() < 3 || !have_other; ++i) {
        const Int3 b{i, 0, 0};
        if (fusion::hashBlock(p, b) == bucket) {
            if (same.size() < 3) same.push_back(b);
        } else if (!have_other) {
            other = b;
            have_other = true;
        }
    }
    ASSERT_NE(engine->findOrInsertBlock(same[0]), nullptr);
    ASSERT_NE(engine->findOrInsertBlock(same[1]), nullptr);  // takes the only excess entry
    testing::internal::CaptureStdout();
    EXPECT_EQ(engine->findOrInsertBlock(same[2]), nullptr);
    EXPECT_EQ(engine->findOrInsertBlock(same[2]), nullptr);
    const std::string printed = testing::internal::GetCapturedStdout();
    const std::string line =
        "---- error: (cur_ExcessHash_Index - m_global_params.hash_bucket_num) > "
        "m_global_params.hash_excess_list_size ------- \n";
    EXPECT_EQ(printed, line + line);
    EXPECT_NE(engine->findOrInsertBlock(other), nullptr);  // an empty bucket still works
    EXPECT_EQ(engine->findBlock(same[2]), -1);
}

TEST(BlockTableConcurrent, SameNewBlockFromManyThreadsIsCountedOnce) {
    auto engine = makeTinyEngine(4, 4096);
    ASSERT_TRUE(engine);
    constexpr int kThreads = 4;
    constexpr int kBlocks = 400;
    std::vector<std::vector<HashEntry*>> seen(kThreads, std::vector<HashEntry*>(kBlocks));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kBlocks; ++i) seen[t][i] = engine->findOrInsertBlock({i, -i, 7});
        });
    }
    for (auto& thread : threads) thread.join();
    std::set<int32_t> indices;
    for (int i = 0; i < kBlocks; ++i) {
        for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t][i], seen[0][i]) << i;
        ASSERT_NE(seen[0][i], nullptr);
        indices.insert(seen[0][i]->blockIndex());
    }
    EXPECT_EQ(engine->m_block_count.load(), kBlocks);
    EXPECT_EQ(indices.size(), static_cast<std::size_t>(kBlocks));
    EXPECT_EQ(*indices.rbegin(), kBlocks - 1);
}

TEST(VoxelStorage, GrowsChunksOnDemandAndAddressesBlocksApart) {
    auto engine = makeTinyEngine(64, 64);  // 4 blocks per chunk, 1 chunk at start
    ASSERT_TRUE(engine);
    EXPECT_EQ(engine->m_voxel_chunk_num.load(), 1);
    EXPECT_EQ(engine->voxelIfAllocated(9, 0), nullptr);
    fusion::platform::failAllocationsAfter(0);
    EXPECT_EQ(engine->voxelAt(9, 5), nullptr);  // a failed chunk yields null, not a crash
    fusion::platform::failAllocationsAfter(-1);
    fusion::Voxel* v = engine->voxelAt(9, 5);  // block 9 lives in chunk 2
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(engine->m_voxel_chunk_num.load(), 3);
    EXPECT_EQ(v->side(0), -1);
    EXPECT_EQ(v->side(1), -1);
    EXPECT_EQ(engine->voxelAt(9, 5), v);
    EXPECT_NE(engine->voxelAt(8, 5), v);
    EXPECT_EQ(engine->voxelAt(9, 6), v + 1);
}

TEST(VoxelStorage, ChunkTableNeverOverflowsItsSlots) {
    GlobalParams p = tinyParams(64, 64);
    p.voxel_chunk_max = 2;
    auto engine = std::make_unique<HashTable>();
    engine->m_init_params_override = std::make_unique<GlobalParams>(p);
    ASSERT_EQ(engine->init(), 0);
    EXPECT_NE(engine->voxelAt(7, 0), nullptr);  // chunk 1: the last slot
    EXPECT_EQ(engine->voxelAt(8, 0), nullptr);  // chunk 2 would overflow the table
    EXPECT_EQ(engine->m_voxel_chunk_num.load(), 2);
}

// Writes a record by hand at `index` and hangs it on side `side` of voxel c.
fusion::FusionPoint* placeByHand(HashTable& engine, const Int3& c, int side, int32_t index,
                                 float nx, float ny, float nz) {
    const GlobalParams& p = *engine.m_global_params;
    const Int3 b = fusion::blockOf(c, p);
    HashEntry* e = engine.findOrInsertBlock(b);
    fusion::Voxel* v = engine.voxelAt(e->blockIndex(), fusion::localIndexOf(c, b, p));
    fusion::FusionPoint* r = engine.pointAt(index);
    *r = fusion::defaultFusionPoint();
    r->normal[0] = nx;
    r->normal[1] = ny;
    r->normal[2] = nz;
    r->observation_count = 1;
    v->setSide(side, index);
    if (engine.m_point_next.load() <= index) engine.m_point_next.store(index + 1);
    return r;
}

TEST(FacingLookup, PicksTheSideWhoseNormalFacesStrictly) {
    auto engine = fusion_test::makeEngine();
    ASSERT_TRUE(engine);
    const Int3 c{-1, 2, 9};
    const float up[3] = {0, 0, 1}, down[3] = {0, 0, -1}, sideways[3] = {1, 0, 0};
    fusion::FusionPoint* record = nullptr;
    fusion::Voxel* voxel = nullptr;
    int32_t index = -1;
    EXPECT_EQ(engine->lookupPoint(c, up, record, voxel, index), 1);
    EXPECT_EQ(voxel, nullptr);

    fusion::FusionPoint* top = placeByHand(*engine, c, 0, 0, 0, 0, 1);
    EXPECT_EQ(engine->lookupPoint(c, down, record, voxel, index), 1);
    EXPECT_NE(voxel, nullptr);  // the voxel is reported even when no side faces
    fusion::FusionPoint* bottom = placeByHand(*engine, c, 1, 1, 0, 0, -1);

    ASSERT_EQ(engine->lookupPoint(c, up, record, voxel, index), 0);
    EXPECT_EQ(record, top);
    EXPECT_EQ(index, 0);
    ASSERT_EQ(engine->lookupPoint(c, down, record, voxel, index), 0);
    EXPECT_EQ(record, bottom);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(engine->lookupPoint(c, sideways, record, voxel, index), 1);  // dot 0 never matches
}

TEST(Clearing, EmptiesTheVolumeAndReusesItsChunks) {
    auto engine = fusion_test::makeEngine();
    ASSERT_TRUE(engine);
    placeByHand(*engine, {1, 1, 1}, 0, 0, 0, 0, 1);
    placeByHand(*engine, {900, -40, 3}, 0, 1, 0, 1, 0);
    engine->m_view_id_next.store(5);
    engine->m_point_free.count.store(2);
    const int32_t chunks = engine->m_voxel_chunk_num.load();

    ASSERT_EQ(engine->reset(), 0);
    EXPECT_EQ(engine->m_block_count.load(), 0);
    EXPECT_EQ(engine->cur_ExcessHash_Index.load(), engine->m_global_params->hash_bucket_num);
    EXPECT_EQ(engine->m_point_next.load(), 0);
    EXPECT_EQ(engine->m_view_id_next.load(), 0);
    EXPECT_EQ(engine->m_point_free.count.load(), 0);
    EXPECT_EQ(engine->m_voxel_chunk_num.load(), chunks);
    EXPECT_EQ(engine->findBlock(fusion::blockOf({1, 1, 1}, *engine->m_global_params)), -1);
    HashEntry* again = engine->findOrInsertBlock({900 / 8, -5, 0});
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->blockIndex(), 0);
    fusion::Voxel* v = engine->voxelAt(0, 73);  // where voxel (1, 1, 1) used to hang
    EXPECT_EQ(v->side(0), -1);
}

}  // namespace
