// Seeding the volume from a host point set: one record per occupied voxel
// side, one id per record, earlier content kept.

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <vector>

#include "engine/HashTable.h"
#include "support/EditHelpers.h"
#include "support/EngineFixture.h"

namespace {

using fusion::FusionPoint;
using fusion::PointData;
using fusion::Vertices;
using namespace fusion_test;

// Points crowd a small sphere, so many fuse: every stored record gets its
// own id (none handed out twice, however the threads met on a record), the
// counts add up to the input, and attributes asked for are ignored. One
// frame step per build.
TEST(BuildFromPoints, RecordsGetOneIdEachAndEarlierPointsStay) {
    auto engine = makeEngine(0.5f);
    ASSERT_NE(engine, nullptr);
    std::vector<PointData> points = spherePoints(6000, 10.0f, 1);
    for (std::size_t i = 0; i < points.size(); i += 2) points[i].attributes = 64 | (1 << 8);
    const int32_t frame = engine->m_frame_counter;
    ASSERT_EQ(engine->buildByExistingPoints(points.data(), static_cast<int>(points.size())), 0);
    EXPECT_EQ(engine->m_frame_counter, frame + 1);

    const auto records = recordsWhere(*engine, isLive);
    ASSERT_LT(records.size(), points.size());
    int total = 0;
    for (const FusionPoint& r : records) total += r.observation_count;
    EXPECT_EQ(total, static_cast<int>(points.size()));
    const auto first = byViewId(extractVertices(*engine));
    ASSERT_EQ(first.size(), records.size());
    for (const auto& e : first) {
        EXPECT_EQ(e.second.state, 0);
        EXPECT_EQ(e.second.scan_level, 8);
        EXPECT_EQ(e.second.protected_flag, 0);
    }
    int vertex_num = -1;
    ASSERT_EQ(engine->getVertexNum(vertex_num), 0);
    EXPECT_EQ(vertex_num, static_cast<int>(first.size()));
    EXPECT_TRUE(drainUpdates(*engine).empty());

    // A second set joins the first, whose points keep their ids.
    const auto more = spherePoints(800, 10.0f, 3, 100.0f);
    ASSERT_EQ(engine->buildByExistingPoints(more.data(), static_cast<int>(more.size())), 0);
    const auto both = byViewId(extractVertices(*engine));
    ASSERT_GT(both.size(), first.size());
    for (const auto& e : first) {
        EXPECT_TRUE(sameVertex(e.second, both.at(e.first)));
    }
}

TEST(BuildFromPoints, UnplaceableOrMissingInputIsSkipped) {
    auto engine = makeEngine(0.5f);
    ASSERT_NE(engine, nullptr);
    const std::vector<PointData> points = {makePoint(std::nanf(""), 0, 0, 0, 0, 1),
                                           makePoint(INFINITY, 0, 0, 0, 0, 1),
                                           makePoint(0, 3e38f, 0, 0, 0, 1),
                                           // 2^24 voxels out: beyond exact block arithmetic
                                           makePoint(0, 0, -8388612.0f, 0, 0, 1),
                                           makePoint(1, 2, 3, 0, 0, 1)};
    EXPECT_EQ(engine->buildByExistingPoints(nullptr, 1), 1);
    EXPECT_EQ(engine->buildByExistingPoints(points.data(), 0), 1);
    ASSERT_EQ(engine->buildByExistingPoints(points.data(), static_cast<int>(points.size())), 0);
    const auto vertices = extractVertices(*engine);
    ASSERT_EQ(vertices.size(), 1u);
    EXPECT_EQ(vertices[0].position[2], 3.0f);
}

}  // namespace
