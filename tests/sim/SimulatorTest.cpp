// The simulated scanner: oracle of the fusion tests and load of the benchmarks.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "sim/Accuracy.h"
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

// Cosine between a point's normal and its direction to the camera.
double facing(const Frame& frame, const fusion::PointData& p) {
    const double eye[3] = {frame.pose[3], frame.pose[7], frame.pose[11]};
    double cosine = 0;
    for (int k = 0; k < 3; ++k) cosine += (eye[k] - p.position[k]) * p.normal[k];
    return cosine / distance(eye, p.position);
}

bool samePoints(const Frame& a, const Frame& b) {
    return a.points.size() == b.points.size() && a.views == b.views &&
           std::memcmp(a.points.data(), b.points.data(), a.points.size() * sizeof a.points[0]) == 0;
}

// Every shape at two sizes on the orbit, and the two handheld sweeps.
std::vector<SweepOptions> sweeps() {
    std::vector<SweepOptions> all = {kelvane_sim::handheldSweep(), kelvane_sim::statueSweep(),
                                     kelvane_sim::panelSweep(300.0f, 200.0f)};
    for (Shape shape : {Shape::Sphere, Shape::Box, Shape::Torus, Shape::Bumpy, Shape::Plate})
        for (float size : {60.0f, 6.0f})
            all.emplace_back(), all.back().shape = shape, all.back().object_size = size;
    return all;
}

class SimulatedSweep : public ::testing::TestWithParam<SweepOptions> {};

// A seed gives the same frames in any order; another changes the noise (RMS
// near sigma), not the camera or which rays hit. Views follow the image rows.
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
                             const kelvane_sim::Path path = info.param.path;
                             return std::string(kelvane_sim::shapeName(info.param.shape)) +
                                    (path == kelvane_sim::Path::Handheld ? "_handheld"
                                     : path == kelvane_sim::Path::Raster
                                         ? "_raster"
                                         : "_" + std::to_string(int(info.param.object_size)));
                         });

// Exact points score zero; tilted normals, stacked layers and gaps show.
TEST(Accuracy, MeasuresWhatTheyName) {
    SweepOptions o;  // the 60 mm sphere
    const float r = 0.5f;
    std::vector<fusion::Vertices> cloud;
    std::vector<float> scanned;
    for (int i = 0; i < 2000; ++i) {  // a Fibonacci sphere, well apart at 1.5 mm
        const double z = 1.0 - 2.0 * (i + 0.5) / 2000, ring = std::sqrt(1.0 - z * z);
        const double a = 2.39996322972865332 * i;
        fusion::Vertices v{};
        const double n[3] = {ring * std::cos(a), ring * std::sin(a), z};
        for (int k = 0; k < 3; ++k) {
            v.position[k] = static_cast<float>(30.0 * n[k]);
            v.normal[k] = static_cast<float>(n[k]);
            scanned.push_back(v.position[k]);
        }
        cloud.push_back(v);
    }
    kelvane_sim::Accuracy exact = kelvane_sim::measureAccuracy(o, cloud, scanned, r);
    EXPECT_EQ(exact.points, 2000);
    EXPECT_LT(exact.distance_rms_mm, 1e-4);
    EXPECT_LT(exact.normal_error_deg, 0.01);
    EXPECT_DOUBLE_EQ(exact.coverage, 1.0);
    EXPECT_DOUBLE_EQ(exact.doubled, 0.0);

    // Every tenth point a second layer 0.4 mm outside; its own normal tilted.
    std::vector<fusion::Vertices> stacked = cloud;
    for (std::size_t i = 0; i < cloud.size(); i += 10) {
        fusion::Vertices v = cloud[i];
        for (int k = 0; k < 3; ++k) v.position[k] += 0.4f * v.normal[k];
        v.normal[0] += 0.2f;
        stacked.push_back(v);
    }
    const kelvane_sim::Accuracy twice = kelvane_sim::measureAccuracy(o, stacked, scanned, r);
    EXPECT_NEAR(twice.doubled, 400.0 / 2200.0, 1e-9) << "both points of each stack count";
    EXPECT_GT(twice.distance_rms_mm, 0.1);
    EXPECT_GT(twice.normal_error_deg, 0.5);

    cloud.resize(1000);  // the lower half of the sphere is gone
    EXPECT_NEAR(kelvane_sim::measureAccuracy(o, cloud, scanned, r).coverage, 0.5, 1e-9);
}

// The panel raster (the large benchmark's load): its frame count, and the
// sizes the tool and the benchmark accept.
TEST(PanelRaster, FrameCountAndPanelSizes) {
    EXPECT_EQ(kelvane_sim::rasterFrameCount(kelvane_sim::panelSweep()), 59 * 30);
    EXPECT_EQ(kelvane_sim::panelSweep(300.0f, 130.0f).frames, 7 * 3) << "80 mm frames, 40 mm steps";
    float w = 0, h = 0;
    EXPECT_TRUE(kelvane_sim::parsePanelSize("2400x1200", w, h) && w == 2400 && h == 1200);
    EXPECT_TRUE(kelvane_sim::parsePanelSize("60.5x20", w, h) && w == 60.5f && h == 20);
    for (const char* bad : {"2400", "x1200", "2400x", "0x10", "10x-1", "10x10mm", "axb"})
        EXPECT_FALSE(kelvane_sim::parsePanelSize(bad, w, h)) << bad;
}

}  // namespace
