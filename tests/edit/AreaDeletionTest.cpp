// Deleting a host selection: what goes, what the host is told, when to compact.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "edit/AreaDeletion.h"
#include "edit/AreaMarks.h"
#include "edit/BuildFromPoints.h"
#include "support/Models.h"

namespace {

using namespace fusion_test;

// A fine-scan point takes its marks along the selected normal within the
// resolution's reach; an ordinary point leaves them alone.
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

TEST(AreaDeletion, OneRemovalRecordAndTheRecordFreedForReuse) {
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
    EXPECT_EQ(removals->records()[0].view_id, gone_id);
    EXPECT_EQ(removals->records()[0].state, 255) << "a removal: the id is freed with it";
    EXPECT_TRUE(sameBytes(*gone, fusion::defaultFusionPoint()));
    EXPECT_EQ(volume.points().allocatePoint(), gone_index);
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

// Compaction puts the remaining records back without holes: protection and
// protected marks kept, ids handed out afresh from 0.
TEST(AreaDeletion, CompactionKeepsProtectionAndMarksAndRenumbers) {
    TestVolume t(1.0f);
    Volume& volume = t.volume;
    const float up[3] = {0, 0, 1};
    for (int i = 0; i < 6; ++i) putRecord(volume, 2.0f * i + 1, 0, 0, up);
    const PointData guarded = makePoint(9, 0, 0, 0, 0, 1);
    ASSERT_EQ(fusion::markArea(volume, 2, &guarded, 1, fusion::AreaKind::Protect), 0);
    const std::vector<PointData> selection = {makePoint(1, 0, 0, 0, 0, 1),
                                              makePoint(5, 0, 0, 0, 0, 1)};
    auto removals = fusion::UpdateBuffer::create(30, volume.viewIds());
    ASSERT_EQ(fusion::deleteSelection(volume, 2, selection.data(), 2, *removals).deleted, 2);
    const std::size_t marks = recordsWhere(volume, isMark).size();
    ASSERT_GT(marks, 0u);

    const auto copy = fusion::copyRemainingRecords(volume, 2);
    ASSERT_NE(copy, nullptr);
    volume.clear();
    fusion::reinsertRemainingRecords(volume, {}, 2, *copy);
    const auto live = recordsWhere(volume, isLive);
    EXPECT_EQ(static_cast<std::size_t>(volume.points().nextIndex()), live.size() + marks);
    std::set<int32_t> ids;
    int guarded_records = 0;
    for (const FusionPoint& q : live) {
        ids.insert(q.view_id);
        guarded_records += q.protected_flag;
    }
    EXPECT_EQ(ids, (std::set<int32_t>{0, 1, 2, 3}));
    EXPECT_EQ(guarded_records, 1);
    for (const FusionPoint& m : recordsWhere(volume, isMark)) EXPECT_EQ(m.protected_flag, 1);
}

}  // namespace
