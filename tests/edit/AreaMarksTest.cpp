// Fine-scan and protected areas: the level and protection written on the
// selected points, and the placeholders laid along each selected normal.

#include <gtest/gtest.h>

#include <cstring>
#include <set>
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

// One built point at voxel (3, -2, 5); returns the host's selection of it.
PointData buildOne(HashTable& engine, float nx, float ny, float nz, int32_t attributes) {
    const float r = engine.m_resolution;
    const PointData p = makePoint(3 * r, -2 * r, 5 * r, nx, ny, nz);
    EXPECT_EQ(engine.buildByExistingPoints(&p, 1), 0);
    PointData selected = p;
    selected.attributes = attributes;
    return selected;
}

FusionPoint& theRecord(HashTable& engine) { return *engine.pointAt(0); }

struct LineCase {
    float resolution;
    int reach;
    int axis;
    float normal[3];
    int32_t attributes;  // requested level in bits 0-7, mark protection in 8-15
    uint8_t level;       // the level taken: powers of two as asked, else 8
};

class PlaceholderLine : public ::testing::TestWithParam<LineCase> {};

// The point takes the requested level; marks sit at offsets -reach .. reach
// (not 0) along the dominant axis of the selected normal, at voxel centres,
// with the normal, the level and the protection byte of the selection; no
// update reaches the host.
TEST_P(PlaceholderLine, FollowsTheDominantAxis) {
    const LineCase& line = GetParam();
    auto engine = makeEngine(line.resolution);
    ASSERT_NE(engine, nullptr);
    const PointData selected =
        buildOne(*engine, line.normal[0], line.normal[1], line.normal[2], line.attributes);
    ASSERT_EQ(engine->setFineScanArea(&selected, 1), 0);
    EXPECT_EQ(theRecord(*engine).scan_level, line.level);
    EXPECT_EQ(theRecord(*engine).protected_flag, 0) << "fine-scan never protects the point";

    const Int3 c = fusion::voxelOf(selected.position, line.resolution);
    std::set<int> offsets, expected;
    for (const FusionPoint& m : recordsWhere(*engine, isMark)) {
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
    EXPECT_TRUE(drainUpdates(*engine).empty());
}

INSTANTIATE_TEST_SUITE_P(
    AreaMarks, PlaceholderLine,
    ::testing::Values(LineCase{1.0f, 1, 0, {1, 0, 0}, 16 | 256, 16},
                      LineCase{2.0f, 1, 1, {0.6f, -0.8f, 0}, 0, 8},
                      LineCase{0.5f, 2, 2, {0, 0.6f, 0.8f}, 12 | 256, 8},
                      LineCase{0.2f, 2, 0, {-0.8f, 0.6f, 0}, 100, 8},
                      // 0.1f lies just above one tenth; ties go to y
                      LineCase{0.1f, 2, 1, {0.6f, 0.6f, 0.52915f}, 1, 1},
                      LineCase{0.09f, 3, 2, {0, 0.70710677f, 0.70710677f}, 128, 128},  // and to z
                      LineCase{0.05f, 3, 2, {0, 0, -1}, 0x7FFF0140, 64}));

// A protected point in a fine-scan selection takes the level but no marks;
// a selection facing away from the stored point changes nothing at all.
TEST(AreaMarks, ProtectedOrFacingAwayPointsLayNoMarks) {
    auto engine = makeEngine(0.5f);
    ASSERT_NE(engine, nullptr);
    PointData selected = buildOne(*engine, 0, 0, 1, 64);
    theRecord(*engine).protected_flag = 1;
    ASSERT_EQ(engine->setFineScanArea(&selected, 1), 0);
    EXPECT_EQ(theRecord(*engine).scan_level, 64);
    EXPECT_EQ(engine->m_point_next.load(), 1);

    const FusionPoint before = theRecord(*engine);
    selected.normal[2] = -1;
    ASSERT_EQ(engine->setFineScanArea(&selected, 1), 0);
    ASSERT_EQ(engine->setProtectedArea(&selected, 1, true), 0);
    EXPECT_EQ(std::memcmp(&before, &theRecord(*engine), sizeof(FusionPoint)), 0);
    EXPECT_EQ(engine->m_point_next.load(), 1);
    EXPECT_EQ(engine->setFineScanArea(nullptr, 1), 1);
    EXPECT_EQ(engine->setProtectedArea(&selected, 0, false), 1);
}

// Protection set and lifted again: the point and the marks already laid
// around it follow, the level is never touched, and deletion respects it.
TEST(AreaMarks, ProtectionCanBeLiftedAgain) {
    auto engine = makeEngine(0.5f);
    ASSERT_NE(engine, nullptr);
    const PointData selected = buildOne(*engine, 0, 0, 1, 16);
    theRecord(*engine).scan_level = 32;
    for (const bool unprotect : {false, true}) {
        ASSERT_EQ(engine->setProtectedArea(&selected, 1, unprotect), 0);
        EXPECT_EQ(theRecord(*engine).protected_flag, unprotect ? 0 : 1);
        EXPECT_EQ(theRecord(*engine).scan_level, 32);
        const auto marks = recordsWhere(*engine, isMark);
        ASSERT_EQ(marks.size(), 4u) << "marks are re-marked, not laid twice";
        for (const FusionPoint& m : marks) {
            EXPECT_EQ(m.protected_flag, unprotect ? 0 : 1);
        }
        ASSERT_EQ(engine->deleteSelectedArea(&selected, 1), 0);
        EXPECT_EQ(recordsWhere(*engine, isLive).size(), unprotect ? 0u : 1u);
    }
}

}  // namespace
