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
#include <vector>

#include "edit/AreaDeletion.h"
#include "edit/AreaMarks.h"
#include "edit/BuildFromPoints.h"
#include "host/HostMirror.h"
#include "support/Models.h"

namespace {

using namespace fusion_test;

// The selections whose outcome is unambiguous, and the ids of the live
// points they hit: in the selected voxel at most one stored record faces
// the selected normal; it is hit when it is live and unprotected.
std::vector<PointData> unambiguous(const Volume& volume, const std::vector<PointData>& wanted,
                                   std::set<int32_t>& hits) {
    const float r = volume.resolution();
    std::map<std::string, std::vector<FusionPoint>> stored;
    for (const FusionPoint& p : recordsWhere(volume, [](const FusionPoint& q) {
             return q.observation_count != 0 || q.absorbed_flag == 1;
         }))
        stored[voxelKey(p.position, r)].push_back(p);
    std::vector<PointData> kept;
    for (const PointData& s : wanted) {
        std::vector<const FusionPoint*> facing;
        for (const FusionPoint& p : stored[voxelKey(s.position, r)])
            if (fusion::dot3(p.normal, s.normal) > 0.0f) facing.push_back(&p);
        if (facing.size() > 1) continue;
        kept.push_back(s);
        if (!facing.empty() && isLive(*facing[0]) && facing[0]->protected_flag != 1)
            hits.insert(facing[0]->view_id);
    }
    return kept;
}

// Deleting a fine-scan point clears the marks along the selected normal up
// to the reach of the resolution and no further; an ordinary point leaves
// the marks around it alone.
TEST(AreaDeletion, FineScanPointTakesItsMarksWithinReach) {
    for (auto [r, reach] : {std::pair{1.0f, 1}, {0.5f, 2}, {0.05f, 3}}) {
        for (const int level : {16, 8}) {
            TestVolume t(r);
            Volume& volume = t.volume;
            const PointData selected = makePoint(4 * r, 0, 0, 1, 0, 0, level);
            fusion::buildFromPoints(volume, {}, 2, &selected, 1);
            ASSERT_EQ(fusion::markArea(volume, 2, &selected, 1, fusion::AreaKind::FineScan), 0);
            const float x[3] = {1, 0, 0};
            const FusionPoint mark = fusion::placeholderTemplate(x, 16, 0);
            ASSERT_EQ(fusion::addPlaceholder(volume, {4 + reach + 1, 0, 0}, mark),
                      0);                                                   // beyond reach
            ASSERT_EQ(fusion::addPlaceholder(volume, {5, 1, 0}, mark), 0);  // off the axis

            auto removals = fusion::UpdateBuffer::create(30, volume.viewIds());
            const fusion::Deletion deletion =
                fusion::deleteSelection(volume, 2, &selected, 1, *removals);
            EXPECT_EQ(deletion.deleted, 1);
            EXPECT_FALSE(deletion.compact);
            EXPECT_EQ(removals->count(), 1) << "marks go without a word to the host";
            EXPECT_TRUE(recordsWhere(volume, isLive).empty());
            std::set<std::string> left;
            for (const FusionPoint& m : recordsWhere(volume, isMark))
                left.insert(voxelKey(m.position, r));
            if (level == 8) {
                EXPECT_EQ(left.size(), static_cast<std::size_t>(2 * reach + 2)) << r;
            } else {
                EXPECT_EQ(left,
                          (std::set<std::string>{std::to_string(5 + reach) + ",0,0", "5,1,0"}))
                    << r;
            }
        }
    }
}

TEST(AreaDeletion, RemovalRecordFreesTheIdAndTheRecordForReuse) {
    TestVolume t(1.0f);
    Volume& volume = t.volume;
    const float up[3] = {0, 0, 1};
    FusionPoint* kept = putRecord(volume, 0, 0, 0, up);
    FusionPoint* gone = putRecord(volume, 5, 0, 0, up);
    FusionPoint* guarded = putRecord(volume, 9, 0, 0, up, 1, 8, true);
    ASSERT_TRUE(kept && gone && guarded);
    const int32_t gone_id = gone->view_id;
    const int32_t gone_index = volume.lookupPoint({5, 0, 0}, up).index;
    const std::vector<PointData> selection = {
        makePoint(5, 0, 0, 0, 0, 1), makePoint(5, 0, 0, 0, 0, 1), makePoint(9, 0, 0, 0, 0, 1),
        makePoint(0, 0, 0, 0, 0, -1), makePoint(30, 0, 0, 0, 0, 1)};
    auto removals = fusion::UpdateBuffer::create(30, volume.viewIds());
    const fusion::Deletion deletion = fusion::deleteSelection(
        volume, 2, selection.data(), static_cast<int>(selection.size()), *removals);
    EXPECT_EQ(deletion.deleted, 1) << "twice selected, protected, seen from behind, nothing there";
    ASSERT_EQ(removals->count(), 1);
    const Vertices& removal = removals->records()[0];
    EXPECT_EQ(removal.view_id, gone_id);
    EXPECT_EQ(removal.state, 255);
    EXPECT_TRUE(std::isnan(removal.position[0]));
    EXPECT_TRUE(sameBytes(*gone, fusion::defaultFusionPoint()));
    EXPECT_EQ(volume.points().allocatePoint(), gone_index);
    fusion::UpdateQueue queue;
    queue.push(std::move(removals));
    EXPECT_EQ(volume.viewIds().allocate(), gone_id) << "the id is handed to the next new point";
}

// In place while the free list has a slot for every selected point and the
// batch a record for each; one point more and the store is compacted.
TEST(AreaDeletion, CompactsOnlyWhenTheBookkeepingCannotKeepUp) {
    GlobalParams p = smallParams();
    p.chunk_point_shift = 4;  // the free list holds one chunk: 16 indices
    p.chunk_point_num = 16;
    const float up[3] = {0, 0, 1};
    std::vector<PointData> selection;
    for (int i = 0; i < 20; ++i) selection.push_back(makePoint(2.0f * i + 1, 0, 0, 0, 0, 1));
    const std::tuple<int, int, bool> cases[] = {
        {16, 30, false}, {17, 30, true}, {16, 16, false}, {16, 15, true}};
    for (const auto& [selected, batch, compact] : cases) {
        TestVolume t(1.0f, p);
        for (int i = 0; i < 20; ++i) putRecord(t.volume, 2.0f * i + 1, 0, 0, up);
        auto removals = fusion::UpdateBuffer::create(batch, t.volume.viewIds());
        const fusion::Deletion deletion =
            fusion::deleteSelection(t.volume, 2, selection.data(), selected, *removals);
        EXPECT_EQ(deletion.deleted, selected);
        EXPECT_EQ(deletion.compact, compact) << selected << " selected, batch of " << batch;
        EXPECT_EQ(removals->count(), compact ? 0 : selected);
    }
}

// A selection larger than the update batch or the free list's spare room is
// applied and the store compacted: no updates (pending ones dropped too),
// no holes, ids renumbered, protection and marks kept, the rest unchanged.
TEST(AreaDeletion, LargeSelectionsCompactTheStore) {
    for (auto [chunk_shift, frame_points] : {std::pair{19, 100}, {9, 60000}}) {
        SCOPED_TRACE(chunk_shift);
        auto engine = std::make_unique<HashTable>();
        GlobalParams p = smallParams();
        p.chunk_point_shift = chunk_shift;  // the free list holds one chunk of indices
        p.chunk_point_num = 1 << chunk_shift;
        engine->setInitParams(p);
        ASSERT_EQ(engine->init(), 0);
        fusion::DeviceInfo device{};
        device.point_spacing = 0.001f;
        device.frame_point_num = frame_points;  // the update batch holds three times this
        engine->setResolution(0.5f);
        engine->setDeviceInfo(device);
        const Volume& volume = engine->volume();

        const auto points = spherePoints(3000, 20.0f, 10);
        ASSERT_EQ(engine->buildByExistingPoints(points.data(), static_cast<int>(points.size())), 0);
        const auto live = liveVertices(*engine);
        std::vector<PointData> guarded, wanted;
        for (std::size_t i = 0; i < live.size(); ++i) {
            if (i % 50 == 0) guarded.push_back(selectionOf(live[i]));
            if (i % 3 == 0) wanted.push_back(selectionOf(live[i]));
        }
        ASSERT_EQ(engine->setProtectedArea(guarded.data(), static_cast<int>(guarded.size()), false),
                  0);
        const std::size_t marks = recordsWhere(volume, isMark).size();
        const PointData one = selectionOf(live[1]);
        ASSERT_EQ(engine->deleteSelectedArea(&one, 1), 0);
        ASSERT_TRUE(engine->updatesPending()) << "an update left pending";
        std::set<int32_t> hits;
        const auto selection = unambiguous(volume, wanted, hits);
        const int spare = volume.points().freeCapacity() - volume.points().freeCount();
        ASSERT_GT(static_cast<int>(selection.size()), std::min(spare, 3 * frame_points));
        std::map<std::string, FusionPoint> expected;
        for (const FusionPoint& q : recordsWhere(volume, isLive))
            if (hits.count(q.view_id) == 0) expected[geometryKey(q)] = q;

        ASSERT_EQ(engine->deleteSelectedArea(selection.data(), static_cast<int>(selection.size())),
                  0);
        EXPECT_TRUE(drainUpdates(*engine).empty());
        EXPECT_EQ(volume.points().freeCount(), 0);
        const auto after = recordsWhere(volume, isLive);
        EXPECT_EQ(static_cast<std::size_t>(volume.points().nextIndex()), after.size() + marks);
        ASSERT_EQ(after.size(), expected.size());
        std::set<int32_t> ids;
        for (const FusionPoint& q : after) {
            ids.insert(q.view_id);
            ASSERT_EQ(expected.count(geometryKey(q)), 1u);
            // Attribute word and count; re-insertion may mark one more sub-cell.
            const FusionPoint& e = expected[geometryKey(q)];
            EXPECT_EQ(fusion::attributeWord(q), fusion::attributeWord(e));
            EXPECT_EQ(q.observation_count, e.observation_count);
        }
        EXPECT_EQ(ids.size(), after.size());
        EXPECT_EQ(vertexNum(*engine), static_cast<int>(after.size()));
    }
}

// Regions of a fused sweep, with frames arriving before and after each
// deletion: exactly the hit points go (not protected ones, not points seen
// from behind, each once however often selected), and a host table kept
// from the update records holds exactly the live ids throughout.
TEST(AreaDeletion, SweepRegionsGoExactlyAndTheHostKeepsUp) {
    for (const kelvane_sim::Shape shape : {kelvane_sim::Shape::Sphere, kelvane_sim::Shape::Plate}) {
        SCOPED_TRACE(kelvane_sim::shapeName(shape));
        auto engine = makeEngine();
        ASSERT_NE(engine, nullptr);
        kelvane_host::HostMirror mirror;
        std::mt19937 rng(13);
        for (int part = 0; part < 3; ++part) {
            ASSERT_TRUE(
                runFrames(*engine, smallSweep(shape, 5), false, true, 4 * part, 4 * part + 4));
            const auto settled = drainUpdates(*engine);
            mirror.apply(settled.data(), static_cast<int>(settled.size()));
            const auto live = liveVertices(*engine);
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
            ASSERT_EQ(
                engine->setProtectedArea(guarded.data(), static_cast<int>(guarded.size()), false),
                0);
            std::set<int32_t> hits;
            const auto selection = unambiguous(engine->volume(), wanted, hits);
            ASSERT_GT(hits.size(), 100u);
            ASSERT_EQ(
                engine->deleteSelectedArea(selection.data(), static_cast<int>(selection.size())),
                0);

            const auto records = drainUpdates(*engine);
            std::set<int32_t> removed;
            for (const Vertices& v : records) {
                ASSERT_EQ(v.state, 255);
                EXPECT_TRUE(removed.insert(v.view_id).second) << "one removal per point";
            }
            EXPECT_EQ(removed, hits) << "part " << part;
            mirror.apply(records.data(), static_cast<int>(records.size()));
            const auto truth = liveVertices(*engine);
            EXPECT_TRUE(
                mirror.compare(truth.data(), static_cast<int>(truth.size()), 0.0f).sameVertices());
            EXPECT_EQ(mirror.stats().stray_removals, 0);
        }
    }
}

}  // namespace
