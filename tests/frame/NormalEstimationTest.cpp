// Normals from the facing neighbourhood: per-frame and reorganisation estimators.

#include <gtest/gtest.h>

#include <vector>

#include "frame/NormalEstimation.h"
#include "support/TestSupport.h"

namespace {

using namespace fusion_test;

// Stored positions of a 5x5 patch, cell (i, j) at (sx i, sy j, +-h) with the
// height alternating like a checkerboard (a third spread of about 25 h^2
// that does not correlate with x or y). A line puts every cell on the x axis.
struct Shape {
    float sx, sy, h;
    bool line;
    void at(int i, int j, float out[3]) const {
        out[0] = line ? 0.2f * (i + 5 * j) : sx * i;
        out[1] = line ? 0.0f : sy * j;
        out[2] = ((i + j) % 2 == 0) ? -h : h;
    }
};
constexpr Shape kSquare{1.0f, 1.0f, 0.0f, false};  // spreads 50, 50, 0
constexpr Shape kStrip{1.0f, 0.4f, 0.0f, false};   // 50, 8, 0
constexpr Shape kLine{0.0f, 0.0f, 0.0f, true};     // 125, 0, 0

// Records facing `normal` in the voxels (i, j, 0) around kAt, stored at shape
// positions (shifted with the patch) whatever their voxel. Returns the centre
// record. Off the origin, so that a fit that forgets the centroid tilts.
constexpr int kAt[3] = {8, -4, 16};
FusionPoint* buildPatch(Volume& volume, const Shape& shape, const float normal[3],
                        std::vector<std::pair<int, int>> cells = {}) {
    if (cells.empty())
        for (int j = -2; j <= 2; ++j)
            for (int i = -2; i <= 2; ++i) cells.emplace_back(i, j);
    const float r = volume.resolution();
    FusionPoint* centre = nullptr;
    for (const auto& cell : cells) {
        const FoundPoint placed =
            place(volume, observation((kAt[0] + cell.first) * r, (kAt[1] + cell.second) * r,
                                      kAt[2] * r, normal[0], normal[1], normal[2], 8, 0, 2));
        EXPECT_TRUE(placed);
        shape.at(cell.first, cell.second, placed.record->position);
        for (int k = 0; k < 3; ++k) placed.record->position[k] += kAt[k] * r;
        if (cell.first == 0 && cell.second == 0) centre = placed.record;
    }
    return centre;
}

TEST(FrameNormal, OnlyClearPlanesReplaceTheNormal) {
    struct Case {
        Shape shape;
        bool accepted;
    };
    const Case cases[] = {
        {kSquare, true},
        {kLine, false},                           // l1 = 0: fails the first test
        {{1.0f, 1.0f, 1.2f, false}, false},       // 50, 50, ~36: not thin enough
        {{1.0f, 0.632456f, 0.6f, false}, false},  // (l1 - l2) / l0 = 0.22 too small
        {kStrip, false},                          // (l1 - l2) / l0 = 0.16
        {{1.0f, 0.6f, 0.0f, false}, true}};       // 0.36: just plane enough
    for (const Case& c : cases) {
        TestVolume t(1.0f);
        const float normal[3] = {0.0f, 0.0f, -0.9f};
        FusionPoint* centre = buildPatch(t.volume, c.shape, normal);
        ASSERT_NE(centre, nullptr);
        EXPECT_EQ(fusion::estimateFrameNormal(t.volume, centre), c.accepted)
            << c.shape.sy << " " << c.shape.h;
        // Accepted: unit length, oriented like the old normal.
        EXPECT_NEAR(centre->normal[0], 0.0f, 1e-6f);
        EXPECT_NEAR(centre->normal[2], c.accepted ? -1.0f : -0.9f, 1e-6f);
        EXPECT_EQ(centre->normal_fresh_flag, c.accepted ? 1 : 0);
        EXPECT_EQ(centre->normal_update_count, c.accepted ? 1 : 0);
    }
}

// The first `count` cells of a 3 x 4 rectangle (spreads 15, 8, 0 when full).
TEST(FrameNormal, BothEstimatorsNeedTwelveFacingNeighbours) {
    for (const int count : {11, 12}) {
        const bool enough = count >= 12;
        std::vector<std::pair<int, int>> cells;
        for (int j = -1; j <= 2; ++j)
            for (int i = -1; i <= 1; ++i) cells.emplace_back(i, j);
        cells.resize(count);
        const float normal[3] = {0.0f, 0.0f, -0.9f};
        for (const float resolution : {1.0f, 0.5f}) {
            TestVolume t(resolution);
            FusionPoint* centre = buildPatch(t.volume, kSquare, normal, cells);
            ASSERT_NE(centre, nullptr);
            float out[3] = {42.0f, 42.0f, 42.0f};
            const bool result = resolution == 1.0f
                                    ? fusion::estimateFrameNormal(t.volume, centre)
                                    : fusion::reestimateNormal(t.volume, centre, out);
            EXPECT_EQ(result, enough) << count;
            EXPECT_NEAR(centre->normal[2], enough ? -1.0f : -0.9f, 1e-6f);
            if (!enough) {
                EXPECT_EQ(out[2], 42.0f) << "without an estimate the out normal is not written";
            }
        }
    }
}

TEST(FrameNormal, ThrottleEstimatesAtTheDesignedStepsThenTurnsFinal) {
    TestVolume t(1.0f);
    const float normal[3] = {0.0f, 0.0f, 1.0f};
    FusionPoint* centre = buildPatch(t.volume, kSquare, normal);
    ASSERT_NE(centre, nullptr);
    std::vector<int> estimated, integrated;  // 1-based call numbers
    for (int call = 1; call <= 60; ++call) {
        centre->normal[0] = 0.1f;  // an estimate removes this tilt
        if (fusion::estimateFrameNormal(t.volume, centre)) integrated.push_back(call);
        if (centre->normal[0] == 0.0f) estimated.push_back(call);
    }
    EXPECT_EQ(estimated, (std::vector<int>{1, 10, 20, 30, 40}));
    std::vector<int> expected = estimated;
    for (int call = 42; call <= 60; ++call) expected.push_back(call);
    EXPECT_EQ(integrated, expected);
    EXPECT_EQ(centre->normal_update_count, 41);

    // A failed estimate at a due step clears the flag and keeps the counter,
    // so the next call estimates again.
    TestVolume lined(1.0f);
    FusionPoint* point = buildPatch(lined.volume, kLine, normal);
    point->normal_update_count = 9;
    point->normal_fresh_flag = 1;
    EXPECT_FALSE(fusion::estimateFrameNormal(lined.volume, point));
    EXPECT_EQ(point->normal_update_count, 9);
    EXPECT_EQ(point->normal_fresh_flag, 0);
    EXPECT_FALSE(fusion::estimateFrameNormal(lined.volume, nullptr));
}

// Middle resolutions need a pronounced plane, coarse ones an estimate within
// |d| > 0.8 of the normal, fine ones any clear plane; d = 0 has no side to keep.
TEST(Reestimate, AdoptionRulesDependOnResolution) {
    struct Case {
        const char* name;
        Shape shape;
        float resolution;
        float normal[3];
        bool adopted;
        float adopted_z;
    };
    const Case cases[] = {
        {"SquareAtHalf", kSquare, 0.5f, {0.0f, 0.0f, -0.9f}, true, -1.0f},
        {"StripAtHalf", kStrip, 0.5f, {0.0f, 0.43589f, 0.9f}, false, 0.0f},
        {"StripAgreeingAtTwo", kStrip, 2.0f, {0.0f, 0.43589f, 0.9f}, true, 1.0f},
        {"StripBackwardsAtTwo", kStrip, 2.0f, {0.0f, 0.43589f, -0.9f}, true, -1.0f},
        {"StripDisagreeingAtTwo", kStrip, 2.0f, {0.0f, 0.71414f, 0.7f}, false, 0.0f},
        {"StripAtFine", kStrip, 0.05f, {0.0f, 0.71414f, 0.7f}, true, 1.0f},
        {"LineAtFine", kLine, 0.05f, {0.0f, 0.71414f, 0.7f}, false, 0.0f},
        {"SquarePerpendicular", kSquare, 1.0f, {1.0f, 0.0f, 0.0f}, false, 0.0f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestVolume t(c.resolution);
        FusionPoint* centre = buildPatch(t.volume, c.shape, c.normal);
        ASSERT_NE(centre, nullptr);
        centre->normal_update_count = 5;
        centre->normal_fresh_flag = 1;
        float out[3] = {42.0f, 42.0f, 42.0f};
        EXPECT_EQ(fusion::reestimateNormal(t.volume, centre, out), c.adopted);
        const float expected[3] = {0.0f, 0.0f, c.adopted_z};
        for (int k = 0; k < 3; ++k) {
            // Not adopted: out reports the unchanged normal.
            EXPECT_NEAR(out[k], c.adopted ? expected[k] : c.normal[k], 1e-6f);
            EXPECT_EQ(centre->normal[k], out[k]);
        }
        EXPECT_EQ(centre->normal_update_count, 5)
            << "the per-frame throttle is not this estimator's business";
        EXPECT_EQ(centre->normal_fresh_flag, 1);
    }
}

}  // namespace
