// Deleting a host selection: which points go, what the host is told, the
// fine-scan marks that go with a point, and the compacting path for large
// selections.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/HashTable.h"
#include "platform/platform.h"
#include "support/EditHelpers.h"
#include "support/EngineFixture.h"
#include "support/PlacementHelpers.h"

namespace {

using fusion::FusionPoint;
using fusion::HashTable;
using fusion::Int3;
using fusion::PointData;
using fusion::Vertices;
using namespace fusion_test;

std::vector<PointData> selectAll(const std::vector<Vertices>& vs) {
    std::vector<PointData> out;
    for (const Vertices& v : vs) out.push_back(selectionOf(v));
    return out;
}

int deleteSelection(HashTable& engine, const std::vector<PointData>& s) {
    return engine.deleteSelectedArea(s.data(), static_cast<int>(s.size()));
}

// The view ids of the live points a selection hits: in the selected voxel,
// the live point whose normal has a positive dot product with the selected
// normal, unless it is protected. Valid for models in which no voxel holds
// two live points facing one selected normal (checked).
std::set<int32_t> oracleHits(const HashTable& engine, const std::vector<PointData>& selection) {
    const float r = engine.m_resolution;
    std::map<std::string, std::vector<FusionPoint>> by_voxel;
    auto key = [](const Int3& c) {
        return std::to_string(c.x) + "," + std::to_string(c.y) + "," + std::to_string(c.z);
    };
    for (const FusionPoint& p : liveRecords(engine)) {
        by_voxel[key(fusion::voxelOf(p.position, r))].push_back(p);
    }
    std::set<int32_t> hits;
    for (const PointData& s : selection) {
        auto it = by_voxel.find(key(fusion::voxelOf(s.position, r)));
        if (it == by_voxel.end()) continue;
        int facing = 0;
        for (const FusionPoint& p : it->second) {
            if (fusion::dot3(p.normal, s.normal) <= 0.0f) continue;
            ++facing;
            if (p.protected_flag != 1) hits.insert(p.view_id);
        }
        EXPECT_LE(facing, 1) << "model has ambiguous voxels";
    }
    return hits;
}

// ---- in place ------------------------------------------------------------------------

TEST(AreaDeletion, SelectionMatchingNothingChangesNothing) {
    auto engine = makeEngine(0.5f);
    ASSERT_NE(engine, nullptr);
    const auto points = spherePoints(300, 10.0f, 1);
    ASSERT_EQ(engine->buildByExistingPoints(points.data(), static_cast<int>(points.size())), 0);
    const auto before = extractVertices(*engine);
    std::vector<PointData> miss;
    miss.push_back(makePoint(100, 100, 100, 0, 0, 1));  // no block there
    for (std::size_t i = 0; i < 20; ++i) {
        PointData away = selectionOf(before[i]);  // the right voxel, the wrong side
        for (float& n : away.normal) n = -n;
        miss.push_back(away);
    }
    ASSERT_EQ(deleteSelection(*engine, miss), 0);
    EXPECT_TRUE(drainUpdates(*engine).empty());
    EXPECT_EQ(extractVertices(*engine).size(), before.size());
}

TEST(AreaDeletion, OnePointIsReportedAndItsIdAndIndexReused) {
    auto engine = makeEngine(0.5f);
    ASSERT_NE(engine, nullptr);
    const auto points = spherePoints(50, 10.0f, 2);
    ASSERT_EQ(engine->buildByExistingPoints(points.data(), static_cast<int>(points.size())), 0);
    const auto before = extractVertices(*engine);
    const Vertices victim = before[7];
    const int32_t next_index = engine->m_point_next.load();

    const PointData selected = selectionOf(victim);
    ASSERT_EQ(engine->deleteSelectedArea(&selected, 1), 0);
    const auto updates = drainUpdates(*engine);
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].view_id, victim.view_id);
    EXPECT_EQ(updates[0].state, 255);
    for (int k = 0; k < 3; ++k) {
        EXPECT_TRUE(quietNaNBits(updates[0].position[k]));
        EXPECT_TRUE(quietNaNBits(updates[0].normal[k]));
    }
    EXPECT_EQ(vertexWord(updates[0]), 8u);
    EXPECT_EQ(extractVertices(*engine).size(), before.size() - 1);

    // The next new point takes the freed record and the freed id.
    const PointData fresh = makePoint(-80, 0, 0, 1, 0, 0);
    ASSERT_EQ(engine->buildByExistingPoints(&fresh, 1), 0);
    EXPECT_EQ(engine->m_point_next.load(), next_index);
    bool found = false;
    for (const Vertices& v : extractVertices(*engine)) {
        if (v.position[0] == -80.0f) {
            found = true;
            EXPECT_EQ(v.view_id, victim.view_id);
        }
    }
    EXPECT_TRUE(found);
}

TEST(AreaDeletion, ProtectedPointsStay) {
    auto engine = makeEngine(0.5f);
    ASSERT_NE(engine, nullptr);
    const auto points = spherePoints(100, 10.0f, 3);
    ASSERT_EQ(engine->buildByExistingPoints(points.data(), static_cast<int>(points.size())), 0);
    const auto before = extractVertices(*engine);
    const std::vector<PointData> guarded = {selectionOf(before[0]), selectionOf(before[1])};
    ASSERT_EQ(deleteSelection(*engine, {}), 1);
    ASSERT_EQ(engine->setProtectedArea(guarded.data(), 2, false), 0);

    ASSERT_EQ(deleteSelection(*engine, selectAll(before)), 0);
    const auto after = extractVertices(*engine);
    ASSERT_EQ(after.size(), 2u);
    std::set<int32_t> kept = {after[0].view_id, after[1].view_id};
    EXPECT_EQ(kept, (std::set<int32_t>{before[0].view_id, before[1].view_id}));
    for (const Vertices& u : drainUpdates(*engine)) EXPECT_EQ(kept.count(u.view_id), 0u);
}

// Points selected many times (duplicates in one selection, processed by
// different threads at the same moment) are removed once each: one removal
// record and one freed record index per point.
TEST(AreaDeletion, PointsSelectedRepeatedlyAreRemovedOnce) {
    auto engine = makeEngine(0.5f);
    ASSERT_NE(engine, nullptr);
    const auto points = spherePoints(3000, 20.0f, 4);
    ASSERT_EQ(engine->buildByExistingPoints(points.data(), static_cast<int>(points.size())), 0);
    const auto live = extractVertices(*engine);
    // Whole copies back to back: the threads' ranges walk the same points
    // in step.
    std::vector<PointData> repeated;
    for (int copy = 0; copy < 16; ++copy) {
        for (const Vertices& v : live) repeated.push_back(selectionOf(v));
    }
    const int32_t free_before = engine->m_point_free.count.load();
    ASSERT_EQ(deleteSelection(*engine, repeated), 0);
    const auto updates = drainUpdates(*engine);
    EXPECT_EQ(updates.size(), live.size());
    std::set<int32_t> ids;
    for (const Vertices& u : updates) ids.insert(u.view_id);
    EXPECT_EQ(ids.size(), live.size());
    EXPECT_EQ(engine->m_point_free.count.load(), free_before + static_cast<int32_t>(live.size()));
    EXPECT_EQ(engine->m_view_id_free.count.load(), static_cast<int32_t>(live.size()));
}

struct ReachCase {
    float resolution;
    int reach;
};

class FineScanDeletion : public ::testing::TestWithParam<ReachCase> {};

// Deleting a fine-scan point clears the marks laid around it along the
// selected normal, up to the reach of the resolution and no further.
TEST_P(FineScanDeletion, ClearsItsMarksWithinReach) {
    const ReachCase param = GetParam();
    auto engine = makeEngine(param.resolution);
    ASSERT_NE(engine, nullptr);
    const float r = param.resolution;
    const PointData point = makePoint(4 * r, 0, 0, 1, 0, 0);
    ASSERT_EQ(engine->buildByExistingPoints(&point, 1), 0);
    PointData selected = selectionOf(extractVertices(*engine)[0], 16);
    ASSERT_EQ(engine->setFineScanArea(&selected, 1), 0);
    ASSERT_EQ(markRecords(*engine).size(), static_cast<std::size_t>(2 * param.reach));
    // One mark just beyond the reach, and one off the axis.
    FusionPoint mark = fusion::defaultFusionPoint();
    mark.normal[0] = 1;
    mark.normal[1] = 0;
    mark.normal[2] = 0;
    mark.absorbed_flag = 1;
    mark.scan_level = 16;
    ASSERT_EQ(engine->addPlaceholder({4 + param.reach + 1, 0, 0}, mark), 0);
    ASSERT_EQ(engine->addPlaceholder({4 + 1, 1, 0}, mark), 0);

    ASSERT_EQ(engine->deleteSelectedArea(&selected, 1), 0);
    EXPECT_TRUE(liveRecords(*engine).empty());
    const auto left = markRecords(*engine);
    ASSERT_EQ(left.size(), 2u);
    std::set<std::string> where;
    for (const FusionPoint& m : left) {
        const Int3 v = fusion::voxelOf(m.position, r);
        where.insert(std::to_string(v.x) + "," + std::to_string(v.y));
    }
    EXPECT_EQ(where, (std::set<std::string>{std::to_string(4 + param.reach + 1) + ",0", "5,1"}));
    EXPECT_EQ(drainUpdates(*engine).size(), 1u) << "marks are not vertices";
}

INSTANTIATE_TEST_SUITE_P(AreaDeletion, FineScanDeletion,
                         ::testing::Values(ReachCase{1.0f, 1}, ReachCase{0.5f, 2},
                                           ReachCase{0.05f, 3}));

TEST(AreaDeletion, OrdinaryPointLeavesNeighbouringMarks) {
    auto engine = makeEngine(0.5f);
    ASSERT_NE(engine, nullptr);
    const PointData point = makePoint(1.0f, 0, 0, 1, 0, 0);
    ASSERT_EQ(engine->buildByExistingPoints(&point, 1), 0);
    const PointData selected = selectionOf(extractVertices(*engine)[0]);
    ASSERT_EQ(engine->setProtectedArea(&selected, 1, true), 0);  // marks, no protection
    ASSERT_EQ(markRecords(*engine).size(), 4u);
    ASSERT_EQ(engine->deleteSelectedArea(&selected, 1), 0);
    EXPECT_TRUE(liveRecords(*engine).empty());
    EXPECT_EQ(markRecords(*engine).size(), 4u);
}

// Deleting a region of a model removes exactly the live points the
// selection hits on their facing side, and the host is told of exactly
// those.
TEST(AreaDeletion, RegionRemovesExactlyTheHitPoints) {
    auto engine = makeEngine(0.5f);
    ASSERT_NE(engine, nullptr);
    std::vector<PointData> points = spherePoints(6000, 25.0f, 5);
    const auto plate = thinPlatePoints(1500, 8.0f, 40.0f, 6);
    points.insert(points.end(), plate.begin(), plate.end());
    ASSERT_EQ(engine->buildByExistingPoints(points.data(), static_cast<int>(points.size())), 0);
    const auto before = extractVertices(*engine);

    std::mt19937 rng(7);
    std::vector<PointData> guarded, selection;
    for (const Vertices& v : before) {
        if (v.position[0] > 10.0f && v.position[2] < 30.0f) selection.push_back(selectionOf(v));
        if (v.position[2] > 39.0f && v.position[0] > 0.0f) {
            // The plate's two faces: select with a slanted normal, which
            // hits only the face it leans towards.
            PointData s = selectionOf(v);
            s.normal[0] = 0.5f;
            s.normal[1] = -0.3f;
            s.normal[2] = v.normal[2] > 0 ? 0.2f : 0.4f;  // both lean up
            selection.push_back(s);
        }
        if (v.position[0] > 15.0f && v.position[1] > 0.0f && rng() % 3 == 0) {
            guarded.push_back(selectionOf(v));
        }
    }
    std::uniform_real_distribution<float> anywhere(-30.0f, 30.0f), dir(-1.0f, 1.0f);
    for (int i = 0; i < 500; ++i) {
        selection.push_back(
            makePoint(anywhere(rng), anywhere(rng), anywhere(rng), dir(rng), dir(rng), dir(rng)));
    }
    ASSERT_EQ(engine->setProtectedArea(guarded.data(), static_cast<int>(guarded.size()), false),
              0);
    ASSERT_TRUE(drainUpdates(*engine).empty());
    const auto marked = extractVertices(*engine);  // protection is part of the state
    const std::set<int32_t> hits = oracleHits(*engine, selection);
    ASSERT_GT(hits.size(), 500u);

    ASSERT_EQ(deleteSelection(*engine, selection), 0);
    std::set<int32_t> reported;
    for (const Vertices& u : drainUpdates(*engine)) {
        EXPECT_EQ(u.state, 255);
        EXPECT_TRUE(reported.insert(u.view_id).second) << "reported twice: " << u.view_id;
    }
    EXPECT_EQ(reported, hits);

    const auto after = byViewId(extractVertices(*engine));
    EXPECT_EQ(after.size(), marked.size() - hits.size());
    for (const Vertices& v : marked) {
        auto it = after.find(v.view_id);
        if (hits.count(v.view_id) != 0) {
            EXPECT_EQ(it, after.end()) << "not deleted: " << v.view_id;
        } else {
            ASSERT_NE(it, after.end()) << "deleted without being hit: " << v.view_id;
            EXPECT_TRUE(sameVertex(v, it->second));
        }
    }
}

// A host that keeps a table of vertices by id and applies the removal
// records stays equal to a fresh extraction across many deletions.
TEST(AreaDeletion, HostMirrorStaysExact) {
    auto engine = makeEngine(0.5f);
    ASSERT_NE(engine, nullptr);
    const auto points = spherePoints(5000, 20.0f, 8);
    ASSERT_EQ(engine->buildByExistingPoints(points.data(), static_cast<int>(points.size())), 0);
    std::map<int32_t, Vertices> mirror = byViewId(extractVertices(*engine));
    std::mt19937 rng(9);

    for (int round = 0; round < 12; ++round) {
        const auto live = extractVertices(*engine);
        std::vector<PointData> selection;
        for (const Vertices& v : live) {
            if (rng() % 8 == 0) selection.push_back(selectionOf(v));
        }
        // Already deleted positions, selected again, hit nothing.
        for (int i = 0; i < 30 && !selection.empty(); ++i) {
            selection.push_back(selection[rng() % selection.size()]);
        }
        if (round == 6) {
            // The host adds points it had kept; it reads the whole cloud back.
            const auto more = spherePoints(400, 12.0f, 100 + round, 60.0f);
            Vertices* out = nullptr;
            int count = 0;
            ASSERT_EQ(engine->buildByExistingPoints(more.data(), static_cast<int>(more.size())),
                      0);
            ASSERT_EQ(engine->extractLivePoints(&out, count), 0);
            mirror = byViewId(takeVertices(out, count));
        }
        ASSERT_EQ(deleteSelection(*engine, selection), 0);
        for (const Vertices& u : drainUpdates(*engine)) {
            ASSERT_EQ(u.state, 255);
            ASSERT_EQ(mirror.erase(u.view_id), 1u) << "removal of an unknown id " << u.view_id;
        }
        const auto truth = byViewId(extractVertices(*engine));
        ASSERT_EQ(mirror.size(), truth.size()) << "round " << round;
        for (const auto& entry : truth) {
            auto it = mirror.find(entry.first);
            ASSERT_NE(it, mirror.end());
            EXPECT_TRUE(sameVertex(it->second, entry.second));
        }
    }
}

// ---- compacting path ----------------------------------------------------------------------

struct RebuildCase {
    const char* name;
    int32_t chunk_shift;  // the free list holds one chunk of indices
    int32_t frame_points; // the update batch holds three times this
};

std::ostream& operator<<(std::ostream& os, const RebuildCase& c) { return os << c.name; }

class RebuildPath : public ::testing::TestWithParam<RebuildCase> {};

// A selection larger than the update batch or the free list's spare room is
// applied and the store compacted: no updates, no holes, ids renumbered,
// protection and marks kept, every other point where it was.
TEST_P(RebuildPath, CompactsTheStore) {
    const RebuildCase param = GetParam();
    auto engine = makeSmallPoolEngine(0.5f, param.chunk_shift, 64, param.frame_points);
    ASSERT_NE(engine, nullptr);
    const auto points = spherePoints(3000, 20.0f, 10);
    ASSERT_EQ(engine->buildByExistingPoints(points.data(), static_cast<int>(points.size())), 0);
    const auto before = extractVertices(*engine);
    std::vector<PointData> guarded, selection;
    for (std::size_t i = 0; i < before.size(); ++i) {
        if (i % 50 == 0) guarded.push_back(selectionOf(before[i]));
        if (i % 3 == 0) selection.push_back(selectionOf(before[i]));
    }
    ASSERT_EQ(engine->setProtectedArea(guarded.data(), static_cast<int>(guarded.size()), false),
              0);
    const std::size_t marks = markRecords(*engine).size();
    ASSERT_GT(marks, 0u);
    const int batch = 3 * engine->paramsCopy().max_frame_point_num;
    const int spare = engine->m_point_free.capacity - engine->m_point_free.count.load();
    const int selected = static_cast<int>(selection.size());
    ASSERT_TRUE(selected > batch || selected > spare) << "the case would stay in place";
    const std::set<int32_t> hits = oracleHits(*engine, selection);
    // Leave an update pending from before; the compaction drops it too.
    const PointData one = selectionOf(before[1]);
    ASSERT_EQ(engine->deleteSelectedArea(&one, 1), 0);

    std::map<std::string, FusionPoint> expected;
    for (const FusionPoint& p : liveRecords(*engine)) {
        if (hits.count(p.view_id) == 0) expected[geometryKey(p.position, p.normal)] = p;
    }

    ASSERT_EQ(deleteSelection(*engine, selection), 0);
    EXPECT_TRUE(drainUpdates(*engine).empty());
    EXPECT_EQ(engine->m_point_free.count.load(), 0);
    const auto live = liveRecords(*engine);
    EXPECT_EQ(static_cast<std::size_t>(engine->m_point_next.load()), live.size() + marks);
    EXPECT_EQ(markRecords(*engine).size(), marks);
    ASSERT_EQ(live.size(), expected.size());
    std::set<int32_t> ids;
    for (const FusionPoint& p : live) {
        ids.insert(p.view_id);
        auto it = expected.find(geometryKey(p.position, p.normal));
        ASSERT_NE(it, expected.end());
        EXPECT_EQ(p.protected_flag, it->second.protected_flag);
        EXPECT_EQ(p.observation_count, it->second.observation_count);
        EXPECT_EQ(fusion::attributeWord(p), fusion::attributeWord(it->second));
    }
    ASSERT_EQ(ids.size(), live.size());
    EXPECT_EQ(*ids.begin(), 0);
    EXPECT_EQ(*ids.rbegin(), static_cast<int32_t>(live.size()) - 1);
    int vertex_num = -1;
    ASSERT_EQ(engine->getVertexNum(vertex_num), 0);
    EXPECT_EQ(vertex_num, static_cast<int>(live.size()));
}

INSTANTIATE_TEST_SUITE_P(
    AreaDeletion, RebuildPath,
    ::testing::Values(RebuildCase{"UpdateBatchTooSmall", 19, 100},
                      RebuildCase{"FreeListTooSmall", 9, 60000}),
    [](const ::testing::TestParamInfo<RebuildCase>& info) { return std::string(info.param.name); });

TEST(AreaDeletion, CopyStoreFailureKeepsTheDeletions) {
    auto engine = makeSmallPoolEngine(0.5f, 19, 64, 10);
    ASSERT_NE(engine, nullptr);
    const auto points = spherePoints(500, 20.0f, 11);
    ASSERT_EQ(engine->buildByExistingPoints(points.data(), static_cast<int>(points.size())), 0);
    const auto before = extractVertices(*engine);
    const std::vector<PointData> selection = selectAll(before);  // beyond 30 updates
    fusion::platform::failAllocationsAfter(1);  // the update batch, then nothing
    const int result = deleteSelection(*engine, selection);
    fusion::platform::failAllocationsAfter(-1);
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(extractVertices(*engine).empty());
    EXPECT_TRUE(drainUpdates(*engine).empty());
}

TEST(AreaDeletion, EmptySelectionsAndMissingBatchAreRefused) {
    auto engine = makeEngine(0.5f);
    ASSERT_NE(engine, nullptr);
    const PointData point = makePoint(0, 0, 1, 0, 0, 1);
    ASSERT_EQ(engine->buildByExistingPoints(&point, 1), 0);
    const PointData selected = selectionOf(extractVertices(*engine)[0]);
    EXPECT_EQ(engine->deleteSelectedArea(nullptr, 4), 1);
    EXPECT_EQ(engine->deleteSelectedArea(&selected, 0), 1);
    fusion::platform::failAllocationsAfter(0);
    const int result = engine->deleteSelectedArea(&selected, 1);
    fusion::platform::failAllocationsAfter(-1);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(liveRecords(*engine).size(), 1u);
}

}  // namespace
