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
using fusion::HashTable;
using fusion::Int3;
using fusion::Vertices;
using fusion_test::observation;
using fusion_test::OwnedBuffer;
using fusion_test::place;

TEST(Placement, SidesFollowTheFacingRule) {
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    int32_t first = -1, second = -1, third = -1;
    EXPECT_EQ(place(*engine, observation(0.1f, 0, 0, 0, 0, 1), &first), 0);
    EXPECT_EQ(place(*engine, observation(0.2f, 0, 0, 0, 0, -1), &second), 0);
    EXPECT_NE(first, second);
    // Perpendicular to both stored normals: no side faces it.
    EXPECT_EQ(place(*engine, observation(0.3f, 0, 0, 1, 0, 0), &third), 1);
    EXPECT_EQ(third, -1);
    EXPECT_EQ(engine->m_point_next.load(), 2);
    // A later facing observation lands on the matching side.
    EXPECT_EQ(place(*engine, observation(0.3f, 0, 0, 0, 0.1f, -1), &third), 0);
    EXPECT_EQ(third, second);
}

TEST(Placement, FusesThreeObservationsToTheirMean) {
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    FusionPoint* record = nullptr;
    for (float x : {0.1f, 0.2f, 0.3f}) ASSERT_EQ(place(*engine, observation(x, 0, 0, 0, 0, 1), nullptr, &record), 0);
    EXPECT_EQ(engine->m_point_next.load(), 1);
    EXPECT_EQ(record->observation_count, 3);
    EXPECT_NEAR(record->position[0], 0.2f, 1e-6f);
    // Cells along x: 0.1 and 0.2 in cell 2, 0.3 in cell 3; y and z in cell 2.
    EXPECT_EQ(record->sub_voxel_mask, (uint64_t{1} << 42) | (uint64_t{1} << 43));
}

struct CountCase { uint16_t stored, incoming, expected; float expected_x; };
class ObservationCount : public ::testing::TestWithParam<CountCase> {};

// A wrapping 16-bit count would reach 0 and divide by zero; it saturates.
TEST_P(ObservationCount, SaturatesInsteadOfWrapping) {
    const CountCase c = GetParam();
    const FusionPoint s = observation(0, 0, 0, 0, 0, 1, 8, 0, c.stored);
    const FusionPoint p = observation(1, 0, 0, 0, 0, 1, 16, 1, c.incoming);
    const FusionPoint m = HashTable::mergeObservation(s, p);
    EXPECT_EQ(m.observation_count, c.expected);
    EXPECT_NEAR(m.position[0], c.expected_x, 1e-6f);
    EXPECT_EQ(m.scan_level, 16);    // a fine incoming level wins
    EXPECT_EQ(m.protected_flag, 1);
}
INSTANTIATE_TEST_SUITE_P(Merge, ObservationCount,
                         ::testing::Values(CountCase{1, 1, 2, 0.5f}, CountCase{3, 1, 4, 0.25f},
                                           CountCase{65535, 1, 65535, 1.0f / 65536},
                                           CountCase{65000, 1000, 65535, 1000.0f / 66000}));

struct GuardCase {
    const char* name; uint8_t stored_level, stored_protected, level, protected_flag;
    bool blocking; int expected;
};
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
    ASSERT_EQ(place(*engine, observation(0.1f, 0, 0, 0, 0, 1, g.stored_level, g.stored_protected),
                    nullptr, &record), 0);
    EXPECT_EQ(place(*engine, observation(0.2f, 0, 0, 0, 0, 1, g.level, g.protected_flag)), g.expected);
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
    const CellCase c = GetParam();
    FusionPoint record = observation(0, 0, 0, 0, 0, 1);
    record.sub_voxel_mask = 0;
    const float p[3] = {c.x, c.y, c.z};
    ASSERT_EQ(engine->markSubVoxel(p, Int3{0, 0, 0}, &record), 0);
    EXPECT_EQ(record.sub_voxel_mask, uint64_t{1} << c.bit);
}
INSTANTIATE_TEST_SUITE_P(Placement, SubCell,
                         ::testing::Values(CellCase{-0.5f, -0.5f, -0.5f, 0},
                                           CellCase{0.0f, 0.0f, 0.0f, 42},
                                           CellCase{0.49f, -0.26f, 0.01f, 32 + 0 + 3},
                                           // Upper face along x clamps every axis to 3.
                                           CellCase{0.5f, 0.0f, -0.5f, 0 + 8 + 3},
                                           // t = -1 exactly: the epsilon keeps it in cell 0.
                                           CellCase{-0.75f, 0.0f, 0.0f, 32 + 8}));

TEST(Placement, SubCellEdgesAndPlaceholders) {
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    const float p[3] = {0, 0, 0};
    EXPECT_EQ(engine->markSubVoxel(p, Int3{0, 0, 0}, nullptr), 1);

    FusionPoint holder = fusion_test::observation(0, 0, 0, 0, 0, 1, 8, 0, 0);
    holder.absorbed_flag = 1;
    EXPECT_EQ(engine->addPlaceholder(Int3{2, 0, 0}, holder), 0);
    FusionPoint* stored = engine->pointAt(0);
    EXPECT_EQ(stored->position[0], 2.0f);  // moved to the voxel centre
    // A second placeholder facing the same way re-marks the emptied record.
    FusionPoint fine = holder;
    fine.scan_level = 64;
    fine.protected_flag = 1;
    EXPECT_EQ(engine->addPlaceholder(Int3{2, 0, 0}, fine), 0);
    EXPECT_EQ(engine->m_point_next.load(), 1);
    EXPECT_EQ(stored->scan_level, 64);
    EXPECT_EQ(stored->protected_flag, 1);
}

TEST(PointPool, RecyclesThenGrowsUntilTheTableIsFull) {
    auto engine = fusion_test::makeSmallPoolEngine(0.5f, 4, 3);  // 16 records a chunk, 3 chunks
    ASSERT_TRUE(engine);
    EXPECT_EQ(engine->allocatePoint(), 0);
    EXPECT_EQ(engine->releaseIndex(engine->m_point_free, -1), 1);
    EXPECT_EQ(engine->releaseIndex(engine->m_point_free, 0), 0);
    EXPECT_EQ(engine->allocatePoint(), 0);  // recycled first
    for (int32_t expected = 1; expected < 6; ++expected) EXPECT_EQ(engine->allocatePoint(), expected);
    EXPECT_EQ(engine->m_point_chunk_num.load(), 1);
    EXPECT_EQ(engine->allocatePoint(), 6);  // 6 + 10 reaches the end: grow early
    EXPECT_EQ(engine->m_point_chunk_num.load(), 2);
    for (int32_t expected = 7; expected < 38; ++expected) EXPECT_EQ(engine->allocatePoint(), expected);
    EXPECT_EQ(engine->m_point_chunk_num.load(), 3);
    EXPECT_EQ(engine->allocatePoint(), -1);  // would need a fourth slot
    EXPECT_EQ(engine->m_point_chunk_num.load(), 3);
}

TEST(PointPool, FailedGrowthAndGrowingFreeList) {
    auto engine = fusion_test::makeSmallPoolEngine(0.5f, 4, 8);
    ASSERT_TRUE(engine);
    for (int i = 0; i < 6; ++i) engine->allocatePoint();
    {
        fusion_test::AllocationFailures fail(0);
        EXPECT_EQ(engine->allocatePoint(), -1);
    }
    EXPECT_EQ(engine->m_point_chunk_num.load(), 1);
    EXPECT_EQ(engine->allocatePoint(), 7);
    // The free list starts with room for one chunk (16) and grows by half.
    for (int32_t v = 100; v < 120; ++v) ASSERT_EQ(engine->releaseIndex(engine->m_point_free, v), 0);
    EXPECT_EQ(engine->m_point_free.capacity, 24);
    for (int32_t v = 119; v >= 100; --v) EXPECT_EQ(engine->allocatePoint(), v);
}

TEST(ViewIds, StartAtZeroAndReuseTheLastReleased) {
    auto engine = fusion_test::makeEngine();
    ASSERT_TRUE(engine);
    OwnedBuffer buffer(*engine);
    FusionPoint a = observation(1, 0, 0, 0, 0, 1), b = observation(2, 0, 0, 0, 0, 1);
    FusionPoint c = observation(3, 0, 0, 0, 0, 1);
    engine->emitVertexUpdate(a, 1, buffer.records, buffer.count);
    engine->emitVertexUpdate(a, 0, buffer.records, buffer.count);  // keeps id 0
    engine->emitVertexUpdate(b, 1, buffer.records, buffer.count);
    engine->emitVertexUpdate(a, -1, buffer.records, buffer.count);
    engine->emitVertexUpdate(c, 1, buffer.records, buffer.count);
    ASSERT_EQ(buffer.count.load(), 5);
    const Vertices* v = buffer.records;
    EXPECT_EQ(v[0].view_id, 0); EXPECT_EQ(v[0].state, 1);
    EXPECT_EQ(v[1].view_id, 0); EXPECT_EQ(v[1].state, 0);
    EXPECT_EQ(v[2].view_id, 1);
    EXPECT_EQ(v[3].view_id, 0); EXPECT_EQ(v[3].state, 255);
    EXPECT_EQ(fusion_test::floatBits(v[3].position[1]), 0xFFC00000u);
    EXPECT_EQ(fusion_test::floatBits(v[3].normal[2]), 0xFFC00000u);
    EXPECT_EQ(v[3].scan_level, 8); EXPECT_EQ(v[3].protected_flag, 0); EXPECT_EQ(v[3].quality_code, 0);
    EXPECT_EQ(v[4].view_id, 0);  // the released id comes back first
    EXPECT_EQ(c.view_id, 0);
    EXPECT_EQ(engine->m_view_id_next.load(), 2);
}

struct FilterCase { const char* name; FusionPoint record; int state; };
class EmitFilter : public ::testing::TestWithParam<FilterCase> {};

TEST_P(EmitFilter, WritesNothingAndTakesNoId) {
    auto engine = fusion_test::makeEngine();
    ASSERT_TRUE(engine);
    OwnedBuffer buffer(*engine);
    FusionPoint record = GetParam().record;
    testing::internal::CaptureStdout();
    engine->emitVertexUpdate(record, GetParam().state, buffer.records, buffer.count);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(buffer.count.load(), 0);
    EXPECT_EQ(engine->m_view_id_next.load(), 0);
    EXPECT_EQ(printed, record.view_id > 1 ? "分配view_id错误！\n" : "");
}
FusionPoint withId(FusionPoint p, int32_t id) { p.view_id = id; return p; }
INSTANTIATE_TEST_SUITE_P(
    ViewIds, EmitFilter,
    ::testing::Values(FilterCase{"AtOrigin", observation(1e-8f, 0, -1e-8f, 0, 0, 1), 1},
                      FilterCase{"NoNormal", observation(1, 2, 3, 0, 0, 0), 1},
                      FilterCase{"NoObservation", observation(1, 2, 3, 0, 0, 1, 8, 0, 0), 1},
                      FilterCase{"RemovalWithoutId", observation(1, 2, 3, 0, 0, 1), -1},
                      FilterCase{"IdOutOfRange", withId(observation(1, 2, 3, 0, 0, 1), 50), 1}),
    [](const auto& info) { return std::string(info.param.name); });

// Neighbour grades (nibble 3..0) and the expectations for level 0.
struct Propagation : public ::testing::Test {
    std::unique_ptr<HashTable> engine = fusion_test::makeSmallPoolEngine(0.5f, 19, 4, 10);
    std::vector<FusionPoint> records;
    fusion::NeighbourList list;
    void SetUp() override {
        ASSERT_TRUE(engine);
        for (uint16_t code : {0xF432, 0xF210, 0xF654, 0xF110, 0x0000}) {
            FusionPoint p = observation(1, 1, 1, 0, 0, 1);
            p.quality_code = code;
            p.view_id = engine->getOrAllocateViewId(p);
            records.push_back(p);
        }
        records[3].observation_count = 101;
        records[4].view_id = -1;
        for (auto& r : records) list.append(&r, 0);
    }
};

TEST_F(Propagation, RaisesCentreAndListedNeighbours) {
    OwnedBuffer buffer(*engine);
    FusionPoint centre = observation(0, 0, 0, 0, 0, 1);
    // Averages by integer division over 5, nibbles 3..0: (12, 2, 2, 1); 4 of
    // 5 neighbours have a full top nibble, exactly the 0.8 share.
    engine->propagateQuality(&centre, list, 0.25f, buffer.records, buffer.count, 0);
    EXPECT_EQ(centre.quality_code, 0xF221);
    EXPECT_EQ(records[0].quality_code, 0xF432);  // level nibble already at the average
    EXPECT_EQ(records[1].quality_code, 0xF221);
    EXPECT_EQ(records[3].quality_code, 0xFFFF);  // more than 100 observations
    EXPECT_EQ(records[4].quality_code, 0x0000);  // no view id: left alone
    ASSERT_EQ(buffer.count.load(), 2);
    EXPECT_EQ(buffer.records[0].quality_code, 0xF221);
    EXPECT_EQ(buffer.records[0].view_id, records[1].view_id);
    EXPECT_EQ(buffer.records[1].quality_code, 0xFFFF);
}

TEST_F(Propagation, RespectsEdgeAndHandOffLimit) {
    OwnedBuffer buffer(*engine);
    FusionPoint centre = observation(0, 0, 0, 0, 0, 1);
    engine->propagateQuality(&centre, list, 0.5f, buffer.records, buffer.count, 0);
    EXPECT_EQ(records[1].quality_code, 0xF210);  // a coarse cell passes nothing on
    buffer.count.store(engine->handOffLimit());  // 20 with ten points a frame
    engine->propagateQuality(&centre, list, 0.25f, buffer.records, buffer.count, 0);
    EXPECT_EQ(records[1].quality_code, 0xF221);
    EXPECT_EQ(records[3].quality_code, 0xF221);  // raised, but not saturated: no hand-off
    EXPECT_EQ(buffer.count.load(), engine->handOffLimit());
}

// Many threads placing into shared voxels: every observation is counted in
// exactly one record and every voxel side gets exactly one record.
TEST(PlacementConcurrent, ThreadsShareVoxelsWithoutLosingObservations) {
    auto engine = fusion_test::makeSmallPoolEngine(1.0f, 6, 64);  // forces growth under load
    ASSERT_TRUE(engine);
    constexpr int kThreads = 4, kVoxels = 500, kRounds = 3;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&engine, t] {
            for (int round = 0; round < kRounds; ++round) {
                for (int v = 0; v < kVoxels; ++v) {
                    const float z = (v % 2 == 0) ? 1.0f : -1.0f;  // both sides of each voxel
                    place(*engine, observation(float(v / 2) + 0.1f * t, 3, 4, 0, 0, z));
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    ASSERT_EQ(engine->m_point_next.load(), kVoxels);
    long total = 0;
    for (int32_t i = 0; i < kVoxels; ++i) total += engine->pointAt(i)->observation_count;
    EXPECT_EQ(total, long{kThreads} * kVoxels * kRounds);
}

TEST(PlacementConcurrent, EmittersGetDistinctSlotsAndOneIdPerRecord) {
    auto engine = fusion_test::makeEngine();
    ASSERT_TRUE(engine);
    OwnedBuffer buffer(*engine);
    constexpr int kThreads = 4, kRecords = 2000;
    std::vector<FusionPoint> records(kRecords, observation(1, 2, 3, 0, 0, 1));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (auto& r : records) engine->emitVertexUpdate(r, 1, buffer.records, buffer.count);
        });
    }
    for (auto& th : threads) th.join();
    ASSERT_EQ(buffer.count.load(), kThreads * kRecords);
    std::set<int32_t> ids;
    for (const auto& r : records) ids.insert(r.view_id);
    EXPECT_EQ(ids.size(), size_t{kRecords});
    for (int i = 0; i < buffer.count.load(); ++i) EXPECT_EQ(ids.count(buffer.records[i].view_id), 1u);
    // Ids lost in races went back to the free list, so none is wasted.
    EXPECT_EQ(engine->m_view_id_next.load() - engine->m_view_id_free.count.load(), kRecords);
}

}  // namespace
