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

TEST(BuildFromPoints, EveryStoredRecordGetsItsOwnId) {
    auto engine = makeEngine(0.5f);
    ASSERT_NE(engine, nullptr);
    std::vector<PointData> points = spherePoints(5000, 10.0f, 1);
    // Attributes are not read: levels and protection asked for are ignored.
    for (std::size_t i = 0; i < points.size(); i += 2) points[i].attributes = 64 | (1 << 8);
    const int32_t frame = engine->m_frame_counter;
    ASSERT_EQ(engine->buildByExistingPoints(points.data(), static_cast<int>(points.size())), 0);
    EXPECT_EQ(engine->m_frame_counter, frame + 1);

    const auto records = liveRecords(*engine);
    const auto vertices = extractVertices(*engine);
    // 5000 points on a small sphere share voxels: fewer records than points,
    // and their counts add up to every point.
    ASSERT_LT(records.size(), points.size());
    int total = 0;
    for (const FusionPoint& r : records) total += r.observation_count;
    EXPECT_EQ(total, static_cast<int>(points.size()));

    ASSERT_EQ(vertices.size(), records.size());
    std::set<int32_t> ids;
    for (const Vertices& v : vertices) {
        ids.insert(v.view_id);
        EXPECT_EQ(v.state, 0);
        EXPECT_EQ(v.scan_level, 8);
        EXPECT_EQ(v.protected_flag, 0);
    }
    ASSERT_EQ(ids.size(), vertices.size());
    EXPECT_EQ(*ids.rbegin(), static_cast<int32_t>(vertices.size()) - 1);
    int vertex_num = -1;
    ASSERT_EQ(engine->getVertexNum(vertex_num), 0);
    EXPECT_EQ(vertex_num, static_cast<int>(vertices.size())) << "an id was handed out twice";
    EXPECT_TRUE(drainUpdates(*engine).empty());
}

TEST(BuildFromPoints, SecondSetJoinsTheFirst) {
    auto engine = makeEngine(0.5f);
    ASSERT_NE(engine, nullptr);
    const auto first = spherePoints(800, 10.0f, 2);
    ASSERT_EQ(engine->buildByExistingPoints(first.data(), static_cast<int>(first.size())), 0);
    const auto before = byViewId(extractVertices(*engine));
    const auto second = spherePoints(800, 10.0f, 3, 100.0f);
    ASSERT_EQ(engine->buildByExistingPoints(second.data(), static_cast<int>(second.size())), 0);
    const auto after = byViewId(extractVertices(*engine));

    ASSERT_GT(after.size(), before.size());
    for (const auto& entry : before) {
        auto it = after.find(entry.first);
        ASSERT_NE(it, after.end()) << "an old point lost its id";
        EXPECT_TRUE(sameVertex(entry.second, it->second));
    }
    for (const auto& entry : after) {
        if (before.count(entry.first) == 0) {
            EXPECT_GT(entry.second.position[0], 50.0f);
        }
    }
}

// Points landing on an existing record fuse with it by the ordinary rules
// and it keeps its id.
TEST(BuildFromPoints, PointsOnAStoredRecordFuseWithIt) {
    auto engine = makeEngine(1.0f);
    ASSERT_NE(engine, nullptr);
    const PointData a = makePoint(0.1f, 0, 0, 1, 0, 0);
    ASSERT_EQ(engine->buildByExistingPoints(&a, 1), 0);
    const int32_t id = extractVertices(*engine)[0].view_id;
    const std::vector<PointData> more = {makePoint(0.2f, 0, 0, 1, 0, 0),
                                         makePoint(0.3f, 0, 0, 1, 0, 0),
                                         makePoint(0.2f, 0, 0, -1, 0, 0)};
    ASSERT_EQ(engine->buildByExistingPoints(more.data(), 3), 0);
    const auto records = liveRecords(*engine);
    ASSERT_EQ(records.size(), 2u);
    int fused = 0;
    for (const FusionPoint& r : records) {
        if (r.normal[0] > 0) {
            ++fused;
            EXPECT_EQ(r.view_id, id);
            EXPECT_EQ(r.observation_count, 3);
            EXPECT_NEAR(r.position[0], 0.2f, 1e-6f);
        } else {
            EXPECT_EQ(r.observation_count, 1);
        }
    }
    EXPECT_EQ(fused, 1);
}

TEST(BuildFromPoints, UnplaceableInputIsSkipped) {
    auto engine = makeEngine(0.5f);
    ASSERT_NE(engine, nullptr);
    const float inf = INFINITY;
    const std::vector<PointData> points = {makePoint(std::nanf(""), 0, 0, 0, 0, 1),
                                           makePoint(inf, 0, 0, 0, 0, 1),
                                           makePoint(0, 3e38f, 0, 0, 0, 1),
                                           // 2^24 voxels out: beyond exact block arithmetic
                                           makePoint(0, 0, -8388612.0f, 0, 0, 1),
                                           makePoint(1, 2, 3, 0, 0, 1)};
    ASSERT_EQ(engine->buildByExistingPoints(points.data(), static_cast<int>(points.size())), 0);
    const auto vertices = extractVertices(*engine);
    ASSERT_EQ(vertices.size(), 1u);
    EXPECT_EQ(vertices[0].position[2], 3.0f);
}

TEST(BuildFromPoints, EmptyInputIsRefused) {
    auto engine = makeEngine(0.5f);
    ASSERT_NE(engine, nullptr);
    const PointData one = makePoint(0, 0, 0, 0, 0, 1);
    const int32_t frame = engine->m_frame_counter;
    EXPECT_EQ(engine->buildByExistingPoints(nullptr, 1), 1);
    EXPECT_EQ(engine->buildByExistingPoints(&one, 0), 1);
    EXPECT_EQ(engine->m_frame_counter, frame);
    EXPECT_EQ(engine->m_point_next.load(), 0);
}

}  // namespace
