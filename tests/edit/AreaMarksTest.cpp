// Fine-scan and protected areas: the level and protection written on the
// selected points, and the placeholders laid along each selected normal.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <set>
#include <tuple>
#include <vector>

#include "engine/HashTable.h"
#include "support/EditHelpers.h"
#include "support/EngineFixture.h"

namespace {

using fusion::FusionPoint;
using fusion::HashTable;
using fusion::Int3;
using fusion::PointData;
using namespace fusion_test;

// One built point at voxel (3, -2, 5) with the given normal; returns its
// selection (the point as extraction hands it to the host).
PointData buildOne(HashTable& engine, const float normal[3]) {
    const float r = engine.m_resolution;
    const float p[3] = {3 * r, -2 * r, 5 * r};
    const PointData d = pointData(p, normal);
    EXPECT_EQ(engine.buildByExistingPoints(&d, 1), 0);
    const auto live = extractVertices(engine);
    EXPECT_EQ(live.size(), 1u);
    return live.empty() ? d : selectionOf(live[0]);
}

FusionPoint onlyLive(const HashTable& engine) {
    const auto live = liveRecords(engine);
    EXPECT_EQ(live.size(), 1u);
    return live.empty() ? fusion::defaultFusionPoint() : live[0];
}

// ---- requested level ------------------------------------------------------------

struct LevelCase {
    int32_t attributes;
    uint8_t level;
};

class RequestedLevel : public ::testing::TestWithParam<LevelCase> {};

TEST_P(RequestedLevel, IsAPowerOfTwoOrOrdinary) {
    auto engine = makeEngine(0.5f);
    ASSERT_NE(engine, nullptr);
    const float up[3] = {0, 0, 1};
    PointData selected = buildOne(*engine, up);
    selected.attributes = GetParam().attributes;
    ASSERT_EQ(engine->setFineScanArea(&selected, 1), 0);
    EXPECT_EQ(onlyLive(*engine).scan_level, GetParam().level);
    const auto marks = markRecords(*engine);
    ASSERT_EQ(marks.size(), 4u);
    for (const FusionPoint& m : marks) EXPECT_EQ(m.scan_level, GetParam().level);
}

INSTANTIATE_TEST_SUITE_P(
    AreaMarks, RequestedLevel,
    ::testing::Values(LevelCase{0, 8}, LevelCase{3, 8}, LevelCase{12, 8}, LevelCase{100, 8},
                      LevelCase{255, 8}, LevelCase{1, 1}, LevelCase{2, 2}, LevelCase{4, 4},
                      LevelCase{16, 16}, LevelCase{32, 32}, LevelCase{64, 64},
                      LevelCase{128, 128}, LevelCase{0x7FFF0010, 16}));

// ---- placeholders ------------------------------------------------------------------

struct ReachCase {
    float resolution;
    int reach;
};

class PlaceholderLine
    : public ::testing::TestWithParam<std::tuple<ReachCase, std::tuple<int, float, float, float>>> {
};

// Marks are laid at offsets -reach .. reach (not 0) along the dominant axis
// of the selected normal, at voxel centres, and nowhere else; no update
// record reaches the host.
TEST_P(PlaceholderLine, FollowsTheDominantAxis) {
    const ReachCase reach = std::get<0>(GetParam());
    const auto axis_normal = std::get<1>(GetParam());
    const int axis = std::get<0>(axis_normal);
    const float normal[3] = {std::get<1>(axis_normal), std::get<2>(axis_normal),
                             std::get<3>(axis_normal)};
    auto engine = makeEngine(reach.resolution);
    ASSERT_NE(engine, nullptr);
    PointData selected = buildOne(*engine, normal);
    selected.attributes = 16;
    const Int3 c = fusion::voxelOf(selected.position, reach.resolution);
    ASSERT_EQ(engine->setFineScanArea(&selected, 1), 0);

    std::set<int> offsets;
    for (const FusionPoint& m : markRecords(*engine)) {
        const Int3 v = fusion::voxelOf(m.position, reach.resolution);
        for (int k = 0; k < 3; ++k) {
            EXPECT_EQ(m.position[k], static_cast<float>(v[k]) * reach.resolution);
            if (k != axis) {
                EXPECT_EQ(v[k], c[k]);
            }
        }
        offsets.insert(v[axis] - c[axis]);
        EXPECT_EQ(m.view_id, -1);
        EXPECT_EQ(std::memcmp(m.normal, normal, 12), 0);
    }
    std::set<int> expected;
    for (int o = 1; o <= reach.reach; ++o) expected.insert({o, -o});
    EXPECT_EQ(offsets, expected);
    EXPECT_EQ(markRecords(*engine).size(), expected.size());
    EXPECT_TRUE(drainUpdates(*engine).empty());
}

INSTANTIATE_TEST_SUITE_P(
    AreaMarks, PlaceholderLine,
    ::testing::Combine(::testing::Values(ReachCase{1.0f, 1}, ReachCase{2.0f, 1},
                                         ReachCase{0.5f, 2}, ReachCase{0.2f, 2},
                                         // 0.1f lies just above one tenth
                                         ReachCase{0.1f, 2}, ReachCase{0.09f, 3},
                                         ReachCase{0.05f, 3}),
                       ::testing::Values(std::make_tuple(0, 1.0f, 0.0f, 0.0f),
                                         std::make_tuple(0, -0.8f, 0.6f, 0.0f),
                                         std::make_tuple(1, 0.6f, 0.8f, 0.0f),
                                         std::make_tuple(2, 0.0f, 0.6f, -0.8f),
                                         // ties go to the later axis
                                         std::make_tuple(1, 0.6f, 0.6f, 0.52915f),
                                         std::make_tuple(2, 0.0f, 0.70710677f, 0.70710677f))));

// ---- what is marked ---------------------------------------------------------------------

TEST(AreaMarks, PointFacingTheOtherWayIsLeftAlone) {
    auto engine = makeEngine(0.5f);
    ASSERT_NE(engine, nullptr);
    const float up[3] = {0, 0, 1};
    PointData selected = buildOne(*engine, up);
    const FusionPoint before = onlyLive(*engine);
    const int32_t next = engine->m_point_next.load();
    for (float& n : selected.normal) n = -n;
    selected.attributes = 32;
    ASSERT_EQ(engine->setFineScanArea(&selected, 1), 0);
    ASSERT_EQ(engine->setProtectedArea(&selected, 1, false), 0);
    const FusionPoint after = onlyLive(*engine);
    EXPECT_EQ(std::memcmp(&before, &after, sizeof(FusionPoint)), 0);
    EXPECT_EQ(engine->m_point_next.load(), next) << "placeholders were laid";
}

TEST(AreaMarks, ProtectedPointTakesTheLevelButNoPlaceholders) {
    auto engine = makeEngine(0.5f);
    ASSERT_NE(engine, nullptr);
    const float up[3] = {0, 0, 1};
    PointData selected = buildOne(*engine, up);
    engine->pointAt(0)->protected_flag = 1;
    selected.attributes = 64;
    ASSERT_EQ(engine->setFineScanArea(&selected, 1), 0);
    EXPECT_EQ(onlyLive(*engine).scan_level, 64);
    EXPECT_EQ(onlyLive(*engine).protected_flag, 1);
    EXPECT_TRUE(markRecords(*engine).empty());
}

// Fine-scan marks take their protection from bits 8-15 of the selection.
TEST(AreaMarks, FineScanMarksCarryTheSelectionsProtection) {
    for (const int32_t protection : {0, 1}) {
        auto engine = makeEngine(1.0f);
        ASSERT_NE(engine, nullptr);
        const float up[3] = {0, 0, 1};
        PointData selected = buildOne(*engine, up);
        selected.attributes = 16 | (protection << 8);
        ASSERT_EQ(engine->setFineScanArea(&selected, 1), 0);
        EXPECT_EQ(onlyLive(*engine).protected_flag, 0) << "fine-scan never protects the point";
        const auto marks = markRecords(*engine);
        ASSERT_EQ(marks.size(), 2u);
        for (const FusionPoint& m : marks) EXPECT_EQ(m.protected_flag, protection);
    }
}

// Protection set and lifted again: the point, and the marks already laid
// around it, follow; the level is never touched; deletion respects it.
TEST(AreaMarks, ProtectionCanBeLiftedAgain) {
    auto engine = makeEngine(0.5f);
    ASSERT_NE(engine, nullptr);
    const float up[3] = {0, 0, 1};
    PointData selected = buildOne(*engine, up);
    engine->pointAt(0)->scan_level = 32;
    selected.attributes = 16;

    ASSERT_EQ(engine->setProtectedArea(&selected, 1, false), 0);
    EXPECT_EQ(onlyLive(*engine).protected_flag, 1);
    EXPECT_EQ(onlyLive(*engine).scan_level, 32);
    auto marks = markRecords(*engine);
    ASSERT_EQ(marks.size(), 4u);
    for (const FusionPoint& m : marks) EXPECT_EQ(m.protected_flag, 1);
    ASSERT_EQ(engine->deleteSelectedArea(&selected, 1), 0);
    EXPECT_EQ(liveRecords(*engine).size(), 1u) << "a protected point was deleted";

    ASSERT_EQ(engine->setProtectedArea(&selected, 1, true), 0);
    EXPECT_EQ(onlyLive(*engine).protected_flag, 0);
    marks = markRecords(*engine);
    ASSERT_EQ(marks.size(), 4u) << "existing marks are re-marked, not duplicated";
    for (const FusionPoint& m : marks) EXPECT_EQ(m.protected_flag, 0);
    EXPECT_TRUE(drainUpdates(*engine).empty());
    ASSERT_EQ(engine->deleteSelectedArea(&selected, 1), 0);
    EXPECT_TRUE(liveRecords(*engine).empty());
}

TEST(AreaMarks, EmptySelectionsAreRefused) {
    auto engine = makeEngine(0.5f);
    ASSERT_NE(engine, nullptr);
    const PointData one = makePoint(0, 0, 0, 0, 0, 1);
    EXPECT_EQ(engine->setFineScanArea(nullptr, 3), 1);
    EXPECT_EQ(engine->setFineScanArea(&one, 0), 1);
    EXPECT_EQ(engine->setProtectedArea(nullptr, 3, false), 1);
    EXPECT_EQ(engine->setProtectedArea(&one, -1, true), 1);
    EXPECT_EQ(engine->m_point_next.load(), 0);
}

// Many selected points at once, some selected twice: every found point is
// marked and each mark line exists once.
TEST(AreaMarks, LargeSelectionMarksEveryFoundPoint) {
    auto engine = makeEngine(0.5f);
    ASSERT_NE(engine, nullptr);
    const auto points = spherePoints(4000, 30.0f, 17);
    ASSERT_EQ(engine->buildByExistingPoints(points.data(), static_cast<int>(points.size())), 0);
    const auto live = extractVertices(*engine);
    std::vector<PointData> selection;
    for (const auto& v : live) selection.push_back(selectionOf(v, 16));
    for (std::size_t i = 0; i < live.size(); i += 3) selection.push_back(selectionOf(live[i], 16));
    ASSERT_EQ(engine->setFineScanArea(selection.data(), static_cast<int>(selection.size())), 0);
    for (const FusionPoint& p : liveRecords(*engine)) EXPECT_EQ(p.scan_level, 16);

    // No voxel ends up with more than its two sides, and two records of one
    // voxel never face each other, however the threads interleaved.
    std::map<std::string, std::vector<FusionPoint>> by_voxel;
    const auto marks = markRecords(*engine);
    auto all = liveRecords(*engine);
    all.insert(all.end(), marks.begin(), marks.end());
    for (const FusionPoint& p : all) {
        const Int3 v = fusion::voxelOf(p.position, 0.5f);
        by_voxel[std::to_string(v.x) + "," + std::to_string(v.y) + "," + std::to_string(v.z)]
            .push_back(p);
    }
    for (const auto& entry : by_voxel) {
        ASSERT_LE(entry.second.size(), 2u) << entry.first;
        if (entry.second.size() == 2) {
            EXPECT_LE(fusion::dot3(entry.second[0].normal, entry.second[1].normal), 0.0f)
                << entry.first;
        }
    }
    EXPECT_GT(marks.size(), live.size());
}

}  // namespace
