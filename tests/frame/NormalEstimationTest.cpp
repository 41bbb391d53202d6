// Normals from the facing neighbourhood: the eigen wrapper, the acceptance
// tests of the per-frame estimator and its throttle, the adoption rules of the
// reorganisation estimator, and normals on an analytic sphere.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "engine/HashTable.h"
#include "frame/EigenSolver.h"
#include "support/EngineFixture.h"
#include "support/LayerHelpers.h"

namespace {

using fusion::FusionPoint;
using fusion::HashTable;
using fusion_test::placeRecord;
using fusion_test::recordTemplate;

// ---- eigen wrapper ------------------------------------------------------------

void expectEigenPairs(const double m[9]) {
    double vectors[9], values[3];
    double copy[9];
    for (int i = 0; i < 9; ++i) copy[i] = m[i];
    fusion::symmetricEigen3(copy, vectors, values);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(copy[i], m[i]) << "input modified";
    EXPECT_GE(values[0], values[1]);
    EXPECT_GE(values[1], values[2]);
    for (int r = 0; r < 3; ++r) {
        const double* v = vectors + 3 * r;
        for (int i = 0; i < 3; ++i) {
            const double mv = m[3 * i] * v[0] + m[3 * i + 1] * v[1] + m[3 * i + 2] * v[2];
            EXPECT_NEAR(mv, values[r] * v[i], 1e-9) << "row " << r;
        }
        for (int s = 0; s < 3; ++s) {
            const double* w = vectors + 3 * s;
            EXPECT_NEAR(v[0] * w[0] + v[1] * w[1] + v[2] * w[2], r == s ? 1.0 : 0.0, 1e-12);
        }
    }
}

TEST(SymmetricEigen, DiagonalMatrixSortedDescendingWithRowVectors) {
    const double m[9] = {1, 0, 0, 0, 3, 0, 0, 0, 2};
    double vectors[9], values[3];
    fusion::symmetricEigen3(m, vectors, values);
    EXPECT_DOUBLE_EQ(values[0], 3.0);
    EXPECT_DOUBLE_EQ(values[1], 2.0);
    EXPECT_DOUBLE_EQ(values[2], 1.0);
    EXPECT_DOUBLE_EQ(std::fabs(vectors[1]), 1.0);  // row 0 is +-y
    EXPECT_DOUBLE_EQ(std::fabs(vectors[5]), 1.0);  // row 1 is +-z
    EXPECT_DOUBLE_EQ(std::fabs(vectors[6]), 1.0);  // row 2 is +-x
    expectEigenPairs(m);
}

TEST(SymmetricEigen, RandomSymmetricMatricesSatisfyEigenEquation) {
    std::mt19937 rng(1234);
    std::uniform_real_distribution<double> u(-10.0, 10.0);
    for (int trial = 0; trial < 50; ++trial) {
        double m[9];
        for (int i = 0; i < 3; ++i)
            for (int j = i; j < 3; ++j) m[3 * i + j] = m[3 * j + i] = u(rng);
        expectEigenPairs(m);
    }
}

// ---- neighbourhoods -----------------------------------------------------------

// Stored positions of the record at grid cell (i, j), i, j in -2..2.
using Shape = std::function<void(int i, int j, float out[3])>;

Shape plane(float sx, float sy) {
    return [=](int i, int j, float out[3]) {
        out[0] = sx * i;
        out[1] = sy * j;
        out[2] = 0.0f;
    };
}
// Points on the x axis only: no second direction of spread.
Shape line() {
    return [](int i, int j, float out[3]) {
        out[0] = 0.2f * (i + 5 * j);
        out[1] = 0.0f;
        out[2] = 0.0f;
    };
}
// A plane with a checkerboard of heights +-h: a third spread of about 25 h^2
// that does not correlate with x or y.
Shape corrugated(float sx, float sy, float h) {
    return [=](int i, int j, float out[3]) {
        out[0] = sx * i;
        out[1] = sy * j;
        out[2] = ((i + j) % 2 == 0) ? -h : h;
    };
}

// Fills the 5x5 voxels (i, j, 0) around the origin with records facing
// `normal`, each stored at shape(i, j) whatever its voxel. Returns the centre.
FusionPoint* buildPatch(HashTable& engine, const Shape& shape, const float normal[3],
                        const std::vector<std::pair<int, int>>& cells = {}) {
    std::vector<std::pair<int, int>> used = cells;
    if (used.empty())
        for (int j = -2; j <= 2; ++j)
            for (int i = -2; i <= 2; ++i) used.emplace_back(i, j);
    const float r = engine.m_resolution;
    FusionPoint* centre = nullptr;
    for (const auto& cell : used) {
        const float at[3] = {cell.first * r, cell.second * r, 0.0f};
        float stored[3];
        shape(cell.first, cell.second, stored);
        const int32_t index = placeRecord(engine, at, recordTemplate(stored, normal, 2), false);
        EXPECT_GE(index, 0);
        if (cell.first == 0 && cell.second == 0) centre = engine.pointAt(index);
    }
    return centre;
}

// ---- per-frame estimator ------------------------------------------------------

struct AcceptanceCase {
    const char* name;
    Shape shape;
    bool accepted;
};

class FrameNormalAcceptance : public ::testing::TestWithParam<AcceptanceCase> {};

TEST_P(FrameNormalAcceptance, OnlyClearPlanesReplaceTheNormal) {
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    const float normal[3] = {0.0f, 0.0f, -0.9f};
    FusionPoint* centre = buildPatch(*engine, GetParam().shape, normal);
    ASSERT_NE(centre, nullptr);

    const bool result = engine->estimateFrameNormal(centre);
    EXPECT_EQ(result, GetParam().accepted);
    if (GetParam().accepted) {
        // Oriented like the old normal, rescaled to unit length.
        EXPECT_NEAR(centre->normal[0], 0.0f, 1e-6f);
        EXPECT_NEAR(centre->normal[1], 0.0f, 1e-6f);
        EXPECT_NEAR(centre->normal[2], -1.0f, 1e-6f);
        EXPECT_EQ(centre->normal_fresh_flag, 1);
        EXPECT_EQ(centre->normal_update_count, 1);
    } else {
        EXPECT_EQ(centre->normal[2], -0.9f);
        EXPECT_EQ(centre->normal_fresh_flag, 0);
        EXPECT_EQ(centre->normal_update_count, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, FrameNormalAcceptance,
    ::testing::Values(
        // l0 = l1 = 50, l2 = 0.
        AcceptanceCase{"SquarePlane", plane(1.0f, 1.0f), true},
        // l1 = l2 = 0: fails the first test.
        AcceptanceCase{"Line", line(), false},
        // 50, 50, ~36: the third spread is not thin enough.
        AcceptanceCase{"ThickSlab", corrugated(1.0f, 1.0f, 1.2f), false},
        // 50, 20, ~9: thin, but (l1 - l2) / l0 = 0.22 is too small.
        AcceptanceCase{"NarrowCorrugated", corrugated(1.0f, 0.632456f, 0.6f), false},
        // 50, 8, 0: too elongated.
        AcceptanceCase{"Strip", plane(1.0f, 0.4f), false}),
    [](const ::testing::TestParamInfo<AcceptanceCase>& info) { return info.param.name; });

TEST(FrameNormal, PerpendicularEstimateHasNoOrientationAndIsRejected) {
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    // The plane z = 0 gives (0, 0, +-1), perpendicular to the stored normal.
    const float normal[3] = {1.0f, 0.0f, 0.0f};
    FusionPoint* centre = buildPatch(*engine, plane(1.0f, 1.0f), normal);
    ASSERT_NE(centre, nullptr);
    EXPECT_FALSE(engine->estimateFrameNormal(centre));
    EXPECT_EQ(centre->normal[0], 1.0f);
    EXPECT_EQ(centre->normal[2], 0.0f);
    EXPECT_EQ(centre->normal_update_count, 0);
}

TEST(FrameNormal, MissingOrEmptyRecordIsNotIntegrated) {
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    EXPECT_FALSE(engine->estimateFrameNormal(nullptr));
    const float normal[3] = {0.0f, 0.0f, 1.0f};
    FusionPoint* centre = buildPatch(*engine, plane(1.0f, 1.0f), normal);
    ASSERT_NE(centre, nullptr);
    centre->observation_count = 0;
    centre->normal_update_count = 41;  // even a final normal needs data
    EXPECT_FALSE(engine->estimateFrameNormal(centre));
}

// Neighbour cells of a 3 x 4 rectangle (12 records, centre included).
std::vector<std::pair<int, int>> rectangleCells(int count) {
    std::vector<std::pair<int, int>> cells;
    for (int j = -1; j <= 2; ++j)
        for (int i = -1; i <= 1; ++i) cells.emplace_back(i, j);
    cells.resize(count);  // drops from the far corner (1, 2) backwards
    return cells;
}

class NeighbourMinimum : public ::testing::TestWithParam<int> {};

TEST_P(NeighbourMinimum, BothEstimatorsNeedTwelveFacingNeighbours) {
    const int count = GetParam();
    const bool enough = count >= 12;
    const float normal[3] = {0.0f, 0.0f, -0.9f};
    {
        auto engine = fusion_test::makeEngine(1.0f);
        ASSERT_TRUE(engine);
        FusionPoint* centre = buildPatch(*engine, plane(1.0f, 1.0f), normal, rectangleCells(count));
        ASSERT_NE(centre, nullptr);
        EXPECT_EQ(engine->estimateFrameNormal(centre), enough);
        EXPECT_EQ(centre->normal[2], enough ? -1.0f : -0.9f);
        EXPECT_EQ(centre->normal_update_count, enough ? 1 : 0);
    }
    {
        auto engine = fusion_test::makeEngine(0.5f);
        ASSERT_TRUE(engine);
        FusionPoint* centre = buildPatch(*engine, plane(1.0f, 1.0f), normal, rectangleCells(count));
        ASSERT_NE(centre, nullptr);
        float out[3] = {42.0f, 42.0f, 42.0f};
        EXPECT_EQ(engine->reestimateNormal(centre, out), enough);
        if (enough) {
            EXPECT_NEAR(out[2], -1.0f, 1e-6f);
        } else {
            // No estimate was made: the out normal is not written.
            EXPECT_EQ(out[0], 42.0f);
            EXPECT_EQ(out[1], 42.0f);
            EXPECT_EQ(out[2], 42.0f);
            EXPECT_EQ(centre->normal[2], -0.9f);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, NeighbourMinimum, ::testing::Values(11, 12));

// ---- throttle -----------------------------------------------------------------

struct ThrottleCase {
    int counter;
    int fresh;
    bool good_patch;  // a patch that would be accepted if estimated
    bool result;
    int counter_after;
    int fresh_after;
    bool normal_replaced;
};

class FrameNormalThrottle : public ::testing::TestWithParam<ThrottleCase> {};

TEST_P(FrameNormalThrottle, CounterAndFreshFlagDecideWhetherToEstimate) {
    const ThrottleCase& c = GetParam();
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    const float normal[3] = {0.0f, 0.0f, -0.9f};
    FusionPoint* centre =
        buildPatch(*engine, c.good_patch ? plane(1.0f, 1.0f) : line(), normal);
    ASSERT_NE(centre, nullptr);
    centre->normal_update_count = static_cast<uint8_t>(c.counter);
    centre->normal_fresh_flag = static_cast<uint8_t>(c.fresh);

    EXPECT_EQ(engine->estimateFrameNormal(centre), c.result);
    EXPECT_EQ(centre->normal_update_count, c.counter_after);
    EXPECT_EQ(centre->normal_fresh_flag, c.fresh_after);
    EXPECT_EQ(centre->normal[2], c.normal_replaced ? -1.0f : -0.9f);
}

INSTANTIATE_TEST_SUITE_P(
    Counters, FrameNormalThrottle,
    ::testing::Values(
        // Final normal: integrated, never estimated again.
        ThrottleCase{41, 1, true, true, 41, 1, false},
        ThrottleCase{41, 0, false, true, 41, 0, false},
        // Fresh normal waits and counts the call.
        ThrottleCase{3, 1, true, false, 4, 1, false},
        ThrottleCase{40, 1, true, false, 41, 1, false},
        // Counters 9, 19, 29, 39 clear the flag and estimate again.
        ThrottleCase{9, 1, true, true, 10, 1, true},
        ThrottleCase{19, 1, true, true, 20, 1, true},
        ThrottleCase{29, 1, true, true, 30, 1, true},
        ThrottleCase{39, 1, true, true, 40, 1, true},
        // A failed estimate leaves the flag cleared and the counter alone.
        ThrottleCase{9, 1, false, false, 9, 0, false},
        // Not fresh: every call estimates.
        ThrottleCase{0, 0, true, true, 1, 1, true},
        ThrottleCase{5, 0, false, false, 5, 0, false}));

TEST(FrameNormalThrottle, RepeatedCallsEstimateAtTheDesignedSteps) {
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    const float normal[3] = {0.0f, 0.0f, 1.0f};
    FusionPoint* centre = buildPatch(*engine, plane(1.0f, 1.0f), normal);
    ASSERT_NE(centre, nullptr);

    std::vector<int> estimated;  // calls (1-based) that replaced the normal
    std::vector<int> integrated;
    for (int call = 1; call <= 60; ++call) {
        centre->normal[0] = 0.1f;  // a replaced normal loses this tilt
        const bool result = engine->estimateFrameNormal(centre);
        if (result) integrated.push_back(call);
        if (centre->normal[0] == 0.0f) estimated.push_back(call);
    }
    EXPECT_EQ(estimated, (std::vector<int>{1, 10, 20, 30, 40}));
    std::vector<int> expected = {1, 10, 20, 30, 40};
    for (int call = 42; call <= 60; ++call) expected.push_back(call);
    EXPECT_EQ(integrated, expected);
}

// ---- reorganisation estimator -------------------------------------------------

struct AdoptionCase {
    const char* name;
    Shape shape;
    float resolution;
    float normal[3];
    bool adopted;
    float adopted_z;  // z of the new normal when adopted
};

class ReestimateAdoption : public ::testing::TestWithParam<AdoptionCase> {};

TEST_P(ReestimateAdoption, RulesDependOnResolution) {
    const AdoptionCase& c = GetParam();
    auto engine = fusion_test::makeEngine(c.resolution);
    ASSERT_TRUE(engine);
    FusionPoint* centre = buildPatch(*engine, c.shape, c.normal);
    ASSERT_NE(centre, nullptr);
    centre->normal_update_count = 5;
    centre->normal_fresh_flag = 1;

    float out[3] = {42.0f, 42.0f, 42.0f};
    EXPECT_EQ(engine->reestimateNormal(centre, out), c.adopted);
    if (c.adopted) {
        EXPECT_NEAR(out[0], 0.0f, 1e-6f);
        EXPECT_NEAR(out[1], 0.0f, 1e-6f);
        EXPECT_NEAR(out[2], c.adopted_z, 1e-6f);
        for (int k = 0; k < 3; ++k) EXPECT_EQ(centre->normal[k], out[k]);
    } else {
        // Estimated but not adopted: out reports the unchanged normal.
        for (int k = 0; k < 3; ++k) {
            EXPECT_EQ(out[k], c.normal[k]);
            EXPECT_EQ(centre->normal[k], c.normal[k]);
        }
    }
    // The per-frame throttle is not this estimator's business.
    EXPECT_EQ(centre->normal_update_count, 5);
    EXPECT_EQ(centre->normal_fresh_flag, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ReestimateAdoption,
    ::testing::Values(
        // Middle resolutions need a pronounced plane.
        AdoptionCase{"SquareAtHalf", plane(1.0f, 1.0f), 0.5f, {0.0f, 0.0f, -0.9f}, true, -1.0f},
        AdoptionCase{"StripAtHalf", plane(1.0f, 0.4f), 0.5f, {0.0f, 0.43589f, 0.9f}, false, 0.0f},
        // Coarse voxels take an estimate that agrees with the current normal.
        AdoptionCase{"StripAgreeingAtTwo", plane(1.0f, 0.4f), 2.0f, {0.0f, 0.43589f, 0.9f}, true,
                     1.0f},
        AdoptionCase{"StripAgreeingBackwardsAtTwo", plane(1.0f, 0.4f), 2.0f,
                     {0.0f, 0.43589f, -0.9f}, true, -1.0f},
        AdoptionCase{"StripDisagreeingAtTwo", plane(1.0f, 0.4f), 2.0f, {0.0f, 0.71414f, 0.7f},
                     false, 0.0f},
        // Fine resolutions take any clear plane.
        AdoptionCase{"StripAtFine", plane(1.0f, 0.4f), 0.05f, {0.0f, 0.71414f, 0.7f}, true, 1.0f},
        AdoptionCase{"LineAtFine", line(), 0.05f, {0.0f, 0.71414f, 0.7f}, false, 0.0f},
        // Adopted by the rules but perpendicular: no orientation to keep.
        AdoptionCase{"SquarePerpendicular", plane(1.0f, 1.0f), 1.0f, {1.0f, 0.0f, 0.0f}, false,
                     0.0f}),
    [](const ::testing::TestParamInfo<AdoptionCase>& info) { return info.param.name; });

// ---- analytic sphere ----------------------------------------------------------

class SphereNormals : public ::testing::TestWithParam<float> {};

// Records sampled from a sphere with noisy radial normals: every accepted
// estimate is radial again and keeps the side the normals were given.
TEST_P(SphereNormals, EstimatesAreRadialAndKeepOrientation) {
    const float sign = GetParam();
    auto engine = fusion_test::makeEngine(1.0f);
    ASSERT_TRUE(engine);
    const float radius = 12.0f;
    const float centre[3] = {3.0f, -2.0f, 5.0f};
    std::mt19937 rng(7);
    std::normal_distribution<float> jitter(0.0f, 0.15f);

    const int samples = 8000;
    const double golden = 3.14159265358979323846 * (3.0 - std::sqrt(5.0));
    for (int s = 0; s < samples; ++s) {
        const double z = 1.0 - 2.0 * (s + 0.5) / samples;
        const double ring = std::sqrt(1.0 - z * z);
        const double phi = golden * s;
        const float dir[3] = {static_cast<float>(ring * std::cos(phi)),
                              static_cast<float>(ring * std::sin(phi)), static_cast<float>(z)};
        float p[3], n[3];
        for (int k = 0; k < 3; ++k) {
            p[k] = centre[k] + radius * dir[k];
            n[k] = sign * dir[k] + jitter(rng);
        }
        FusionPoint incoming = recordTemplate(p, n, 1);
        int32_t index = -1;
        FusionPoint* stored = nullptr;
        engine->addObservation(p, n, incoming, index, stored);
    }

    const int32_t records = engine->readablePointCount();
    ASSERT_GT(records, 1000);
    int accepted = 0;
    float worst = 0.0f;
    for (int32_t i = 0; i < records; ++i) {
        FusionPoint* point = engine->pointAt(i);
        if (point->observation_count == 0) continue;
        if (!engine->estimateFrameNormal(point)) continue;
        ++accepted;
        float radial[3];
        for (int k = 0; k < 3; ++k) radial[k] = sign * (point->position[k] - centre[k]);
        worst = std::max(worst, fusion_test::angleDegrees(point->normal, radial));
        const float length = std::sqrt(point->normal[0] * point->normal[0] +
                                       point->normal[1] * point->normal[1] +
                                       point->normal[2] * point->normal[2]);
        EXPECT_NEAR(length, 1.0f, 1e-5f);
    }
    // Almost every record sits in a full 5x5 patch of the surface.
    EXPECT_GT(accepted, records * 8 / 10);
    // The given normals are off by about 12 degrees. The fitted plane is
    // radial at the patch's centroid, which is the centre of the voxel's
    // 5x5x5 cube rather than the point, so up to ~0.9 voxel away: about 4.5
    // degrees on a radius of 12 voxels.
    EXPECT_LT(worst, 6.0f);
}

INSTANTIATE_TEST_SUITE_P(Orientation, SphereNormals, ::testing::Values(1.0f, -1.0f));

}  // namespace
