// Layer merging: axis choice, the three fusion cases and their failures,
// protection in both forms, what becomes of absorbed records, the updates the
// host receives, and sweeps of many merges.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/HashTable.h"
#include "support/EngineFixture.h"
#include "support/LayerHelpers.h"

namespace {

using fusion::FusionPoint;
using fusion::HashTable;
using fusion_test::placeAt;
using fusion_test::sameBytes;
using fusion_test::UpdateSink;

const float kPlusX[3] = {1.0f, 0.0f, 0.0f};

std::set<int32_t> freeEntries(const fusion::IndexFreeList& list) {
    return std::set<int32_t>(list.values, list.values + list.count.load());
}

int mergeIn(HashTable& engine, FusionPoint* record, bool quiet, UpdateSink& sink) {
    return quiet ? engine.mergeLayersQuiet(record)
                 : engine.mergeLayers(record, sink.data(), sink.count);
}

int32_t facingIndex(const HashTable& engine, fusion::Int3 c, const float normal[3]) {
    FusionPoint* record = nullptr;
    fusion::Voxel* voxel = nullptr;
    int32_t index = -1;
    return engine.lookupPoint(c, normal, record, voxel, index) == 0 ? index : -1;
}

struct AxisCase {
    const char* name;
    float normal[3];
    int axis;
};

class MergeAxis : public ::testing::TestWithParam<AxisCase> {};

// Heavier neighbours wait one voxel ahead on every axis; only the one on the
// normal's dominant axis is merged.
TEST_P(MergeAxis, MergesAlongTheDominantAxisWithTiesToTheLaterAxis) {
    const AxisCase& c = GetParam();
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    const int32_t ia = placeAt(*engine, 0.0f, 0.0f, 0.2f, c.normal, 1);
    int32_t ahead[3];
    for (int axis = 0; axis < 3; ++axis) {
        float p[3] = {0.0f, 0.0f, 0.2f};
        p[axis] += 1.0f;
        ahead[axis] = placeAt(*engine, p[0], p[1], p[2], c.normal, 3);
    }
    UpdateSink sink;
    ASSERT_EQ(engine->mergeLayers(engine->pointAt(ia), sink.data(), sink.count), 0);
    for (int axis = 0; axis < 3; ++axis)
        EXPECT_EQ(engine->pointAt(ahead[axis])->observation_count, axis == c.axis ? 4 : 3)
            << "axis " << axis;
}

INSTANTIATE_TEST_SUITE_P(
    Normals, MergeAxis,
    ::testing::Values(AxisCase{"Down", {0.0f, 0.0f, -1.0f}, 2},
                      AxisCase{"MostlyX", {-0.8f, 0.5f, 0.3f}, 0},
                      AxisCase{"YBeatsZ", {0.6f, 0.6f, 0.5f}, 1},
                      AxisCase{"TieXYGoesToY", {0.5f, 0.5f, 0.1f}, 1},
                      AxisCase{"TieXZGoesToZ", {0.5f, 0.1f, -0.5f}, 2}),
    [](const ::testing::TestParamInfo<AxisCase>& info) { return info.param.name; });

struct FusionCase {
    const char* name;
    int count_b, count_c;  // 0: no record in that voxel
    float x_b, x_c;
    float fused;
    int survivor;  // 0 a, 1 b, 2 c
};

class MergeFusion : public ::testing::TestWithParam<FusionCase> {};

// a at x = 0.1 with weight 2; b ahead, c behind along x.
TEST_P(MergeFusion, WeightedMeanStaysInTheVoxelItFallsInto) {
    const FusionCase& c = GetParam();
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    const int32_t index[3] = {
        placeAt(*engine, 0.1f, 0.2f, 0.0f, kPlusX, 2),
        c.count_b ? placeAt(*engine, c.x_b, 0.2f, 0.0f, kPlusX, c.count_b) : -1,
        c.count_c ? placeAt(*engine, c.x_c, 0.2f, 0.0f, kPlusX, c.count_c) : -1};
    int32_t ids[3] = {-1, -1, -1};
    for (int i = 0; i < 3; ++i)
        if (index[i] >= 0) ids[i] = engine->pointAt(index[i])->view_id;

    UpdateSink sink;
    ASSERT_EQ(engine->mergeLayers(engine->pointAt(index[0]), sink.data(), sink.count), 0);
    const FusionPoint* survivor = engine->pointAt(index[c.survivor]);
    EXPECT_FLOAT_EQ(survivor->position[0], c.fused);
    EXPECT_FLOAT_EQ(survivor->position[1], 0.2f);
    EXPECT_EQ(survivor->observation_count, 2 + c.count_b + c.count_c);

    // One change for the survivor, then removals in the order a, b, c.
    std::vector<std::pair<int32_t, int>> expected = {{ids[c.survivor], 1}};
    for (int i = 0; i < 3; ++i)
        if (index[i] >= 0 && i != c.survivor) expected.push_back({ids[i], 255});
    std::vector<std::pair<int32_t, int>> got;
    for (const auto& v : sink.written()) got.push_back({v.view_id, v.state});
    EXPECT_EQ(got, expected);
    EXPECT_FLOAT_EQ(sink.written()[0].position[0], c.fused);
    EXPECT_TRUE(std::isnan(sink.written().back().position[0]));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MergeFusion,
    ::testing::Values(FusionCase{"AllThreeIntoA", 1, 1, 1.0f, -1.0f, 0.05f, 0},
                      // (6 * 1.2 + 0.2 - 1.0) / 9
                      FusionCase{"AllThreeIntoB", 6, 1, 1.2f, -1.0f, 0.71111111f, 1},
                      // (1.0 + 0.2 - 8 * 1.2) / 11
                      FusionCase{"AllThreeIntoC", 1, 8, 1.0f, -1.2f, -0.76363636f, 2},
                      FusionCase{"AheadOnlyIntoA", 1, 0, 1.0f, 0.0f, 0.4f, 0},
                      FusionCase{"AheadOnlyIntoB", 4, 0, 0.9f, 0.0f, 0.63333333f, 1},
                      FusionCase{"BehindOnlyIntoC", 0, 3, 0.0f, -1.1f, -0.62f, 2}),
    [](const ::testing::TestParamInfo<FusionCase>& info) { return info.param.name; });

struct MisplacedCase {
    const char* name;
    bool ahead, behind;
    const char* message;
};

class MergeMisplaced : public ::testing::TestWithParam<MisplacedCase> {};

// Neighbours whose stored positions drifted to y = 0.9 (row 1) pull the mean
// into a voxel none of the candidates occupies: nothing is forced, nothing
// changes, in either form.
TEST_P(MergeMisplaced, FusedPositionOutsideTheCandidatesChangesNothing) {
    const MisplacedCase& c = GetParam();
    for (const bool quiet : {false, true}) {
        auto engine = fusion_test::makeEngine(1.0f);
        ASSERT_TRUE(engine);
        std::vector<int32_t> indices = {placeAt(*engine, 0.0f, 0.4f, 0.0f, kPlusX, 1)};
        for (const float x : {c.ahead ? 1.0f : 0.0f, c.behind ? -1.0f : 0.0f}) {
            if (x == 0.0f) continue;
            const float at[3] = {x, 0.0f, 0.0f}, stored[3] = {x, 0.9f, 0.0f};
            indices.push_back(fusion_test::placeRecord(
                *engine, at, fusion_test::recordTemplate(stored, kPlusX, 4)));
        }
        std::vector<FusionPoint> before;
        for (int32_t i : indices) before.push_back(*engine->pointAt(i));

        UpdateSink sink;
        EXPECT_EQ(mergeIn(*engine, engine->pointAt(indices[0]), quiet, sink), 1);
        EXPECT_EQ(engine->m_error_message, c.message);
        for (std::size_t k = 0; k < indices.size(); ++k)
            EXPECT_TRUE(sameBytes(*engine->pointAt(indices[k]), before[k]));
        EXPECT_EQ(sink.count.load(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MergeMisplaced,
    ::testing::Values(MisplacedCase{"Both", true, true, "fusion abc point position error!"},
                      MisplacedCase{"Ahead", true, false, "fusion ab point position error!"},
                      MisplacedCase{"Behind", false, true, "fusion ac point position error!"}),
    [](const ::testing::TestParamInfo<MisplacedCase>& info) { return info.param.name; });

TEST(LayerMerging, NothingToMergeOrNothingToStartFrom) {
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    const int32_t ia = placeAt(*engine, 0.0f, 0.2f, 0.0f, kPlusX, 2);
    // Neighbours that do not count: facing away, emptied, off the axis.
    const float minus_x[3] = {-1.0f, 0.0f, 0.0f};
    placeAt(*engine, 1.0f, 0.2f, 0.0f, minus_x, 5);
    engine->pointAt(placeAt(*engine, -1.0f, 0.2f, 0.0f, kPlusX, 5))->observation_count = 0;
    placeAt(*engine, 0.0f, 1.2f, 0.0f, kPlusX, 5);
    const FusionPoint before = *engine->pointAt(ia);
    engine->m_error_message = "unchanged";
    UpdateSink sink;
    EXPECT_EQ(engine->mergeLayers(engine->pointAt(ia), sink.data(), sink.count), 1);
    EXPECT_EQ(engine->m_error_message, "unchanged");
    EXPECT_TRUE(sameBytes(*engine->pointAt(ia), before));

    EXPECT_EQ(engine->mergeLayersQuiet(nullptr), 1);
    EXPECT_EQ(engine->m_error_message, "waiting for fusion data is empty!");
    const float far[3] = {40.0f, 40.0f, 40.0f};
    FusionPoint stray = fusion_test::recordTemplate(far, kPlusX, 3);  // not in the volume
    EXPECT_EQ(engine->mergeLayers(&stray, sink.data(), sink.count), 1);
    EXPECT_EQ(engine->m_error_message, "waiting for fusion data not found!");
    EXPECT_EQ(sink.count.load(), 0);
}

struct ProtectionCase {
    const char* name;
    bool quiet;
    int protect;  // 0 the start a, 1 the target b, 2 the non-target c
};

class MergeProtection : public ::testing::TestWithParam<ProtectionCase> {};

// a at x = 0 (weight 2), b at 1.0 (6, the target), c at -1.0 (1).
TEST_P(MergeProtection, FrameFormNeverChangesProtectedRecordsQuietFormDoes) {
    const ProtectionCase& c = GetParam();
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    const int32_t index[3] = {placeAt(*engine, 0.0f, 0.2f, 0.0f, kPlusX, 2, 8, c.protect == 0),
                              placeAt(*engine, 1.0f, 0.2f, 0.0f, kPlusX, 6, 8, c.protect == 1),
                              placeAt(*engine, -1.0f, 0.2f, 0.0f, kPlusX, 1, 8, c.protect == 2)};
    const FusionPoint protected_before = *engine->pointAt(index[c.protect]);

    UpdateSink sink;
    const int result = mergeIn(*engine, engine->pointAt(index[0]), c.quiet, sink);
    const FusionPoint* b = engine->pointAt(index[1]);
    if (!c.quiet && c.protect == 0) {
        EXPECT_EQ(result, 1);
        EXPECT_EQ(engine->m_error_message, "waiting for fusion data not found!");
        EXPECT_EQ(b->observation_count, 6);
        return;
    }
    EXPECT_EQ(result, 0);
    if (c.quiet) {
        EXPECT_EQ(b->observation_count, 9);
        EXPECT_FLOAT_EQ(b->position[0], 5.0f / 9.0f);
        for (int i : {0, 2}) {
            EXPECT_EQ(engine->pointAt(index[i])->observation_count, 0);
        }
        EXPECT_EQ(sink.count.load(), 0);
    } else {
        // The protected record keeps every byte; the others are still merged.
        EXPECT_TRUE(sameBytes(*engine->pointAt(index[c.protect]), protected_before));
        EXPECT_EQ(engine->pointAt(index[0])->observation_count, 0);
        if (c.protect == 2) {
            EXPECT_EQ(b->observation_count, 9);
        }
        if (c.protect == 1) {
            EXPECT_EQ(engine->pointAt(index[2])->observation_count, 0);
        }
        EXPECT_EQ(sink.count.load(), 2);  // a change and a removal, or two removals
    }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, MergeProtection,
    ::testing::Values(ProtectionCase{"FrameProtectedStart", false, 0},
                      ProtectionCase{"FrameProtectedTarget", false, 1},
                      ProtectionCase{"FrameProtectedNeighbour", false, 2},
                      ProtectionCase{"QuietProtectedStart", true, 0},
                      ProtectionCase{"QuietProtectedTarget", true, 1},
                      ProtectionCase{"QuietProtectedNeighbour", true, 2}),
    [](const ::testing::TestParamInfo<ProtectionCase>& info) { return info.param.name; });

class MergeAbsorption : public ::testing::TestWithParam<bool> {};

TEST_P(MergeAbsorption, FineLevelsKeepTheirSideOrdinaryOnesAreRemoved) {
    const bool quiet = GetParam();
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    // a fine (level 32) at 0.2, b heavy at 0.9 survives, c ordinary at -0.8.
    const int32_t ia = placeAt(*engine, 0.2f, 0.0f, 0.0f, kPlusX, 1, 32);
    const int32_t ib = placeAt(*engine, 0.9f, 0.0f, 0.0f, kPlusX, 10);
    const int32_t ic = placeAt(*engine, -0.8f, 0.0f, 0.0f, kPlusX, 1);
    const int32_t id_a = engine->pointAt(ia)->view_id, id_c = engine->pointAt(ic)->view_id;

    UpdateSink sink;
    ASSERT_EQ(mergeIn(*engine, engine->pointAt(ia), quiet, sink), 0);
    EXPECT_EQ(engine->pointAt(ib)->scan_level, 32);  // the first fine level of a, b, c
    EXPECT_EQ(engine->pointAt(ib)->observation_count, 12);

    const FusionPoint* a = engine->pointAt(ia);
    EXPECT_EQ(a->observation_count, 0);
    EXPECT_EQ(a->view_id, -1);
    EXPECT_EQ(a->absorbed_flag, 1);
    EXPECT_EQ(a->scan_level, 32);
    EXPECT_FLOAT_EQ(a->position[0], 0.2f);
    EXPECT_EQ(facingIndex(*engine, {0, 0, 0}, kPlusX), ia);
    EXPECT_TRUE(sameBytes(*engine->pointAt(ic), fusion::defaultFusionPoint()));
    EXPECT_EQ(facingIndex(*engine, {-1, 0, 0}, kPlusX), -1);
    // Only the ordinary record's index is recycled; both ids are.
    EXPECT_EQ(freeEntries(engine->m_point_free), std::set<int32_t>{ic});
    EXPECT_EQ(freeEntries(engine->m_view_id_free), (std::set<int32_t>{id_a, id_c}));
    EXPECT_EQ(sink.count.load(), quiet ? 0 : 3);
}

INSTANTIATE_TEST_SUITE_P(Forms, MergeAbsorption, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Quiet" : "Frame");
                         });

// Two noisy layers of one plane (z rows 0 and 1) with random weights.
void buildDoubleLayer(HashTable& engine, int size, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> jitter(-0.3f, 0.3f);
    std::uniform_int_distribution<int> weight(1, 6);
    const float up[3] = {0.05f, -0.05f, 1.0f};
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x)
            for (int layer = 0; layer < 2; ++layer)
                placeAt(engine, x + jitter(rng), y + jitter(rng), layer + jitter(rng), up,
                        static_cast<uint16_t>(weight(rng)));
}

// Each column (x, y) may keep one record at most; returns how many it kept.
std::size_t checkColumns(HashTable& engine, long* weight) {
    std::set<std::pair<int, int>> columns;
    for (int32_t i = 0; i < engine.readablePointCount(); ++i) {
        const FusionPoint* p = engine.pointAt(i);
        if (p->observation_count == 0) continue;
        *weight += p->observation_count;
        const fusion::Int3 v = fusion::voxelOf(p->position, 1.0f);
        EXPECT_TRUE(columns.insert({v.x, v.y}).second) << v.x << "," << v.y;
        EXPECT_EQ(facingIndex(engine, v, p->normal), i);  // reachable from its voxel
    }
    return columns.size();
}

TEST(LayerMergingSweep, SequentialMergesConserveWeightAndLeaveOneLayer) {
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    buildDoubleLayer(*engine, 24, 11);
    const int32_t records = engine->readablePointCount();
    long before = 0, after = 0;
    for (int32_t i = 0; i < records; ++i) before += engine->pointAt(i)->observation_count;
    UpdateSink sink(3 * records);
    for (int32_t i = 0; i < records; ++i)
        engine->mergeLayers(engine->pointAt(i), sink.data(), sink.count);
    EXPECT_EQ(checkColumns(*engine, &after), 24u * 24u);
    EXPECT_EQ(after, before);
    EXPECT_EQ(engine->m_point_free.count.load(), records - 24 * 24);
}

// Merges of neighbouring records race on shared voxels. Whatever the
// interleaving, a record is emptied at most once (no index or id recycled
// twice), a live record stays reachable from its voxel, and two layers of a
// column never both survive (a race may empty both instead).
TEST(LayerMergingSweep, ConcurrentMergesKeepTheVolumeConsistent) {
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    buildDoubleLayer(*engine, 40, 5);
    const int32_t records = engine->readablePointCount();
    UpdateSink sink(3 * records);
    std::vector<FusionPoint*> starts;
    for (int32_t i = 0; i < records; ++i) starts.push_back(engine->pointAt(i));
    std::atomic<int32_t> next{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int32_t i = next++; i < records; i = next++)
                engine->mergeLayers(starts[i], sink.data(), sink.count);
        });
    for (auto& thread : threads) thread.join();

    const std::set<int32_t> recycled = freeEntries(engine->m_point_free);
    EXPECT_EQ(static_cast<int32_t>(recycled.size()), engine->m_point_free.count.load());
    EXPECT_EQ(static_cast<int32_t>(freeEntries(engine->m_view_id_free).size()),
              engine->m_view_id_free.count.load());
    for (int32_t i : recycled) {
        EXPECT_EQ(engine->pointAt(i)->observation_count, 0);
    }
    long weight = 0;
    EXPECT_GT(checkColumns(*engine, &weight), 40u * 40u / 2);
}

}  // namespace
