// Fine-scan and protected areas, and seeding the volume from host points.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>
#include <vector>

#include "edit/AreaDeletion.h"
#include "edit/AreaMarks.h"
#include "edit/BuildFromPoints.h"
#include "support/Models.h"

namespace {

using namespace fusion_test;
using fusion::AreaKind;

// One built point at voxel (3, -2, 5); returns the host's selection of it.
PointData buildOne(Volume& volume, float nx, float ny, float nz, int32_t attributes) {
    const float r = volume.resolution();
    const PointData p = makePoint(3 * r, -2 * r, 5 * r, nx, ny, nz);
    fusion::buildFromPoints(volume, {}, 2, &p, 1);
    PointData selected = p;
    selected.attributes = attributes;
    return selected;
}

// The point takes the requested level; marks sit at offsets -reach .. reach (not
// 0) along the normal's dominant axis, with its normal, level and protection byte.
TEST(AreaMarks, FineScanMarksFollowTheDominantAxis) {
    struct LineCase {
        float resolution;
        int reach;
        int axis;
        float normal[3];
        int32_t attributes;  // requested level in bits 0-7, mark protection in 8-15
        uint8_t level;       // the level taken: powers of two as asked, else 8
    };
    const LineCase cases[] = {
        {1.0f, 1, 0, {-1, 0, 0}, 16 | 256, 16},
        {2.0f, 1, 1, {0.6f, -0.8f, 0}, 0, 8},
        {0.5f, 2, 2, {0, 0.6f, 0.8f}, 12 | 256, 8},
        {0.1f, 2, 1, {0.6f, 0.6f, 0.52915f}, 1, 1},  // 0.1f lies above 0.1; ties go to y
        {0.09f, 3, 2, {0, 0.70710677f, 0.70710677f}, 128, 128},  // and to z
        {0.05f, 3, 2, {0, 0, -1}, 0x7FFF0140, 64}};
    for (const LineCase& line : cases) {
        SCOPED_TRACE(line.resolution);
        TestVolume t(line.resolution);
        const PointData selected =
            buildOne(t.volume, line.normal[0], line.normal[1], line.normal[2], line.attributes);
        ASSERT_EQ(fusion::markArea(t.volume, 2, &selected, 1, AreaKind::FineScan), 0);
        EXPECT_EQ(t.volume.pointAt(0)->scan_level, line.level);
        EXPECT_EQ(t.volume.pointAt(0)->protected_flag, 0) << "fine-scan never protects the point";

        const Int3 c = fusion::voxelOf(selected.position, line.resolution);
        std::set<int> offsets, expected;
        for (const FusionPoint& m : recordsWhere(t.volume, isMark)) {
            const Int3 v = fusion::voxelOf(m.position, line.resolution);
            for (int k = 0; k < 3; ++k) {
                EXPECT_EQ(m.position[k], static_cast<float>(v[k]) * line.resolution);
                EXPECT_TRUE(k == line.axis || v[k] == c[k]);
            }
            EXPECT_TRUE(offsets.insert(v[line.axis] - c[line.axis]).second);
            EXPECT_EQ(std::memcmp(m.normal, line.normal, 12), 0);
            EXPECT_EQ(m.scan_level, line.level);
            EXPECT_EQ(m.protected_flag, (line.attributes >> 8) & 0xFF);
            EXPECT_EQ(m.view_id, -1);
        }
        for (int o = 1; o <= line.reach; ++o) expected.insert({o, -o});
        EXPECT_EQ(offsets, expected);
    }
}

// A protected point in a fine-scan selection takes the level but no marks; a
// selection facing away changes nothing. Protection set and lifted again: the
// point and the marks laid around it follow, the level stays, deletion obeys.
TEST(AreaMarks, ProtectionAndSelectionsFacingAway) {
    TestVolume t(0.5f);
    const PointData selected = buildOne(t.volume, 0, 0, 1, 64);
    FusionPoint& record = *t.volume.pointAt(0);
    record.protected_flag = 1;
    ASSERT_EQ(fusion::markArea(t.volume, 2, &selected, 1, AreaKind::FineScan), 0);
    EXPECT_EQ(record.scan_level, 64);
    EXPECT_EQ(t.volume.points().nextIndex(), 1);
    const FusionPoint before = record;
    PointData away = selected;
    away.normal[2] = -1;
    ASSERT_EQ(fusion::markArea(t.volume, 2, &away, 1, AreaKind::FineScan), 0);
    ASSERT_EQ(fusion::markArea(t.volume, 2, &away, 1, AreaKind::Unprotect), 0);
    EXPECT_TRUE(sameBytes(before, record));
    EXPECT_EQ(t.volume.points().nextIndex(), 1);

    for (const bool unprotect : {false, true}) {
        ASSERT_EQ(fusion::markArea(t.volume, 2, &selected, 1,
                                   unprotect ? AreaKind::Unprotect : AreaKind::Protect),
                  0);
        EXPECT_EQ(record.protected_flag, unprotect ? 0 : 1);
        EXPECT_EQ(record.scan_level, 64);
        const auto marks = recordsWhere(t.volume, isMark);
        ASSERT_EQ(marks.size(), 4u) << "marks are re-marked, not laid twice";
        for (const FusionPoint& m : marks) EXPECT_EQ(m.protected_flag, unprotect ? 0 : 1);
        auto removals = fusion::UpdateBuffer::create(30, t.volume.viewIds());
        fusion::deleteSelection(t.volume, 2, &selected, 1, *removals);
        EXPECT_EQ(recordsWhere(t.volume, isLive).size(), unprotect ? 0u : 1u);
    }
}

// Points crowd a small sphere, so many fuse: one id per record, the counts add
// up to the input, and attributes asked for are ignored.
TEST(BuildFromPoints, RecordsGetOneIdEachAndEarlierPointsStay) {
    auto engine = makeEngine();
    ASSERT_NE(engine, nullptr);
    std::vector<PointData> points = spherePoints(6000, 10.0f, 1);
    for (std::size_t i = 0; i < points.size(); i += 2) points[i].attributes = 64 | (1 << 8);
    const int32_t frame = engine->frameCounter();
    ASSERT_EQ(engine->buildByExistingPoints(points.data(), static_cast<int>(points.size())), 0);
    EXPECT_EQ(engine->frameCounter(), frame + 1) << "one frame step per build";

    const auto records = recordsWhere(engine->volume(), isLive);
    ASSERT_LT(records.size(), points.size());
    int total = 0;
    for (const FusionPoint& r : records) total += r.observation_count;
    EXPECT_EQ(total, static_cast<int>(points.size()));
    const auto first = byViewId(liveVertices(*engine));
    ASSERT_EQ(first.size(), records.size());
    for (const auto& e : first) {
        EXPECT_EQ(e.second.state, 0);
        EXPECT_EQ(e.second.scan_level, 8);
        EXPECT_EQ(e.second.protected_flag, 0);
    }
    EXPECT_EQ(vertexNum(*engine), static_cast<int>(first.size()));
    EXPECT_TRUE(drainUpdates(*engine).empty());

    // A second set joins the first, whose points keep their ids.
    const auto more = spherePoints(800, 10.0f, 3, 100.0f);
    ASSERT_EQ(engine->buildByExistingPoints(more.data(), static_cast<int>(more.size())), 0);
    const auto both = byViewId(liveVertices(*engine));
    ASSERT_GT(both.size(), first.size());
    for (const auto& e : first) EXPECT_TRUE(sameVertex(e.second, both.at(e.first)));
}

}  // namespace
