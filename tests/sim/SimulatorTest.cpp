// The simulated scanner: oracle of the fusion tests, load of the benchmarks,
// and through its depth images the input of the depth fusion peer.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "sim/Simulator.h"
#include "support/FuseHelpers.h"

namespace {

using kelvane_sim::Frame;
using kelvane_sim::Scanner;
using kelvane_sim::Shape;
using kelvane_sim::SweepOptions;

template <typename A, typename B>
double distance(const A* a, const B* b) {
    const double d[3] = {double(a[0]) - b[0], double(a[1]) - b[1], double(a[2]) - b[2]};
    return std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
}
constexpr double kOrigin[3] = {0, 0, 0};
const double* eyeOf(const double m[16], double eye[3]) {
    return eye[0] = m[3], eye[1] = m[7], eye[2] = m[11], eye;
}

// Cosine between a point's normal and its direction to the camera.
double facing(const Frame& frame, const fusion::PointData& p) {
    double eye[3], cosine = 0;
    for (int k = 0; k < 3; ++k) cosine += (eyeOf(frame.pose, eye)[k] - p.position[k]) * p.normal[k];
    return cosine / distance(eye, p.position);
}

bool samePoints(const Frame& a, const Frame& b) {
    return a.points.size() == b.points.size() && a.views == b.views &&
           std::memcmp(a.points.data(), b.points.data(), a.points.size() * sizeof a.points[0]) == 0;
}

// Every shape at two sizes on the orbit, and the handheld sweep.
std::vector<SweepOptions> sweeps() {
    std::vector<SweepOptions> all = {kelvane_sim::handheldSweep()};
    for (Shape shape : {Shape::Sphere, Shape::Box, Shape::Torus, Shape::Bumpy, Shape::Plate})
        for (float size : {60.0f, 6.0f})
            all.emplace_back(), all.back().shape = shape, all.back().object_size = size;
    return all;
}

class SimulatedSweep : public ::testing::TestWithParam<SweepOptions> {};

// A seed gives the same frames in any order; another changes the noise, not
// the camera or which rays hit. Noise moves points along their rays (RMS at
// most sigma, clearly above zero); the views are one run per image row with
// points, or runs of view_run points.
TEST_P(SimulatedSweep, NoisyFramesAreReproducibleAndMatchTheirDepthImageAndViews) {
    SweepOptions o = GetParam();
    Scanner streaming(o);
    Frame f, direct;
    for (int index = 0; index < 3; ++index) {
        ASSERT_TRUE(streaming.next(f));
        Scanner(o).frameAt(index, direct);
        EXPECT_TRUE(samePoints(f, direct)) << "frame " << index;
        double sum = 0;
        for (const auto& p : f.points) {
            const double d = kelvane_sim::surfaceDistance(o, p.position);
            ASSERT_LT(std::fabs(d), 6 * o.noise);
            sum += d * d;
            ASSERT_NEAR(distance(p.normal, kOrigin), 1.0, 1e-5);
            ASSERT_GT(facing(f, p), 0.0);
            ASSERT_EQ(p.attributes, o.scan_level);
        }
        const double rms = std::sqrt(sum / f.points.size());
        EXPECT_TRUE(rms < 1.05 * o.noise && rms > 0.3 * o.noise) << rms << " against " << o.noise;

        const kelvane_sim::Intrinsics& k = f.intrinsics;
        ASSERT_EQ(f.depth.size(), std::size_t(k.width) * k.height);
        // One point per non-zero depth pixel (the benchmark's peer checks that
        // they reproject onto the points); views follow the image rows.
        int next = 0;
        std::vector<std::vector<int>> rows;
        for (int v = 0; v < k.height; ++v) {
            const auto row = f.depth.begin() + std::ptrdiff_t(v) * k.width;
            const int hits = int(std::count_if(row, row + k.width, [](float z) { return z > 0; }));
            if (hits > 0) rows.push_back({hits});
            next += hits;
        }
        EXPECT_EQ(next, int(f.points.size()));
        if (o.view_run > 0) {
            rows.assign(1, {});
            for (int left = int(next); left > 0; left -= o.view_run)
                rows[0].push_back(std::min(left, o.view_run));
        }
        EXPECT_EQ(f.views, rows);
    }
    double pose[16];
    kelvane_sim::cameraPose(o, 2, pose);
    EXPECT_EQ(std::memcmp(pose, f.pose, sizeof pose), 0);
    ++o.seed;
    Scanner(o).frameAt(2, direct);
    EXPECT_TRUE(std::memcmp(direct.pose, pose, sizeof pose) == 0 &&
                direct.depth.size() == f.depth.size());
    for (std::size_t i = 0; i < f.depth.size(); ++i)
        ASSERT_EQ(direct.depth[i] > 0, f.depth[i] > 0) << i;
    EXPECT_FALSE(samePoints(direct, f));
}

INSTANTIATE_TEST_SUITE_P(ShapesAndPaths, SimulatedSweep, ::testing::ValuesIn(sweeps()),
                         [](const auto& info) {
                             return std::string(kelvane_sim::shapeName(info.param.shape)) +
                                    (info.param.path == kelvane_sim::Path::Handheld
                                         ? "_handheld"
                                         : "_" + std::to_string(int(info.param.object_size)));
                         });

}  // namespace
