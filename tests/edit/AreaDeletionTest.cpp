// Deleting a host selection: which points go, what the host is told, the
// fine-scan marks that go with a point, and the compacting path for large
// selections.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "engine/HashTable.h"
#include "support/EditHelpers.h"
#include "support/EngineFixture.h"
#include "support/PlacementHelpers.h"

namespace {

using fusion::FusionPoint;
using fusion::HashTable;
using fusion::PointData;
using fusion::Vertices;
using namespace fusion_test;

int deleteSelection(HashTable& engine, const std::vector<PointData>& s) {
    return engine.deleteSelectedArea(s.data(), static_cast<int>(s.size()));
}

// The selections whose outcome is unambiguous, and the ids of the live
// points they hit: in the selected voxel at most one stored record faces
// the selected normal; it is hit when it is live and unprotected.
std::vector<PointData> unambiguous(const HashTable& engine, const std::vector<PointData>& wanted,
                                   std::set<int32_t>& hits) {
    const float r = engine.m_resolution;
    std::map<std::string, std::vector<FusionPoint>> stored;
    for (const FusionPoint& p : recordsWhere(engine, [](const FusionPoint& q) {
             return q.observation_count != 0 || q.absorbed_flag == 1;
         })) {
        stored[voxelKey(p.position, r)].push_back(p);
    }
    std::vector<PointData> kept;
    for (const PointData& s : wanted) {
        std::vector<const FusionPoint*> facing;
        for (const FusionPoint& p : stored[voxelKey(s.position, r)]) {
            if (fusion::dot3(p.normal, s.normal) > 0.0f) facing.push_back(&p);
        }
        if (facing.size() > 1) continue;
        kept.push_back(s);
        if (!facing.empty() && isLive(*facing[0]) && facing[0]->protected_flag != 1) {
            hits.insert(facing[0]->view_id);
        }
    }
    return kept;
}

class FineScanDeletion : public ::testing::TestWithParam<std::tuple<float, int>> {};

// Deleting a fine-scan point clears the marks along the selected normal up
// to the reach of the resolution and no further; an ordinary point leaves
// the marks around it alone.
TEST_P(FineScanDeletion, ClearsItsMarksWithinReach) {
    const float r = std::get<0>(GetParam());
    const int reach = std::get<1>(GetParam());
    for (const int level : {16, 8}) {
        auto engine = makeEngine(r);
        ASSERT_NE(engine, nullptr);
        const PointData selected = makePoint(4 * r, 0, 0, 1, 0, 0, level);
        ASSERT_EQ(engine->buildByExistingPoints(&selected, 1), 0);
        ASSERT_EQ(engine->setFineScanArea(&selected, 1), 0);
        FusionPoint mark = observation(0, 0, 0, 1, 0, 0, 16, 0, 0);
        mark.absorbed_flag = 1;
        ASSERT_EQ(engine->addPlaceholder({4 + reach + 1, 0, 0}, mark), 0);  // beyond reach
        ASSERT_EQ(engine->addPlaceholder({5, 1, 0}, mark), 0);              // off the axis

        ASSERT_EQ(engine->deleteSelectedArea(&selected, 1), 0);
        EXPECT_TRUE(recordsWhere(*engine, isLive).empty());
        std::set<std::string> left;
        for (const FusionPoint& m : recordsWhere(*engine, isMark)) left.insert(voxelKey(m.position, r));
        if (level == 8) {
            EXPECT_EQ(left.size(), static_cast<std::size_t>(2 * reach + 2));
        } else {
            EXPECT_EQ(left, (std::set<std::string>{std::to_string(5 + reach) + ",0,0", "5,1,0"}));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AreaDeletion, FineScanDeletion,
                         ::testing::Values(std::make_tuple(1.0f, 1), std::make_tuple(0.5f, 2),
                                           std::make_tuple(0.05f, 3)));

struct RebuildCase {
    const char* name;
    int32_t chunk_shift;   // the free list holds one chunk of indices
    int32_t frame_points;  // the update batch holds three times this
};

class RebuildPath : public ::testing::TestWithParam<RebuildCase> {};

// A selection larger than the update batch or the free list's spare room is
// applied and the store compacted: no updates (pending ones dropped too),
// no holes, ids renumbered, protection and marks kept, the rest unchanged.
TEST_P(RebuildPath, CompactsTheStore) {
    auto engine = makeSmallPoolEngine(0.5f, GetParam().chunk_shift, 64, GetParam().frame_points);
    ASSERT_NE(engine, nullptr);
    const auto points = spherePoints(3000, 20.0f, 10);
    ASSERT_EQ(engine->buildByExistingPoints(points.data(), static_cast<int>(points.size())), 0);
    const auto live = extractVertices(*engine);
    std::vector<PointData> guarded, wanted;
    for (std::size_t i = 0; i < live.size(); ++i) {
        if (i % 50 == 0) guarded.push_back(selectionOf(live[i]));
        if (i % 3 == 0) wanted.push_back(selectionOf(live[i]));
    }
    ASSERT_EQ(engine->setProtectedArea(guarded.data(), static_cast<int>(guarded.size()), false), 0);
    const std::size_t marks = recordsWhere(*engine, isMark).size();
    const PointData one = selectionOf(live[1]);
    ASSERT_EQ(engine->deleteSelectedArea(&one, 1), 0);  // an update left pending
    std::set<int32_t> hits;
    const auto selection = unambiguous(*engine, wanted, hits);
    const int spare = engine->m_point_free.capacity - engine->m_point_free.count.load();
    ASSERT_TRUE(static_cast<int>(selection.size()) > std::min(spare, 3 * GetParam().frame_points));
    std::map<std::string, FusionPoint> expected;
    for (const FusionPoint& p : recordsWhere(*engine, isLive)) {
        if (hits.count(p.view_id) == 0) expected[geometryKey(p)] = p;
    }

    ASSERT_EQ(deleteSelection(*engine, selection), 0);
    EXPECT_TRUE(drainUpdates(*engine).empty());
    EXPECT_EQ(engine->m_point_free.count.load(), 0);
    const auto after = recordsWhere(*engine, isLive);
    EXPECT_EQ(static_cast<std::size_t>(engine->m_point_next.load()), after.size() + marks);
    ASSERT_EQ(after.size(), expected.size());
    std::set<int32_t> ids;
    for (const FusionPoint& p : after) {
        ids.insert(p.view_id);
        ASSERT_EQ(expected.count(geometryKey(p)), 1u);
        // Attribute word and count; re-insertion may mark one more sub-cell.
        EXPECT_EQ(std::memcmp(&p.scan_level, &expected[geometryKey(p)].scan_level, 6), 0);
    }
    EXPECT_EQ(ids.size(), after.size());
    int vertex_num = -1;
    ASSERT_EQ(engine->getVertexNum(vertex_num), 0);
    EXPECT_EQ(vertex_num, static_cast<int>(after.size()));

}

INSTANTIATE_TEST_SUITE_P(
    AreaDeletion, RebuildPath,
    ::testing::Values(RebuildCase{"UpdateBatchTooSmall", 19, 100},
                      RebuildCase{"FreeListTooSmall", 9, 60000}),
    [](const ::testing::TestParamInfo<RebuildCase>& info) { return std::string(info.param.name); });

class DeletionSweep : public ::testing::TestWithParam<kelvane_sim::Shape> {};

// Regions of a fused sweep, with frames arriving before and after each
// deletion: exactly the hit points go (not protected ones, not points seen
// from behind, each once however often selected), and a host table kept
// from the update records holds exactly the live ids throughout.
TEST_P(DeletionSweep, RegionsGoExactlyAndTheHostKeepsUp) {
    auto engine = makeEngine(0.5f);
    ASSERT_NE(engine, nullptr);
    std::unordered_map<int32_t, Vertices> mirror;
    auto drain = [&](std::set<int32_t>* removed) {
        for (const Vertices& v : drainUpdates(*engine)) {
            if (v.state != 255) {
                mirror[v.view_id] = v;
                if (removed != nullptr) removed->erase(v.view_id);
                continue;
            }
            EXPECT_EQ(mirror.erase(v.view_id), 1u);
            if (removed != nullptr) {
                EXPECT_TRUE(removed->insert(v.view_id).second);
            }
        }
    };
    std::mt19937 rng(13);

    for (int part = 0; part < 3; ++part) {
        ASSERT_TRUE(runFrames(*engine, GetParam(), 5, 4 * part, 4 * part + 4));
        drain(nullptr);
        const auto live = extractVertices(*engine);
        const float cut = -10.0f + 10.0f * static_cast<float>(part);
        std::vector<PointData> wanted, guarded;
        for (const Vertices& v : live) {
            if (v.position[0] > cut && v.position[0] < cut + 8.0f) {
                (rng() % 10 == 0 ? guarded : wanted).push_back(selectionOf(v));
                if (rng() % 4 == 0) wanted.push_back(selectionOf(v));
            } else if (rng() % 50 == 0) {
                PointData behind = selectionOf(v);
                for (float& n : behind.normal) n = -n;
                wanted.push_back(behind);
            }
        }
        ASSERT_EQ(engine->setProtectedArea(guarded.data(), static_cast<int>(guarded.size()), false), 0);
        std::set<int32_t> hits, removed;
        const auto selection = unambiguous(*engine, wanted, hits);
        ASSERT_GT(hits.size(), 100u);
        const auto marked = byViewId(extractVertices(*engine));

        ASSERT_EQ(deleteSelection(*engine, selection), 0);
        drain(&removed);
        EXPECT_EQ(removed, hits) << "part " << part;
        const auto truth = byViewId(extractVertices(*engine));
        EXPECT_EQ(truth.size(), marked.size() - hits.size());
        ASSERT_EQ(mirror.size(), truth.size()) << "part " << part;
        for (const auto& e : truth) {
            EXPECT_EQ(mirror.count(e.first), 1u);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Objects, DeletionSweep,
                         ::testing::Values(kelvane_sim::Shape::Sphere, kelvane_sim::Shape::Plate),
                         [](const ::testing::TestParamInfo<kelvane_sim::Shape>& info) {
                             return std::string(kelvane_sim::shapeName(info.param));
                         });

}  // namespace
