// The statistics and workloads every benchmark figure depends on.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <tuple>
#include <vector>

#include "../../bench/Workloads.h"
#include "volume/Coordinates.h"

namespace {

// Linear interpolation between order statistics; asking must not reorder
// what was recorded (window medians rely on it).
TEST(BenchSamples, QuantilesInterpolateAndKeepTheRecordedOrder) {
    const std::tuple<std::vector<double>, double, double> cases[] = {{{5, 1, 4, 2, 3}, 0.5, 3.0},
                                                                     {{5, 1, 4, 2, 3}, 0.95, 4.8},
                                                                     {{4, 1, 3, 2}, 0.5, 2.5},
                                                                     {{4, 1, 3, 2}, 1.0, 4.0},
                                                                     {{7}, 0.95, 7.0},
                                                                     {{}, 0.5, 0.0}};
    for (const auto& [values, q, expected] : cases) {
        kelvane_bench::Samples samples;
        for (double v : values) samples.add(v);
        EXPECT_DOUBLE_EQ(samples.quantile(q), expected) << values.size() << " values, q " << q;
    }
    kelvane_bench::Samples samples;
    for (double v : {3.0, 1.0, 2.0}) samples.add(v);
    EXPECT_TRUE(samples.median() == 2.0 && samples.sum() == 6.0);
    EXPECT_EQ(samples.values(), std::vector<double>({3.0, 1.0, 2.0}));
}

// One point per voxel, so a model holds exactly as many records as points
// were given; unit normals of a gentle surface; nothing at the origin, where
// the engine would report no update for a removal.
TEST(BenchWorkloads, SheetGivesOnePointPerVoxelOnAGentleSurface) {
    for (const int count : {1, 4097, 250000})
        for (const float resolution : {0.05f, 0.5f, 2.0f}) {
            const auto sheet = kelvane_bench::sheetPoints(count, resolution);
            ASSERT_EQ(sheet.size(), std::size_t(count));
            std::set<std::tuple<int32_t, int32_t, int32_t>> voxels;
            for (const auto& p : sheet) {
                const fusion::Int3 v = fusion::voxelOf(p.position, resolution);
                voxels.emplace(v.x, v.y, v.z);
                ASSERT_NEAR(std::hypot(p.normal[0], p.normal[1], p.normal[2]), 1.0f, 1e-5f);
                ASSERT_GT(p.normal[2], 0.9f);
                ASSERT_GT(std::hypot(p.position[0], p.position[1], p.position[2]), 1.2e-7f);
            }
            EXPECT_EQ(voxels.size(), sheet.size()) << count << " points at " << resolution;
        }
}

}  // namespace
