// The benchmark figures are only as good as their statistics and workloads:
// a wrong percentile, or a model whose points fuse into fewer records than
// were given, would make every reported rate wrong.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "../../bench/Workloads.h"
#include "support/TestSupport.h"
#include "volume/Coordinates.h"

namespace {

using kelvane_bench::Samples;

TEST(BenchSamples, QuantileInterpolatesBetweenOrderStatistics) {
    const std::tuple<std::vector<double>, double, double> cases[] = {
        {{5, 1, 4, 2, 3}, 0.5, 3.0}, {{5, 1, 4, 2, 3}, 0.95, 4.8}, {{4, 1, 3, 2}, 0.5, 2.5},
        {{4, 1, 3, 2}, 0.0, 1.0},    {{4, 1, 3, 2}, 1.0, 4.0},     {{7}, 0.95, 7.0}, {{}, 0.5, 0.0}};
    for (const auto& [values, q, expected] : cases) {
        Samples samples;
        for (double v : values) samples.add(v);
        EXPECT_DOUBLE_EQ(samples.quantile(q), expected) << values.size() << " values, q " << q;
    }
}

// Asking must not reorder what was recorded (window medians rely on it).
TEST(BenchSamples, PercentilesOfAShuffledRampMatchTheirRankAndKeepTheOrder) {
    std::vector<double> ramp(201);
    std::iota(ramp.begin(), ramp.end(), 0.0);
    std::shuffle(ramp.begin(), ramp.end(), std::mt19937(7));
    Samples samples;
    for (double v : ramp) samples.add(v);
    EXPECT_EQ(std::make_tuple(samples.median(), samples.p95(), samples.sum()),
              std::make_tuple(100.0, 190.0, 200.0 * 201.0 / 2.0));
    EXPECT_EQ(samples.values(), ramp);
}

class SheetWorkload : public ::testing::TestWithParam<std::tuple<int, float>> {};

// One point per voxel, so a model holds exactly as many records as points
// were given; unit normals of a gentle surface; nothing at the origin, where
// the engine would report no update for a removal.
TEST_P(SheetWorkload, GivesOnePointPerVoxelOnAGentleSurface) {
    const int count = std::get<0>(GetParam());
    const float resolution = std::get<1>(GetParam());
    const auto sheet = kelvane_bench::sheetPoints(count, resolution);
    ASSERT_EQ(sheet.size(), static_cast<std::size_t>(count));
    std::set<std::tuple<int32_t, int32_t, int32_t>> voxels;
    for (const auto& p : sheet) {
        const fusion::Int3 v = fusion::voxelOf(p.position, resolution);
        voxels.emplace(v.x, v.y, v.z);
        const float len = std::sqrt(p.normal[0] * p.normal[0] + p.normal[1] * p.normal[1] +
                                    p.normal[2] * p.normal[2]);
        ASSERT_NEAR(len, 1.0f, 1e-5f);
        ASSERT_GT(p.normal[2], 0.9f);
        ASSERT_FALSE(std::fabs(p.position[0]) < 1.2e-7f && std::fabs(p.position[1]) < 1.2e-7f &&
                     std::fabs(p.position[2]) < 1.2e-7f);
    }
    EXPECT_EQ(voxels.size(), sheet.size());
}

INSTANTIATE_TEST_SUITE_P(Sizes, SheetWorkload,
                         ::testing::Combine(::testing::Values(1, 1000, 4097, 250000),
                                            ::testing::Values(0.05f, 0.5f, 2.0f)));

TEST(SheetWorkloadInEngine, BuildsIntoAsManyLiveRecordsAsPoints) {
    auto engine = fusion_test::makeEngine();
    ASSERT_NE(engine, nullptr);
    constexpr int kPoints = 20000;
    const auto sheet = kelvane_bench::sheetPoints(kPoints, 0.5f);
    ASSERT_EQ(engine->buildByExistingPoints(sheet.data(), kPoints), 0);
    fusion::Vertices* vertices = nullptr;
    int count = 0;
    EXPECT_EQ(engine->extractLivePoints(&vertices, count), 0);
    delete[] vertices;
    EXPECT_EQ(count, kPoints);
}

TEST(DiscSelection, TakesThePointsNearestTheAxis) {
    const auto sheet = kelvane_bench::sheetPoints(10000, 0.5f);
    auto radius2 = [](const fusion::PointData& p) {
        return p.position[0] * p.position[0] + p.position[1] * p.position[1];
    };
    const auto disc = kelvane_bench::discOf(sheet, 500);
    ASSERT_EQ(disc.size(), 500u);
    float inside = 0;
    for (const auto& p : disc) inside = std::max(inside, radius2(p));
    int closer = 0;
    for (const auto& p : sheet) closer += radius2(p) < inside ? 1 : 0;
    EXPECT_LT(closer, 500);  // nothing outside the disc lies nearer than its rim

    EXPECT_EQ(kelvane_bench::discOf(sheet, 20000).size(), sheet.size());
    EXPECT_TRUE(kelvane_bench::discOf(sheet, -3).empty());
}

}  // namespace
