// The reorganisation pass: the records it visits and the markers it lays.

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "frame/Reorganisation.h"
#include "support/TestSupport.h"

namespace {

using namespace fusion_test;

std::vector<FusionPoint> recordsFrom(const Volume& volume, int32_t first) {
    std::vector<FusionPoint> out;
    for (int32_t i = first; i < volume.readablePointCount(); ++i) out.push_back(*volume.pointAt(i));
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
    TestVolume t(0.5f);
    Volume& volume = t.volume;
    const float normal[3] = {0.2f, -0.9f, 0.1f};
    ASSERT_NE(putRecord(volume, 5.0f, 10.0f, 15.0f, normal, 3, 32), nullptr);  // voxel (10, 20, 30)
    const FusionPoint before = *volume.pointAt(0);
    EXPECT_EQ(fusion::dataOrganize(volume, 4), nullptr);
    EXPECT_TRUE(sameBytes(*volume.pointAt(0), before));

    const auto markers = recordsFrom(volume, 1);
    ASSERT_EQ(markers.size(), 4u);
    const float expected_y[4] = {9.0f, 9.5f, 10.5f, 11.0f};  // voxels 18, 19, 21, 22 in order
    for (int m = 0; m < 4; ++m) {
        EXPECT_EQ(markers[m].position[0], 5.0f);
        EXPECT_EQ(markers[m].position[1], expected_y[m]);
        EXPECT_EQ(markers[m].position[2], 15.0f);
        expectMarker(markers[m], normal, 32, 0);
    }

    // Later passes visit the markers: the outer ones reach two voxels further
    // each pass (a pass reads its bound once); marked voxels keep their marker.
    fusion::dataOrganize(volume, 4);
    const auto all = recordsFrom(volume, 0);
    ASSERT_EQ(all.size(), 9u);
    for (int i = 1; i < 5; ++i) EXPECT_TRUE(sameBytes(all[i], markers[i - 1]));
    std::vector<int> rows;
    for (int i = 5; i < 9; ++i) {
        expectMarker(all[i], normal, 32, 0);
        rows.push_back(fusion::voxelOf(all[i].position, 0.5f).y);
    }
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, (std::vector<int>{16, 17, 23, 24}));
    fusion::dataOrganize(volume, 4);
    EXPECT_EQ(volume.readablePointCount(), 13);
}

// A protected record on a clear plane is re-estimated and merged quietly upward.
TEST(Reorganisation, ProtectedRecordIsReestimatedAndMergedAgain) {
    TestVolume t(0.5f);
    Volume& volume = t.volume;
    const float tilted[3] = {0.0f, 0.3f, 0.9f};
    FusionPoint* centre = nullptr;
    for (int j = -2; j <= 2; ++j)
        for (int i = -2; i <= 2; ++i) {
            const bool middle = i == 0 && j == 0;
            FusionPoint* r = putRecord(volume, 0.5f * i, 0.5f * j, 0.0f, tilted, 1, 8, middle);
            if (middle) centre = r;
        }
    FusionPoint* above = putRecord(volume, 0.0f, 0.0f, 0.45f, tilted, 3);
    const int32_t id_centre = centre->view_id;

    fusion::dataOrganize(volume, 4);
    EXPECT_EQ(above->observation_count, 4);
    EXPECT_FLOAT_EQ(above->position[2], 3 * 0.45f / 4);
    EXPECT_EQ(above->normal[2], 0.9f) << "the survivor keeps its own normal";
    // Ordinary: cleared, its id recycled without an update, nothing to mark.
    EXPECT_EQ(centre->observation_count, 0);
    ASSERT_EQ(volume.viewIds().freeCount(), 1);
    EXPECT_EQ(volume.viewIds().allocate(), id_centre);
    EXPECT_EQ(volume.readablePointCount(), 26);
}

TEST(Reorganisation, ProtectedRecordWithTooFewNeighboursKeepsItsNormalButIsMarked) {
    TestVolume t(0.5f);
    Volume& volume = t.volume;
    const float tilted[3] = {0.0f, 0.3f, 0.9f};
    // Eleven facing records, itself and the layer above included.
    ASSERT_NE(putRecord(volume, 0.0f, 0.0f, 0.0f, tilted, 1, 8, true), nullptr);
    const int cells[9][2] = {{-1, -1}, {0, -1}, {1, -1}, {-1, 0}, {1, 0},
                             {-1, 1},  {0, 1},  {1, 1},  {2, 2}};
    for (const auto& cell : cells) putRecord(volume, 0.5f * cell[0], 0.5f * cell[1], 0.0f, tilted);
    putRecord(volume, 0.0f, 0.0f, 0.5f, tilted, 5);
    const std::vector<FusionPoint> before = recordsFrom(volume, 0);

    fusion::dataOrganize(volume, 4);
    for (std::size_t i = 0; i < before.size(); ++i)
        EXPECT_TRUE(sameBytes(*volume.pointAt(int32_t(i)), before[i])) << "ordinary ones too";
    // z + 1 holds the unabsorbed layer, which a marker leaves alone.
    const auto markers = recordsFrom(volume, static_cast<int32_t>(before.size()));
    ASSERT_EQ(markers.size(), 3u);
    for (const auto& m : markers) expectMarker(m, tilted, 8, 1);
}

}  // namespace
