// Placement of observations, record and id allocation, sub-cell marks,
// quality propagation and update records.

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/EngineFixture.h"
#include "support/PlacementHelpers.h"

namespace {

using fusion::FusionPoint;
using fusion_test::observation;
using fusion_test::OwnedBuffer;
using fusion_test::place;

TEST(Placement, FacingSidesAndFusedMean) {
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    int32_t up = -1, down = -1, side = -1;
    FusionPoint* record = nullptr;
    for (float x : {0.1f, 0.2f, 0.3f}) {
        ASSERT_EQ(place(*engine, observation(x, 0, 0, 0, 0, 1), &up, &record), 0);
    }
    EXPECT_EQ(record->observation_count, 3);
    EXPECT_NEAR(record->position[0], 0.2f, 1e-6f);  // 0.1, then 0.15, then 0.2
    // Cells along x: 0.1 and 0.2 in cell 2, 0.3 in cell 3; y and z in cell 2.
    EXPECT_EQ(record->sub_voxel_mask, (uint64_t{1} << 42) | (uint64_t{1} << 43));
    EXPECT_EQ(place(*engine, observation(0.2f, 0, 0, 0, 0, -1), &down), 0);
    EXPECT_EQ(place(*engine, observation(0.3f, 0, 0, 1, 0, 0), &side), 1);  // faces neither
    EXPECT_EQ(place(*engine, observation(0.3f, 0, 0, 0, 0.1f, -1), &side), 0);
    EXPECT_EQ(side, down);
    EXPECT_NE(up, down);
    EXPECT_EQ(engine->m_point_next.load(), 2);
}

// A wrapping 16-bit count would reach 0 and divide by zero; it saturates,
// and the mean stays weighted by the true sum.
TEST(Placement, ObservationCountSaturates) {
    for (auto [stored, incoming] : {std::pair{65535, 1}, {65000, 1000}}) {
        const FusionPoint m = fusion::HashTable::mergeObservation(
            observation(0, 0, 0, 0, 0, 1, 8, 0, uint16_t(stored)),
            observation(1, 0, 0, 0, 0, 1, 16, 1, uint16_t(incoming)));
        EXPECT_EQ(m.observation_count, 65535);
        EXPECT_NEAR(m.position[0], float(incoming) / float(stored + incoming), 1e-7f);
        EXPECT_EQ(m.scan_level | m.protected_flag << 8, 16 | 1 << 8);  // fine level and protection win
    }
}

struct GuardCase { const char* name; uint8_t stored_level, stored_protected, level, prot; bool blocking; int expected; };
class PlacementGuard : public ::testing::TestWithParam<GuardCase> {};

TEST_P(PlacementGuard, AcceptsOnlyPermittedObservations) {
    const GuardCase g = GetParam();
    auto engine = fusion_test::makeEngine(0.5f);
    ASSERT_TRUE(engine);
    fusion::DeviceInfo device{};
    device.point_spacing = 0.1f;  // coarser than a level-64 cell of 0.0625
    engine->setDeviceInfo(device);
    engine->m_blocking_frame = g.blocking;
    FusionPoint* record = nullptr;
    ASSERT_EQ(place(*engine, observation(0.1f, 0, 0, 0, 0, 1, g.stored_level, g.stored_protected), nullptr, &record), 0);
    EXPECT_EQ(place(*engine, observation(0.2f, 0, 0, 0, 0, 1, g.level, g.prot)), g.expected);
    EXPECT_EQ(record->observation_count, g.expected == 0 ? 2 : 1);
}
INSTANTIATE_TEST_SUITE_P(
    Placement, PlacementGuard,
    ::testing::Values(GuardCase{"ProtectedRefusesPlain", 8, 1, 8, 0, false, 1},
                      GuardCase{"ProtectedTakesProtected", 8, 1, 8, 1, false, 0},
                      GuardCase{"FineRefusesPlainBlocking", 64, 0, 8, 0, true, 1},
                      GuardCase{"FineRefusesFineStreaming", 64, 0, 64, 0, false, 1},
                      GuardCase{"FineTakesFineBlocking", 64, 0, 32, 0, true, 0},
                      GuardCase{"FineResolvableTakesPlain", 16, 0, 8, 0, false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

struct CellCase { float x, y, z; int bit; };
class SubCell : public ::testing::TestWithParam<CellCase> {};

TEST_P(SubCell, MarksTheCellHoldingThePoint) {
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    FusionPoint record = observation(0, 0, 0, 0, 0, 1);
    const float p[3] = {GetParam().x, GetParam().y, GetParam().z};
    ASSERT_EQ(engine->markSubVoxel(p, fusion::Int3{0, 0, 0}, &record), 0);
    EXPECT_EQ(record.sub_voxel_mask, uint64_t{1} << GetParam().bit);
}
INSTANTIATE_TEST_SUITE_P(Placement, SubCell,
                         ::testing::Values(CellCase{-0.5f, -0.5f, -0.5f, 0},
                                           CellCase{0.49f, -0.26f, 0.01f, 32 + 0 + 3},
                                           CellCase{0.5f, 0.0f, -0.5f, 0 + 8 + 3},  // upper face: 3
                                           CellCase{-0.75f, 0.0f, 0.0f, 32 + 8}));  // t = -1 + eps: 0

TEST(PointPool, RecyclesGrowsEarlyAndStopsAtTheTable) {
    auto engine = fusion_test::makeSmallPoolEngine(0.5f, 4, 3);  // 16 records a chunk, 3 chunks
    ASSERT_TRUE(engine);
    EXPECT_EQ(engine->allocatePoint(), 0);
    EXPECT_EQ(engine->releaseIndex(engine->m_point_free, -1), 1);
    // The free list starts with room for one chunk (16) and grows by half.
    for (int32_t v = 0; v < 20; ++v) {
        ASSERT_EQ(engine->releaseIndex(engine->m_point_free, v), 0);
    }
    EXPECT_EQ(engine->m_point_free.capacity, 24);
    for (int32_t v = 19; v >= 0; --v) {
        ASSERT_EQ(engine->allocatePoint(), v);
    }
    for (int32_t i = 1; i < 6; ++i) {
        ASSERT_EQ(engine->allocatePoint(), i);
    }
    {
        fusion_test::AllocationFailures fail(0);
        EXPECT_EQ(engine->allocatePoint(), -1);  // 6 + 10 reaches the end: growth fails
    }
    EXPECT_EQ(engine->m_point_chunk_num.load(), 1);
    for (int32_t i = 7; i < 38; ++i) {
        ASSERT_EQ(engine->allocatePoint(), i);
    }
    EXPECT_EQ(engine->m_point_chunk_num.load(), 3);
    EXPECT_EQ(engine->allocatePoint(), -1);  // would need a fourth slot
}

TEST(ViewIds, FiltersThenIdsFromZeroWithTheLastReleasedFirst) {
    auto engine = fusion_test::makeEngine();
    ASSERT_TRUE(engine);
    OwnedBuffer buf(*engine);
    // Origin, no normal, no observation, removal without id, id out of range.
    FusionPoint skipped[5] = {observation(1e-8f, 0, -1e-8f, 0, 0, 1), observation(1, 2, 3, 0, 0, 0),
                              observation(1, 2, 3, 0, 0, 1, 8, 0, 0), observation(1, 2, 3, 0, 0, 1),
                              observation(1, 2, 3, 0, 0, 1)};
    skipped[4].view_id = 50;
    for (int k = 0; k < 5; ++k) {
        testing::internal::CaptureStdout();
        engine->emitVertexUpdate(skipped[k], k == 3 ? -1 : 1, buf.records, buf.count);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), k == 4 ? "分配view_id错误！\n" : "") << k;
    }
    ASSERT_EQ(buf.count.load() + engine->m_view_id_next.load(), 0);

    FusionPoint a = observation(1, 0, 0, 0, 0, 1), b = a, c = a;
    for (auto [record, state] : {std::pair{&a, 1}, {&a, 0}, {&b, 1}, {&a, -1}, {&c, 1}})
        engine->emitVertexUpdate(*record, state, buf.records, buf.count);
    ASSERT_EQ(buf.count.load(), 5);
    const int ids[5] = {0, 0, 1, 0, 0}, states[5] = {1, 0, 1, 255, 1};
    for (int k = 0; k < 5; ++k) {
        EXPECT_EQ(buf.records[k].view_id, ids[k]) << k;
        EXPECT_EQ(buf.records[k].state, states[k]) << k;
    }
    const fusion::Vertices& removal = buf.records[3];
    EXPECT_TRUE(std::isnan(removal.position[0]) && std::isnan(removal.normal[2]));
    EXPECT_EQ(removal.scan_level | removal.protected_flag << 8 | removal.quality_code << 16, 8);
    EXPECT_EQ(engine->m_view_id_next.load(), 2);
}

TEST(Propagation, RaisesGradesWithinEdgeAndHandOffLimit) {
    auto engine = fusion_test::makeSmallPoolEngine(0.5f, 19, 4, 10);  // hand-off limit 20
    ASSERT_TRUE(engine);
    std::vector<FusionPoint> n;
    for (uint16_t code : {0xF432, 0xF210, 0xF654, 0xF110, 0x0000}) {
        n.push_back(observation(1, 1, 1, 0, 0, 1));
        n.back().quality_code = code;
        n.back().view_id = engine->getOrAllocateViewId(n.back());
    }
    n[3].observation_count = 101;
    n[4].view_id = -1;
    fusion::NeighbourList list;
    for (auto& r : n) list.append(&r, 0);
    OwnedBuffer buf(*engine);
    FusionPoint centre = observation(0, 0, 0, 0, 0, 1);

    engine->propagateQuality(&centre, list, 0.5f, buf.records, buf.count, 0);
    // Integer averages, nibbles 3..0: (12, 2, 2, 1); 4 of 5 full top nibbles
    // is exactly the 0.8 share that makes the top 15.
    EXPECT_EQ(centre.quality_code, 0xF221);
    EXPECT_EQ(n[1].quality_code, 0xF210);  // an edge of 0.5 passes nothing on

    buf.count.store(engine->handOffLimit());
    engine->propagateQuality(&centre, list, 0.25f, buf.records, buf.count, 0);
    EXPECT_EQ(n[3].quality_code, 0xF221);  // raised, not saturated: no hand-off
    EXPECT_EQ(buf.count.load(), engine->handOffLimit());

    buf.count.store(0);
    n[1].quality_code = 0xF210;
    n[3].quality_code = 0xF110;
    engine->propagateQuality(&centre, list, 0.25f, buf.records, buf.count, 0);
    EXPECT_EQ(n[0].quality_code, 0xF432);  // level nibble already at the average
    EXPECT_EQ(n[4].quality_code, 0x0000);  // no view id
    ASSERT_EQ(buf.count.load(), 2);
    EXPECT_EQ(buf.records[0].quality_code, 0xF221);
    EXPECT_EQ(buf.records[1].quality_code, 0xFFFF);  // more than 100 observations
}

// Threads placing into shared voxels while the pool grows, then emitting
// every record: no observation, record, slot or id lost or doubled.
TEST(PlacementConcurrent, SharedVoxelsAndRecordsLoseNothing) {
    auto engine = fusion_test::makeSmallPoolEngine(1.0f, 6, 64);
    ASSERT_TRUE(engine);
    OwnedBuffer buf(*engine);
    constexpr int kThreads = 4, kSides = 500, kRounds = 3;
    auto run = [&](auto body) {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) threads.emplace_back(body, t);
        for (auto& th : threads) th.join();
    };
    run([&](int t) {
        for (int i = 0; i < kRounds * kSides; ++i) {
            const int v = i % kSides;
            place(*engine, observation(float(v / 2) + 0.1f * t, 3, 4, 0, 0, v % 2 ? -1.0f : 1.0f));
        }
    });
    ASSERT_EQ(engine->m_point_next.load(), kSides);
    long total = 0;
    for (int32_t i = 0; i < kSides; ++i) total += engine->pointAt(i)->observation_count;
    EXPECT_EQ(total, long{kThreads} * kSides * kRounds);

    run([&](int) { for (int32_t i = 0; i < kSides; ++i) engine->emitVertexUpdate(*engine->pointAt(i), 1, buf.records, buf.count); });
    ASSERT_EQ(buf.count.load(), kThreads * kSides);
    std::set<int32_t> ids;
    for (int32_t i = 0; i < kSides; ++i) ids.insert(engine->pointAt(i)->view_id);
    EXPECT_EQ(ids.size(), size_t{kSides});  // one id per record, even when emitters race
    for (int i = 0; i < buf.count.load(); ++i) {
        ASSERT_EQ(ids.count(buf.records[i].view_id), 1u);
    }
    // Ids that lost a race went back to the free list: none is wasted.
    EXPECT_EQ(engine->m_view_id_next.load() - engine->m_view_id_free.count.load(), kSides);
}

}  // namespace
