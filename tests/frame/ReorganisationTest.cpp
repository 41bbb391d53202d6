// The reorganisation pass: which records it visits, where and in which order
// it lays markers, what the markers carry, re-estimation and re-merging of
// protected records, and a second pass over the first one's markers.

#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <map>
#include <vector>

#include "engine/HashTable.h"
#include "support/EngineFixture.h"
#include "support/LayerHelpers.h"

namespace {

using fusion::FusionPoint;
using fusion::HashTable;
using fusion::Int3;
using fusion_test::placeAt;
using fusion_test::placeRecord;
using fusion_test::recordTemplate;
using fusion_test::sameBytes;

// Every record created at or after `first`, in index order.
std::vector<FusionPoint> recordsFrom(const HashTable& engine, int32_t first) {
    std::vector<FusionPoint> out;
    for (int32_t i = first; i < engine.readablePointCount(); ++i) out.push_back(*engine.pointAt(i));
    return out;
}

void expectMarkerOf(const FusionPoint& marker, const float normal[3], uint8_t level,
                    uint8_t protected_flag) {
    for (int k = 0; k < 3; ++k) EXPECT_EQ(marker.normal[k], normal[k]);
    EXPECT_EQ(marker.scan_level, level);
    EXPECT_EQ(marker.protected_flag, protected_flag);
    EXPECT_EQ(marker.observation_count, 0);
    EXPECT_EQ(marker.absorbed_flag, 1);
    EXPECT_EQ(marker.sub_voxel_mask, 0u);
    EXPECT_EQ(marker.quality_code, 0);
    EXPECT_EQ(marker.view_id, -1);
    EXPECT_EQ(marker.frame_stamp, -1);
    EXPECT_EQ(marker.confirmed_flag, 0);
    EXPECT_EQ(marker.normal_update_count, 0);
}

TEST(Reorganisation, FineLevelPointGetsMarkersInOrderAlongItsAxis) {
    auto engine = fusion_test::makeEngine(0.5f);
    ASSERT_TRUE(engine);
    const float normal[3] = {0.2f, -0.9f, 0.1f};
    const int32_t index = placeAt(*engine, 5.0f, 10.0f, 15.0f, normal, 3, 32);
    ASSERT_EQ(index, 0);
    const FusionPoint before = *engine->pointAt(index);

    EXPECT_EQ(engine->dataOrganize(), 0);
    EXPECT_TRUE(sameBytes(*engine->pointAt(index), before));

    // One selected point, one thread: markers are created in placement order.
    const auto markers = recordsFrom(*engine, 1);
    ASSERT_EQ(markers.size(), 4u);
    const float expected_y[4] = {9.0f, 9.5f, 10.5f, 11.0f};
    for (int m = 0; m < 4; ++m) {
        EXPECT_EQ(markers[m].position[0], 5.0f);
        EXPECT_EQ(markers[m].position[1], expected_y[m]);
        EXPECT_EQ(markers[m].position[2], 15.0f);
        expectMarkerOf(markers[m], normal, 32, 0);
        FusionPoint* found = nullptr;
        fusion::Voxel* voxel = nullptr;
        int32_t at = -1;
        const Int3 c{10, m < 2 ? 18 + m : 19 + m, 30};
        ASSERT_EQ(engine->lookupPoint(c, normal, found, voxel, at), 0);
        EXPECT_EQ(at, 1 + m);
    }
}

TEST(Reorganisation, SecondPassVisitsTheFirstPassMarkers) {
    auto engine = fusion_test::makeEngine(0.5f);
    ASSERT_TRUE(engine);
    const float normal[3] = {0.2f, -0.9f, 0.1f};
    placeAt(*engine, 5.0f, 10.0f, 15.0f, normal, 3, 32);
    engine->dataOrganize();
    ASSERT_EQ(engine->readablePointCount(), 5);
    const auto first = recordsFrom(*engine, 0);

    engine->dataOrganize();
    // The markers at y = 18 and 22 reach two voxels further out; every other
    // voxel they reach already holds a marker, which keeps its values.
    const auto all = recordsFrom(*engine, 0);
    for (std::size_t i = 0; i < first.size(); ++i) EXPECT_TRUE(sameBytes(all[i], first[i]));
    std::vector<int> rows;
    for (std::size_t i = first.size(); i < all.size(); ++i) {
        expectMarkerOf(all[i], normal, 32, 0);
        rows.push_back(fusion::voxelOf(all[i].position, 0.5f).y);
    }
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, (std::vector<int>{16, 17, 23, 24}));

    // The bound is read once: markers made by a pass are not visited by it,
    // so each pass reaches exactly two voxels further.
    engine->dataOrganize();
    EXPECT_EQ(engine->readablePointCount(), 13);
}

struct SpanCase {
    float resolution;
    int span;
};

class ReorganisationSpan : public ::testing::TestWithParam<SpanCase> {};

TEST_P(ReorganisationSpan, MarkersReachFartherAtFinerResolutions) {
    const SpanCase& c = GetParam();
    auto engine = fusion_test::makeEngine(c.resolution);
    ASSERT_TRUE(engine);
    const float normal[3] = {0.0f, 0.0f, -1.0f};
    const float r = c.resolution;
    placeAt(*engine, 3 * r, 4 * r, 5 * r, normal, 1, 16);
    engine->dataOrganize();
    const auto markers = recordsFrom(*engine, 1);
    ASSERT_EQ(markers.size(), static_cast<std::size_t>(2 * c.span));
    std::vector<int> offsets;
    for (const auto& m : markers) {
        const Int3 v = fusion::voxelOf(m.position, r);
        EXPECT_EQ(v.x, 3);
        EXPECT_EQ(v.y, 4);
        offsets.push_back(v.z - 5);
    }
    std::vector<int> expected;
    for (int t = -c.span; t <= c.span; ++t)
        if (t != 0) expected.push_back(t);
    EXPECT_EQ(offsets, expected);
}

INSTANTIATE_TEST_SUITE_P(Resolutions, ReorganisationSpan,
                         ::testing::Values(SpanCase{0.05f, 3}, SpanCase{0.2f, 2},
                                           SpanCase{0.5f, 2}, SpanCase{1.0f, 1},
                                           SpanCase{2.0f, 1}));

struct AxisCase {
    float normal[3];
    int axis;
};

class ReorganisationAxis : public ::testing::TestWithParam<AxisCase> {};

TEST_P(ReorganisationAxis, MarkersFollowTheDominantAxisWithTiesToTheLaterOne) {
    const AxisCase& c = GetParam();
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    placeAt(*engine, 7.0f, 8.0f, 9.0f, c.normal, 1, 64);
    engine->dataOrganize();
    const auto markers = recordsFrom(*engine, 1);
    ASSERT_EQ(markers.size(), 2u);
    const Int3 origin{7, 8, 9};
    for (std::size_t m = 0; m < 2; ++m) {
        const Int3 v = fusion::voxelOf(markers[m].position, 1.0f);
        for (int axis = 0; axis < 3; ++axis)
            EXPECT_EQ(v[axis], origin[axis] + (axis == c.axis ? (m == 0 ? -1 : 1) : 0));
    }
}

INSTANTIATE_TEST_SUITE_P(Normals, ReorganisationAxis,
                         ::testing::Values(AxisCase{{0.9f, 0.1f, 0.1f}, 0},
                                           AxisCase{{0.5f, 0.5f, 0.1f}, 1},
                                           AxisCase{{0.1f, -0.5f, 0.5f}, 2},
                                           AxisCase{{-0.2f, 0.3f, -0.9f}, 2}));

TEST(Reorganisation, OrdinaryUnprotectedRecordsAreLeftAlone) {
    auto engine = fusion_test::makeEngine(0.5f);
    ASSERT_TRUE(engine);
    const float up[3] = {0.0f, 0.0f, 1.0f};
    for (int i = 0; i < 20; ++i) placeAt(*engine, 0.5f * i, 0.0f, 0.0f, up, 2);
    const auto before = recordsFrom(*engine, 0);
    EXPECT_EQ(engine->dataOrganize(), 0);
    const auto after = recordsFrom(*engine, 0);
    ASSERT_EQ(after.size(), before.size());
    for (std::size_t i = 0; i < before.size(); ++i) EXPECT_TRUE(sameBytes(after[i], before[i]));
}

TEST(Reorganisation, NothingToVisitBeforeInitOrAfterReset) {
    HashTable idle;
    EXPECT_EQ(idle.dataOrganize(), 0);

    auto engine = fusion_test::makeEngine(0.5f);
    ASSERT_TRUE(engine);
    const float up[3] = {0.0f, 0.0f, 1.0f};
    placeAt(*engine, 0.0f, 0.0f, 0.0f, up, 1, 16);
    engine->reset();
    EXPECT_EQ(engine->dataOrganize(), 0);
    EXPECT_EQ(engine->m_point_next.load(), 0);
}

TEST(Reorganisation, MarkersPassProtectionAndNonPowerLevelsBecomeOrdinary) {
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    const float up[3] = {0.0f, 0.0f, 1.0f};
    // Level 24 counts as fine for selection but is no level a marker carries.
    placeAt(*engine, 0.0f, 0.0f, 0.0f, up, 1, 24);
    placeAt(*engine, 10.0f, 0.0f, 0.0f, up, 1, 8, 1);
    engine->dataOrganize();
    std::map<int, FusionPoint> by_x;
    for (const auto& m : recordsFrom(*engine, 2)) by_x[fusion::voxelOf(m.position, 1.0f).x] = m;
    ASSERT_EQ(by_x.size(), 2u);
    // Markers from the same point share a column, so look at one per point.
    expectMarkerOf(by_x[0], up, 8, 0);
    expectMarkerOf(by_x[10], up, 8, 1);
    EXPECT_EQ(recordsFrom(*engine, 2).size(), 4u);
}

// A protected record whose estimate is adopted is merged with the layer
// next to it; the marker then starts from the merged record.
TEST(Reorganisation, ProtectedRecordIsReestimatedAndMergedAgain) {
    auto engine = fusion_test::makeEngine(0.5f);
    ASSERT_TRUE(engine);
    const float tilted[3] = {0.0f, 0.3f, 0.9f};
    int32_t centre = -1;
    for (int j = -2; j <= 2; ++j)
        for (int i = -2; i <= 2; ++i) {
            const int32_t index = placeAt(*engine, 0.5f * i, 0.5f * j, 0.0f, tilted, 1, 8,
                                          (i == 0 && j == 0) ? 1 : 0);
            if (i == 0 && j == 0) centre = index;
        }
    // A second layer right above the centre, heavier, unprotected.
    const int32_t above = placeAt(*engine, 0.0f, 0.0f, 0.45f, tilted, 3);
    const int32_t id_centre = engine->pointAt(centre)->view_id;

    engine->dataOrganize();

    // Re-estimated to the plane's normal, kept on the same side.
    const FusionPoint* survivor = engine->pointAt(above);
    EXPECT_NEAR(survivor->normal[2], 0.9f, 1e-6f);  // the survivor keeps its own normal
    EXPECT_EQ(survivor->observation_count, 4);
    EXPECT_FLOAT_EQ(survivor->position[2], 3 * 0.45f / 4);
    // The protected start was ordinary: cleared, its id recycled silently.
    EXPECT_EQ(engine->pointAt(centre)->observation_count, 0);
    EXPECT_EQ(engine->m_view_id_free.count.load(), 1);
    EXPECT_EQ(engine->m_view_id_free.values[0], id_centre);
    // Nothing is left selected, so no markers were laid.
    EXPECT_EQ(engine->readablePointCount(), 26);
}

TEST(Reorganisation, ProtectedRecordWithTooFewNeighboursKeepsItsNormalButIsMarked) {
    auto engine = fusion_test::makeEngine(0.5f);
    ASSERT_TRUE(engine);
    const float tilted[3] = {0.0f, 0.3f, 0.9f};
    // Eleven facing records around it, itself included: one short of the
    // minimum.
    const int32_t centre = placeAt(*engine, 0.0f, 0.0f, 0.0f, tilted, 1, 8, 1);
    const int cells[9][2] = {{-1, -1}, {0, -1}, {1, -1}, {-1, 0}, {1, 0},
                             {-1, 1},  {0, 1},  {1, 1},  {2, 2}};
    for (const auto& cell : cells) placeAt(*engine, 0.5f * cell[0], 0.5f * cell[1], 0.0f, tilted, 1);
    placeAt(*engine, 0.0f, 0.0f, 0.5f, tilted, 5);  // a layer it would merge with
    const FusionPoint before = *engine->pointAt(centre);
    const int32_t first_marker = engine->readablePointCount();

    engine->dataOrganize();
    EXPECT_TRUE(sameBytes(*engine->pointAt(centre), before));
    const auto markers = recordsFrom(*engine, first_marker);
    // z + 1 holds the unmarked layer (not absorbed, left as it is): three new.
    ASSERT_EQ(markers.size(), 3u);
    for (const auto& m : markers) expectMarkerOf(m, tilted, 8, 1);
}

}  // namespace
