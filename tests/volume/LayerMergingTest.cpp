// Layer merging: axis choice, the three fusion cases and their failures,
// protection in both forms, what happens to absorbed records, the updates the
// host receives, and many merges at once.

#include <gtest/gtest.h>

#include <algorithm>
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
using fusion::Vertices;
using fusion_test::isQuietNaN;
using fusion_test::placeAt;
using fusion_test::placeRecord;
using fusion_test::recordTemplate;
using fusion_test::sameBytes;
using fusion_test::UpdateSink;

const float kPlusX[3] = {1.0f, 0.0f, 0.0f};

std::set<int32_t> freeEntries(const fusion::IndexFreeList& list) {
    return std::set<int32_t>(list.values, list.values + list.count.load());
}

// Merges in either form; the quiet form gets no buffer at all.
int mergeIn(HashTable& engine, FusionPoint* record, bool quiet, UpdateSink& sink) {
    return quiet ? engine.mergeLayersQuiet(record)
                 : engine.mergeLayers(record, sink.data(), sink.count);
}

// ---- the worked example -------------------------------------------------------

TEST(LayerMerging, ForwardNeighbourWithMoreWeightSurvives) {
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    const int32_t ia = placeAt(*engine, 0.45f, 0.0f, 0.0f, kPlusX, 1);
    const int32_t ib = placeAt(*engine, 0.65f, 0.0f, 0.0f, kPlusX, 3);
    ASSERT_GE(ia, 0);
    ASSERT_GE(ib, 0);
    FusionPoint* a = engine->pointAt(ia);
    FusionPoint* b = engine->pointAt(ib);
    const int32_t id_a = a->view_id, id_b = b->view_id;

    UpdateSink sink;
    EXPECT_EQ(engine->mergeLayers(a, sink.data(), sink.count), 0);

    EXPECT_FLOAT_EQ(b->position[0], 0.6f);
    EXPECT_EQ(b->observation_count, 4);
    EXPECT_EQ(b->view_id, id_b);
    EXPECT_EQ(b->normal[0], 1.0f);

    // a was ordinary: cleared, unlinked from its voxel, index recycled.
    EXPECT_TRUE(sameBytes(*a, fusion::defaultFusionPoint()));
    FusionPoint* found = nullptr;
    fusion::Voxel* voxel = nullptr;
    int32_t index = -1;
    EXPECT_EQ(engine->lookupPoint({0, 0, 0}, kPlusX, found, voxel, index), 1);
    ASSERT_NE(voxel, nullptr);
    EXPECT_EQ(voxel->side(0), -1);
    EXPECT_EQ(voxel->side(1), -1);
    EXPECT_EQ(freeEntries(engine->m_point_free), std::set<int32_t>{ia});
    EXPECT_EQ(engine->allocatePoint(), ia);

    const auto updates = sink.written();
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(updates[0].view_id, id_b);
    EXPECT_EQ(updates[0].state, 1);
    EXPECT_FLOAT_EQ(updates[0].position[0], 0.6f);
    EXPECT_EQ(updates[1].view_id, id_a);
    EXPECT_EQ(updates[1].state, 255);
    EXPECT_TRUE(isQuietNaN(updates[1].position[0]));
    EXPECT_EQ(updates[1].scan_level, 8);
    // The removed id is free for the next point the host learns of.
    EXPECT_EQ(freeEntries(engine->m_view_id_free), std::set<int32_t>{id_a});
}

// ---- axis choice --------------------------------------------------------------

struct AxisCase {
    const char* name;
    float normal[3];
    int axis;
};

class MergeAxis : public ::testing::TestWithParam<AxisCase> {};

// Neighbours wait one voxel ahead on every axis; only the one on the
// dominant axis of the normal may be merged.
TEST_P(MergeAxis, MergesAlongTheDominantAxisWithTiesToTheLaterAxis) {
    const AxisCase& c = GetParam();
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    const int32_t ia = placeAt(*engine, 0.0f, 0.0f, 0.0f, c.normal, 1);
    int32_t neighbours[3];
    for (int axis = 0; axis < 3; ++axis) {
        float p[3] = {0.0f, 0.0f, 0.0f};
        p[axis] = 1.0f;
        neighbours[axis] = placeAt(*engine, p[0], p[1], p[2], c.normal, 3);
        ASSERT_GE(neighbours[axis], 0);
    }
    UpdateSink sink;
    ASSERT_EQ(engine->mergeLayers(engine->pointAt(ia), sink.data(), sink.count), 0);
    for (int axis = 0; axis < 3; ++axis) {
        const FusionPoint* n = engine->pointAt(neighbours[axis]);
        EXPECT_EQ(n->observation_count, axis == c.axis ? 4 : 3) << "axis " << axis;
        EXPECT_FLOAT_EQ(n->position[axis], axis == c.axis ? 0.75f : 1.0f);
    }
    EXPECT_EQ(engine->pointAt(ia)->observation_count, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Normals, MergeAxis,
    ::testing::Values(AxisCase{"Up", {0.0f, 0.0f, 1.0f}, 2},
                      AxisCase{"Down", {0.0f, 0.0f, -1.0f}, 2},
                      AxisCase{"MostlyX", {-0.8f, 0.5f, 0.3f}, 0},
                      AxisCase{"YBeatsZ", {0.6f, 0.6f, 0.5f}, 1},
                      AxisCase{"TieXYGoesToY", {0.5f, 0.5f, 0.1f}, 1},
                      AxisCase{"TieYZGoesToZ", {0.1f, 0.5f, 0.5f}, 2},
                      AxisCase{"TieXZGoesToZ", {0.5f, 0.1f, -0.5f}, 2}),
    [](const ::testing::TestParamInfo<AxisCase>& info) { return info.param.name; });

// ---- fusion cases -------------------------------------------------------------

struct FusionCase {
    const char* name;
    int count_b, count_c;      // 0: no record in that voxel
    float position_b, position_c;
    float fused;
    int survivor;  // 0 a, 1 b, 2 c
};

class MergeFusion : public ::testing::TestWithParam<FusionCase> {};

TEST_P(MergeFusion, WeightedMeanStaysInTheVoxelItFallsInto) {
    const FusionCase& c = GetParam();
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    int32_t index[3] = {-1, -1, -1};
    index[0] = placeAt(*engine, 0.1f, 0.2f, 0.0f, kPlusX, 2);
    if (c.count_b) index[1] = placeAt(*engine, c.position_b, 0.2f, 0.0f, kPlusX, c.count_b);
    if (c.count_c) index[2] = placeAt(*engine, c.position_c, 0.2f, 0.0f, kPlusX, c.count_c);
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
    std::vector<int32_t> removed;
    for (int i = 0; i < 3; ++i)
        if (index[i] >= 0 && i != c.survivor) {
            removed.push_back(ids[i]);
            EXPECT_EQ(engine->pointAt(index[i])->observation_count, 0);
        }
    const auto updates = sink.written();
    ASSERT_EQ(updates.size(), 1 + removed.size());
    EXPECT_EQ(updates[0].state, 1);
    EXPECT_EQ(updates[0].view_id, ids[c.survivor]);
    for (std::size_t k = 0; k < removed.size(); ++k) {
        EXPECT_EQ(updates[1 + k].state, 255);
        EXPECT_EQ(updates[1 + k].view_id, removed[k]);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MergeFusion,
    ::testing::Values(
        // a at 0.1 (2), b at 1.0 (1), c at -1.0 (1): mean 0.05, a survives.
        FusionCase{"AllThreeIntoA", 1, 1, 1.0f, -1.0f, 0.05f, 0},
        // b heavy: (6 * 1.2 + 2 * 0.1 - 1.0) / 9 = 0.7111, voxel of b.
        FusionCase{"AllThreeIntoB", 6, 1, 1.2f, -1.0f, 0.71111111f, 1},
        // c heavy: (1.0 + 0.2 - 8 * 1.2) / 11 = -0.7636, voxel of c.
        FusionCase{"AllThreeIntoC", 1, 8, 1.0f, -1.2f, -0.76363636f, 2},
        FusionCase{"ForwardOnlyIntoA", 1, 0, 1.0f, 0.0f, 0.4f, 0},
        FusionCase{"ForwardOnlyIntoB", 4, 0, 0.9f, 0.0f, 0.63333333f, 1},
        FusionCase{"BackwardOnlyIntoA", 0, 1, 0.0f, -0.9f, -0.23333333f, 0},
        FusionCase{"BackwardOnlyIntoC", 0, 3, 0.0f, -1.1f, -0.62f, 2}),
    [](const ::testing::TestParamInfo<FusionCase>& info) { return info.param.name; });

struct MisplacedCase {
    const char* name;
    bool forward, backward;
    const char* message;
};

class MergeMisplaced : public ::testing::TestWithParam<MisplacedCase> {};

// Neighbour records whose stored positions drifted off their voxels (y =
// 0.9 rounds to row 1) pull the mean into a voxel that is none of the
// candidates: nothing is forced, nothing changes.
TEST_P(MergeMisplaced, FusedPositionOutsideTheCandidatesChangesNothing) {
    const MisplacedCase& c = GetParam();
    for (const bool quiet : {false, true}) {
        auto engine = fusion_test::makeEngine(1.0f);
        ASSERT_TRUE(engine);
        std::vector<int32_t> indices;
        indices.push_back(placeAt(*engine, 0.0f, 0.4f, 0.0f, kPlusX, 1));
        const float drift[3] = {0.0f, 0.9f, 0.0f};
        if (c.forward) {
            const float at[3] = {1.0f, 0.0f, 0.0f};
            const float stored[3] = {1.0f, drift[1], 0.0f};
            indices.push_back(placeRecord(*engine, at, recordTemplate(stored, kPlusX, 4)));
        }
        if (c.backward) {
            const float at[3] = {-1.0f, 0.0f, 0.0f};
            const float stored[3] = {-1.0f, drift[1], 0.0f};
            indices.push_back(placeRecord(*engine, at, recordTemplate(stored, kPlusX, 4)));
        }
        std::vector<FusionPoint> before;
        for (int32_t i : indices) before.push_back(*engine->pointAt(i));

        UpdateSink sink;
        EXPECT_EQ(mergeIn(*engine, engine->pointAt(indices[0]), quiet, sink), 1);
        EXPECT_EQ(engine->m_error_message, c.message);
        for (std::size_t k = 0; k < indices.size(); ++k)
            EXPECT_TRUE(sameBytes(*engine->pointAt(indices[k]), before[k]));
        EXPECT_EQ(sink.count.load(), 0);
        EXPECT_EQ(engine->m_point_free.count.load(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MergeMisplaced,
    ::testing::Values(MisplacedCase{"Both", true, true, "fusion abc point position error!"},
                      MisplacedCase{"Forward", true, false, "fusion ab point position error!"},
                      MisplacedCase{"Backward", false, true, "fusion ac point position error!"}),
    [](const ::testing::TestParamInfo<MisplacedCase>& info) { return info.param.name; });

TEST(LayerMerging, SingleLayerReturnsOneWithoutMessageOrChange) {
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    const int32_t ia = placeAt(*engine, 0.0f, 0.0f, 0.0f, kPlusX, 2);
    // Neighbours that do not count: facing the other way, emptied, off-axis.
    const float minusX[3] = {-1.0f, 0.0f, 0.0f};
    placeAt(*engine, 1.0f, 0.0f, 0.0f, minusX, 5);
    const int32_t emptied = placeAt(*engine, -1.0f, 0.0f, 0.0f, kPlusX, 5);
    engine->pointAt(emptied)->observation_count = 0;
    placeAt(*engine, 0.0f, 1.0f, 0.0f, kPlusX, 5);
    const FusionPoint before = *engine->pointAt(ia);
    engine->m_error_message = "unchanged";

    UpdateSink sink;
    EXPECT_EQ(engine->mergeLayers(engine->pointAt(ia), sink.data(), sink.count), 1);
    EXPECT_EQ(engine->m_error_message, "unchanged");
    EXPECT_TRUE(sameBytes(*engine->pointAt(ia), before));
    EXPECT_EQ(sink.count.load(), 0);
}

TEST(LayerMerging, RejectsMissingEmptyAndUnfindableRecords) {
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    UpdateSink sink;
    for (const bool quiet : {false, true}) {
        engine->m_error_message.clear();
        EXPECT_EQ(mergeIn(*engine, nullptr, quiet, sink), 1);
        EXPECT_EQ(engine->m_error_message, "waiting for fusion data is empty!");

        FusionPoint empty = fusion::defaultFusionPoint();
        engine->m_error_message.clear();
        EXPECT_EQ(mergeIn(*engine, &empty, quiet, sink), 1);
        EXPECT_EQ(engine->m_error_message, "waiting for fusion data is empty!");

        // A record that is not in the volume at its own position.
        const float p[3] = {40.0f, 40.0f, 40.0f};
        FusionPoint stray = recordTemplate(p, kPlusX, 3);
        engine->m_error_message.clear();
        EXPECT_EQ(mergeIn(*engine, &stray, quiet, sink), 1);
        EXPECT_EQ(engine->m_error_message, "waiting for fusion data not found!");
    }
    EXPECT_EQ(sink.count.load(), 0);
}

// ---- protection ---------------------------------------------------------------

TEST(LayerMergingProtection, FrameFormRefusesAProtectedStart) {
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    const int32_t ia = placeAt(*engine, 0.45f, 0.0f, 0.0f, kPlusX, 1, 8, 1);
    const int32_t ib = placeAt(*engine, 0.65f, 0.0f, 0.0f, kPlusX, 3);
    const FusionPoint a = *engine->pointAt(ia), b = *engine->pointAt(ib);
    UpdateSink sink;
    EXPECT_EQ(engine->mergeLayers(engine->pointAt(ia), sink.data(), sink.count), 1);
    EXPECT_EQ(engine->m_error_message, "waiting for fusion data not found!");
    EXPECT_TRUE(sameBytes(*engine->pointAt(ia), a));
    EXPECT_TRUE(sameBytes(*engine->pointAt(ib), b));

    // The quiet form merges it like any other record.
    EXPECT_EQ(engine->mergeLayersQuiet(engine->pointAt(ia)), 0);
    EXPECT_EQ(engine->pointAt(ib)->observation_count, 4);
}

struct ProtectionCase {
    const char* name;
    bool quiet;
    bool protect_target;  // else the protected record is a non-target neighbour
};

class MergeProtection : public ::testing::TestWithParam<ProtectionCase> {};

// a at x = 0 (2), b at 1.0 (6, target), c at -1.0 (1); either b or c protected.
TEST_P(MergeProtection, FrameFormNeverChangesProtectedRecordsQuietFormDoes) {
    const ProtectionCase& c = GetParam();
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    // Off the origin: a record exactly at the origin is never reported.
    const int32_t ia = placeAt(*engine, 0.0f, 0.2f, 0.0f, kPlusX, 2);
    const int32_t ib = placeAt(*engine, 1.0f, 0.2f, 0.0f, kPlusX, 6, 8, c.protect_target ? 1 : 0);
    const int32_t ic = placeAt(*engine, -1.0f, 0.2f, 0.0f, kPlusX, 1, 8, c.protect_target ? 0 : 1);
    const FusionPoint b_before = *engine->pointAt(ib), c_before = *engine->pointAt(ic);
    const int32_t id_b = b_before.view_id, id_c = c_before.view_id;

    UpdateSink sink;
    EXPECT_EQ(mergeIn(*engine, engine->pointAt(ia), c.quiet, sink), 0);
    const FusionPoint* b = engine->pointAt(ib);
    const FusionPoint* cc = engine->pointAt(ic);
    // The unprotected start is absorbed in every case.
    EXPECT_EQ(engine->pointAt(ia)->observation_count, 0);

    if (c.quiet) {
        EXPECT_EQ(b->observation_count, 9);
        EXPECT_FLOAT_EQ(b->position[0], (6.0f * 1.0f + 0.0f - 1.0f) / 9.0f);
        EXPECT_EQ(b->view_id, id_b);  // the survivor keeps its id
        EXPECT_EQ(cc->observation_count, 0);
        EXPECT_EQ(sink.count.load(), 0);
        EXPECT_EQ(freeEntries(engine->m_view_id_free).count(id_c), 1u);
    } else if (c.protect_target) {
        EXPECT_TRUE(sameBytes(*b, b_before));
        EXPECT_EQ(cc->observation_count, 0);
        // Only removals: a and c.
        const auto updates = sink.written();
        ASSERT_EQ(updates.size(), 2u);
        EXPECT_EQ(updates[0].state, 255);
        EXPECT_EQ(updates[1].state, 255);
        EXPECT_EQ(updates[1].view_id, id_c);
    } else {
        EXPECT_EQ(b->observation_count, 9);
        EXPECT_TRUE(sameBytes(*cc, c_before));
        const auto updates = sink.written();
        ASSERT_EQ(updates.size(), 2u);
        EXPECT_EQ(updates[0].state, 1);
        EXPECT_EQ(updates[0].view_id, id_b);
        EXPECT_EQ(updates[1].state, 255);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, MergeProtection,
    ::testing::Values(ProtectionCase{"FrameProtectedTarget", false, true},
                      ProtectionCase{"FrameProtectedNeighbour", false, false},
                      ProtectionCase{"QuietProtectedTarget", true, true},
                      ProtectionCase{"QuietProtectedNeighbour", true, false}),
    [](const ::testing::TestParamInfo<ProtectionCase>& info) { return info.param.name; });

// ---- absorbed records ---------------------------------------------------------

class MergeAbsorption : public ::testing::TestWithParam<bool> {};

TEST_P(MergeAbsorption, FineLevelsKeepTheirSideOrdinaryOnesAreRemoved) {
    const bool quiet = GetParam();
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    // a fine (level 32) at 0.2, c ordinary at -0.8, b heavy at 0.9: b survives.
    const int32_t ia = placeAt(*engine, 0.2f, 0.0f, 0.0f, kPlusX, 1, 32);
    const int32_t ib = placeAt(*engine, 0.9f, 0.0f, 0.0f, kPlusX, 10);
    const int32_t ic = placeAt(*engine, -0.8f, 0.0f, 0.0f, kPlusX, 1);
    const int32_t id_a = engine->pointAt(ia)->view_id;
    const int32_t id_c = engine->pointAt(ic)->view_id;

    UpdateSink sink;
    ASSERT_EQ(mergeIn(*engine, engine->pointAt(ia), quiet, sink), 0);

    // The fused level is the first fine one among a, b, c.
    EXPECT_EQ(engine->pointAt(ib)->scan_level, 32);
    EXPECT_EQ(engine->pointAt(ib)->observation_count, 12);

    const FusionPoint* a = engine->pointAt(ia);
    EXPECT_EQ(a->observation_count, 0);
    EXPECT_EQ(a->view_id, -1);
    EXPECT_EQ(a->absorbed_flag, 1);
    EXPECT_EQ(a->scan_level, 32);
    EXPECT_FLOAT_EQ(a->position[0], 0.2f);
    EXPECT_EQ(a->normal[0], 1.0f);
    FusionPoint* found = nullptr;
    fusion::Voxel* voxel = nullptr;
    int32_t index = -1;
    ASSERT_EQ(engine->lookupPoint({0, 0, 0}, kPlusX, found, voxel, index), 0);
    EXPECT_EQ(index, ia);

    EXPECT_TRUE(sameBytes(*engine->pointAt(ic), fusion::defaultFusionPoint()));
    EXPECT_EQ(engine->lookupPoint({-1, 0, 0}, kPlusX, found, voxel, index), 1);
    // Only the ordinary record's index is recycled; both ids are.
    EXPECT_EQ(freeEntries(engine->m_point_free), std::set<int32_t>{ic});
    EXPECT_EQ(freeEntries(engine->m_view_id_free), (std::set<int32_t>{id_a, id_c}));

    if (quiet) {
        EXPECT_EQ(sink.count.load(), 0);
    } else {
        const auto updates = sink.written();
        ASSERT_EQ(updates.size(), 3u);
        EXPECT_EQ(updates[0].state, 1);
        EXPECT_EQ(updates[0].scan_level, 32);
        EXPECT_EQ(updates[1].view_id, id_a);
        EXPECT_EQ(updates[1].state, 255);
        EXPECT_EQ(updates[2].view_id, id_c);
        EXPECT_EQ(updates[2].state, 255);
    }
}

INSTANTIATE_TEST_SUITE_P(Forms, MergeAbsorption, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Quiet" : "Frame");
                         });

TEST(LayerMerging, RecordsWithoutHostIdsProduceNoUpdates) {
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    const int32_t ia = placeAt(*engine, 0.45f, 0.0f, 0.0f, kPlusX, 1, 8, 0, false);
    const int32_t ib = placeAt(*engine, 0.65f, 0.0f, 0.0f, kPlusX, 3, 8, 0, false);
    const int32_t next_id = engine->m_view_id_next.load();
    UpdateSink sink;
    ASSERT_EQ(engine->mergeLayers(engine->pointAt(ia), sink.data(), sink.count), 0);
    EXPECT_EQ(engine->pointAt(ib)->observation_count, 4);
    EXPECT_EQ(engine->pointAt(ib)->view_id, -1);
    EXPECT_EQ(sink.count.load(), 0);
    EXPECT_EQ(engine->m_view_id_next.load(), next_id);
    EXPECT_EQ(engine->m_view_id_free.count.load(), 0);
}

// ---- many merges ---------------------------------------------------------------

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

TEST(LayerMergingSweep, SequentialMergesConserveWeightAndLeaveOneLayer) {
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    buildDoubleLayer(*engine, 24, 11);
    const int32_t records = engine->readablePointCount();
    long weight_before = 0;
    for (int32_t i = 0; i < records; ++i) weight_before += engine->pointAt(i)->observation_count;

    UpdateSink sink(3 * records);
    for (int32_t i = 0; i < records; ++i) {
        FusionPoint* p = engine->pointAt(i);
        if (p->observation_count != 0) engine->mergeLayers(p, sink.data(), sink.count);
    }

    long weight_after = 0;
    int live = 0;
    std::set<std::pair<int, int>> columns;
    for (int32_t i = 0; i < records; ++i) {
        const FusionPoint* p = engine->pointAt(i);
        if (p->observation_count == 0) continue;
        weight_after += p->observation_count;
        ++live;
        const fusion::Int3 v = fusion::voxelOf(p->position, 1.0f);
        // Each column (x, y) keeps one record: the layers were fused.
        EXPECT_TRUE(columns.insert({v.x, v.y}).second) << v.x << "," << v.y;
    }
    EXPECT_EQ(weight_after, weight_before);
    EXPECT_EQ(live, 24 * 24);
    EXPECT_EQ(engine->m_point_free.count.load(), records - live);
}

// Merges of neighbouring records race on shared voxels. Whatever the
// interleaving, a record is emptied at most once, no index is recycled twice,
// and a live record is always reachable from its voxel.
TEST(LayerMergingSweep, ConcurrentMergesKeepTheVolumeConsistent) {
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    buildDoubleLayer(*engine, 40, 5);
    const int32_t records = engine->readablePointCount();
    UpdateSink sink(3 * records);

    std::vector<FusionPoint*> starts;
    for (int32_t i = 0; i < records; ++i) starts.push_back(engine->pointAt(i));
    std::vector<std::thread> threads;
    std::atomic<int32_t> next{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int32_t i = next++; i < records; i = next++)
                engine->mergeLayers(starts[i], sink.data(), sink.count);
        });
    for (auto& thread : threads) thread.join();

    const std::set<int32_t> recycled = freeEntries(engine->m_point_free);
    EXPECT_EQ(static_cast<int32_t>(recycled.size()), engine->m_point_free.count.load());
    const std::set<int32_t> ids = freeEntries(engine->m_view_id_free);
    EXPECT_EQ(static_cast<int32_t>(ids.size()), engine->m_view_id_free.count.load());

    std::set<int32_t> live_ids;
    std::set<std::pair<int, int>> columns;
    for (int32_t i = 0; i < records; ++i) {
        const FusionPoint* p = engine->pointAt(i);
        if (p->observation_count == 0) {
            EXPECT_EQ(p->view_id, -1);
            continue;
        }
        EXPECT_EQ(recycled.count(i), 0u) << "live record " << i << " was recycled";
        EXPECT_TRUE(live_ids.insert(p->view_id).second);
        EXPECT_EQ(ids.count(p->view_id), 0u);
        FusionPoint* found = nullptr;
        fusion::Voxel* voxel = nullptr;
        int32_t index = -1;
        ASSERT_EQ(engine->lookupPoint(fusion::voxelOf(p->position, 1.0f), p->normal, found, voxel,
                                      index),
                  0);
        EXPECT_EQ(index, i);
        // Each merge absorbs every other record it fused, so two layers of
        // one column never both survive (a race may empty both instead).
        const fusion::Int3 v = fusion::voxelOf(p->position, 1.0f);
        EXPECT_TRUE(columns.insert({v.x, v.y}).second) << v.x << "," << v.y;
    }
    EXPECT_GT(columns.size(), 40u * 40u / 2);
}

}  // namespace
