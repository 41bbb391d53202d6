// The reorganisation pass: which records it visits, where and in which order
// it lays markers, what they carry, re-estimation and re-merging of protected
// records, and a second pass over the first one's markers.

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "engine/HashTable.h"
#include "support/EngineFixture.h"
#include "support/LayerHelpers.h"

namespace {

using fusion::FusionPoint;
using fusion::HashTable;
using fusion_test::placeAt;
using fusion_test::sameBytes;

std::vector<FusionPoint> recordsFrom(const HashTable& engine, int32_t first) {
    std::vector<FusionPoint> out;
    for (int32_t i = first; i < engine.readablePointCount(); ++i) out.push_back(*engine.pointAt(i));
    return out;
}

void expectMarker(const FusionPoint& m, const float normal[3], uint8_t level, uint8_t protect) {
    FusionPoint expected = fusion::defaultFusionPoint();
    std::copy(m.position, m.position + 3, expected.position);  // checked by the callers
    std::copy(normal, normal + 3, expected.normal);
    expected.scan_level = level;
    expected.protected_flag = protect;
    expected.absorbed_flag = 1;
    EXPECT_TRUE(sameBytes(m, expected));
}

TEST(Reorganisation, FineLevelPointGetsMarkersInOrderAlongItsAxis) {
    auto engine = fusion_test::makeEngine(0.5f);
    ASSERT_TRUE(engine);
    const float normal[3] = {0.2f, -0.9f, 0.1f};
    ASSERT_EQ(placeAt(*engine, 5.0f, 10.0f, 15.0f, normal, 3, 32), 0);  // voxel (10, 20, 30)
    const FusionPoint before = *engine->pointAt(0);
    EXPECT_EQ(engine->dataOrganize(), 0);
    EXPECT_TRUE(sameBytes(*engine->pointAt(0), before));

    // One selected point: markers are created in placement order, at the
    // centres of voxels y = 18, 19, 21, 22.
    const auto markers = recordsFrom(*engine, 1);
    ASSERT_EQ(markers.size(), 4u);
    const float expected_y[4] = {9.0f, 9.5f, 10.5f, 11.0f};
    for (int m = 0; m < 4; ++m) {
        EXPECT_EQ(markers[m].position[0], 5.0f);
        EXPECT_EQ(markers[m].position[1], expected_y[m]);
        EXPECT_EQ(markers[m].position[2], 15.0f);
        expectMarker(markers[m], normal, 32, 0);
    }

    // A second pass visits those markers (their level selects them): the
    // outer ones reach two voxels further; voxels that already hold a marker
    // keep it as it is. A third pass again reaches exactly two further out,
    // because each pass reads its bound once.
    engine->dataOrganize();
    const auto all = recordsFrom(*engine, 0);
    ASSERT_EQ(all.size(), 9u);
    for (int i = 1; i < 5; ++i) {
        EXPECT_TRUE(sameBytes(all[i], markers[i - 1]));
    }
    std::vector<int> rows;
    for (int i = 5; i < 9; ++i) {
        expectMarker(all[i], normal, 32, 0);
        rows.push_back(fusion::voxelOf(all[i].position, 0.5f).y);
    }
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, (std::vector<int>{16, 17, 23, 24}));
    engine->dataOrganize();
    EXPECT_EQ(engine->readablePointCount(), 13);
}

struct SpanCase {
    float resolution;
    float normal[3];
    int axis;
    int span;
};

class ReorganisationSpan : public ::testing::TestWithParam<SpanCase> {};

TEST_P(ReorganisationSpan, MarkersReachFartherAtFinerResolutionsAlongTheDominantAxis) {
    const SpanCase& c = GetParam();
    auto engine = fusion_test::makeEngine(c.resolution);
    ASSERT_TRUE(engine);
    const float r = c.resolution;
    placeAt(*engine, 3 * r, 4 * r, 5 * r, c.normal, 1, 16);
    engine->dataOrganize();
    std::vector<int> offsets;
    for (const auto& m : recordsFrom(*engine, 1)) {
        const fusion::Int3 v = fusion::voxelOf(m.position, r);
        const fusion::Int3 origin{3, 4, 5};
        for (int axis = 0; axis < 3; ++axis)
            if (axis != c.axis) {
                EXPECT_EQ(v[axis], origin[axis]);
            }
        offsets.push_back(v[c.axis] - origin[c.axis]);
    }
    std::vector<int> expected;
    for (int t = -c.span; t <= c.span; ++t)
        if (t != 0) expected.push_back(t);
    EXPECT_EQ(offsets, expected);
}

INSTANTIATE_TEST_SUITE_P(Resolutions, ReorganisationSpan,
                         ::testing::Values(SpanCase{0.05f, {0.0f, 0.0f, -1.0f}, 2, 3},
                                           SpanCase{0.2f, {0.9f, 0.1f, 0.1f}, 0, 2},
                                           SpanCase{0.5f, {0.5f, 0.5f, 0.1f}, 1, 2},
                                           SpanCase{1.0f, {0.1f, -0.5f, 0.5f}, 2, 1},
                                           SpanCase{2.0f, {-0.2f, 0.3f, -0.9f}, 2, 1}));

TEST(Reorganisation, LeavesOrdinaryRecordsAndEmptyEnginesAlone) {
    HashTable idle;  // never initialised
    EXPECT_EQ(idle.dataOrganize(), 0);

    auto engine = fusion_test::makeEngine(0.5f);
    ASSERT_TRUE(engine);
    const float up[3] = {0.0f, 0.0f, 1.0f};
    for (int i = 0; i < 20; ++i) placeAt(*engine, 0.5f * i, 0.0f, 0.0f, up, 2);
    const auto before = recordsFrom(*engine, 0);
    EXPECT_EQ(engine->dataOrganize(), 0);
    const auto after = recordsFrom(*engine, 0);
    ASSERT_EQ(after.size(), before.size());
    for (std::size_t i = 0; i < before.size(); ++i) {
        EXPECT_TRUE(sameBytes(after[i], before[i]));
    }
}

TEST(Reorganisation, MarkersCarryProtectionAndOnlyPowerOfTwoLevels) {
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    const float up[3] = {0.0f, 0.0f, 1.0f};
    placeAt(*engine, 0.0f, 0.0f, 0.0f, up, 1, 24);    // selected (fine bits) but no level
    placeAt(*engine, 10.0f, 0.0f, 0.0f, up, 1, 8, 1);  // protected, too few neighbours
    engine->dataOrganize();
    const auto markers = recordsFrom(*engine, 2);
    ASSERT_EQ(markers.size(), 4u);
    for (const auto& m : markers) expectMarker(m, up, 8, m.position[0] > 5.0f ? 1 : 0);
}

// A protected record with a clear plane around it gets the plane's normal
// and is merged (quietly) into the heavier layer above it.
TEST(Reorganisation, ProtectedRecordIsReestimatedAndMergedAgain) {
    auto engine = fusion_test::makeEngine(0.5f);
    ASSERT_TRUE(engine);
    const float tilted[3] = {0.0f, 0.3f, 0.9f};
    int32_t centre = -1;
    for (int j = -2; j <= 2; ++j)
        for (int i = -2; i <= 2; ++i) {
            const bool middle = i == 0 && j == 0;
            const int32_t index = placeAt(*engine, 0.5f * i, 0.5f * j, 0.0f, tilted, 1, 8, middle);
            if (middle) centre = index;
        }
    const int32_t above = placeAt(*engine, 0.0f, 0.0f, 0.45f, tilted, 3);
    const int32_t id_centre = engine->pointAt(centre)->view_id;

    engine->dataOrganize();
    const FusionPoint* survivor = engine->pointAt(above);
    EXPECT_EQ(survivor->observation_count, 4);
    EXPECT_FLOAT_EQ(survivor->position[2], 3 * 0.45f / 4);
    EXPECT_EQ(survivor->normal[2], 0.9f);  // the survivor keeps its own normal
    // The protected start was ordinary: cleared, its id recycled without an
    // update, and nothing left to mark.
    EXPECT_EQ(engine->pointAt(centre)->observation_count, 0);
    ASSERT_EQ(engine->m_view_id_free.count.load(), 1);
    EXPECT_EQ(engine->m_view_id_free.values[0], id_centre);
    EXPECT_EQ(engine->readablePointCount(), 26);
}

TEST(Reorganisation, ProtectedRecordWithTooFewNeighboursKeepsItsNormalButIsMarked) {
    auto engine = fusion_test::makeEngine(0.5f);
    ASSERT_TRUE(engine);
    const float tilted[3] = {0.0f, 0.3f, 0.9f};
    // Eleven facing records around it, itself and the layer above included.
    const int32_t centre = placeAt(*engine, 0.0f, 0.0f, 0.0f, tilted, 1, 8, 1);
    const int cells[9][2] = {{-1, -1}, {0, -1}, {1, -1}, {-1, 0}, {1, 0},
                             {-1, 1},  {0, 1},  {1, 1},  {2, 2}};
    for (const auto& cell : cells) placeAt(*engine, 0.5f * cell[0], 0.5f * cell[1], 0.0f, tilted);
    placeAt(*engine, 0.0f, 0.0f, 0.5f, tilted, 5);
    const FusionPoint before = *engine->pointAt(centre);
    const int32_t first_marker = engine->readablePointCount();

    engine->dataOrganize();
    EXPECT_TRUE(sameBytes(*engine->pointAt(centre), before));
    // z + 1 holds the unabsorbed layer, which a marker leaves alone.
    const auto markers = recordsFrom(*engine, first_marker);
    ASSERT_EQ(markers.size(), 3u);
    for (const auto& m : markers) expectMarker(m, tilted, 8, 1);
}

}  // namespace
