// The simulated scanner: oracle of the fusion tests, load of the benchmarks,
// and through its depth images the input of the depth fusion peer.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "sim/DepthFrames.h"
#include "sim/Simulator.h"
#include "support/FuseHelpers.h"

namespace {

using kelvane_sim::Frame;
using kelvane_sim::Scanner;
using kelvane_sim::Shape;
using kelvane_sim::SweepOptions;

constexpr double kPi = 3.14159265358979323846;

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

// The pose's rotation is orthonormal and right-handed.
void expectRotation(const double m[16]) {
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b)
            ASSERT_NEAR(m[a] * m[b] + m[4 + a] * m[4 + b] + m[8 + a] * m[8 + b], a == b, 1e-12);
    EXPECT_NEAR(m[0] * (m[5] * m[10] - m[9] * m[6]) - m[4] * (m[1] * m[10] - m[9] * m[2]) +
                    m[8] * (m[1] * m[6] - m[5] * m[2]),
                1.0, 1e-12);
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

// Without noise every point lies on the analytic surface (to float rounding),
// carries its normal and faces the camera (grazing hits are dropped).
TEST_P(SimulatedSweep, NoiselessPointsLieOnTheSurfaceWithItsNormal) {
    SweepOptions o = GetParam();
    o.noise = o.normal_noise = 0;
    Frame frame;
    for (int index : {0, 11, 23}) {
        Scanner(o).frameAt(index, frame);
        ASSERT_GT(frame.points.size(), 5000u) << "frame " << index;
        for (const auto& p : frame.points) {
            ASSERT_LT(std::fabs(kelvane_sim::surfaceDistance(o, p.position)),
                      4e-6f * o.object_size);
            float truth[3];
            kelvane_sim::surfaceNormal(o, p.position, truth);
            ASSERT_GT(truth[0] * p.normal[0] + truth[1] * p.normal[1] + truth[2] * p.normal[2],
                      0.9999f);
            ASSERT_GT(facing(frame, p), 0.0999);
        }
    }
}

// A seed gives the same frames in any order; another changes the noise, not
// the camera or which rays hit. Noise moves points along their rays (RMS at
// most sigma, clearly above zero); each non-zero depth pixel lands on the
// point it produced, in order; the views are one run per image row with
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
        std::size_t next = 0;
        double worst = 0;
        std::vector<std::vector<int>> rows;
        for (int v = 0; v < k.height; ++v) {
            const std::size_t row_start = next;
            for (int u = 0; u < k.width; ++u) {
                const float z = f.depth[std::size_t(v) * k.width + u];
                ASSERT_GE(z, 0.0f);
                if (z == 0) continue;
                ASSERT_LT(next, f.points.size());
                const double c[3] = {(u - k.cx) * z / k.fx, (v - k.cy) * z / k.fy, z};
                float world[3];
                for (int a = 0; a < 3; ++a)
                    world[a] = float(f.pose[4 * a] * c[0] + f.pose[4 * a + 1] * c[1] +
                                     f.pose[4 * a + 2] * c[2] + f.pose[4 * a + 3]);
                worst = std::max(worst, distance(world, f.points[next++].position));
            }
            if (next > row_start) rows.push_back({int(next - row_start)});
        }
        EXPECT_EQ(next, f.points.size());
        EXPECT_LT(worst, 2e-3);  // float rounding of depths near 150
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

// Default sphere frames hold 40,000 to 50,000 points; the camera orbits 2.5
// sizes out looking at the centre.
TEST(SimulatedOrbit, FrameSizeAndCameraPath) {
    SweepOptions o;
    Frame frame;
    for (int index : {0, 29, 59}) {
        Scanner(o).frameAt(index, frame);
        EXPECT_TRUE(frame.points.size() >= 40000u && frame.points.size() <= 50000u)
            << frame.points.size();
    }
    o.frames = 13, o.orbit_degrees = 240.0f;
    double azimuth[2] = {0, 0}, m[16], eye[3];
    for (int index = 0; index < o.frames; ++index) {
        kelvane_sim::cameraPose(o, index, m);
        EXPECT_NEAR(distance(eyeOf(m, eye), kOrigin), 2.5 * o.object_size, 1e-9);
        expectRotation(m);
        for (int a = 0; a < 3; ++a)
            EXPECT_NEAR(m[2 + 4 * a], -eye[a] / (2.5 * o.object_size), 1e-12);
        azimuth[index == 0 ? 0 : 1] = std::atan2(eye[1], eye[0]) * 180.0 / kPi;
    }
    EXPECT_NEAR(std::fmod(azimuth[1] - azimuth[0] + 720.0, 360.0), 240.0, 1e-9);
}

// Handheld frames (pairs i - 1, i sampled over the sweep): about 46,500
// points about two thirds of a 0.5 voxel apart in views of 256, about 88 %
// seen by the frame before (a hand moving steadily). A short sweep is the
// start of the long one.
TEST(HandheldSweep, FramesAreDenseOverlappingPartialViews) {
    SweepOptions o = kelvane_sim::handheldSweep();
    std::vector<double> spacings;
    double overlaps = 0;
    Frame before, f, nine;
    for (int i : {1, 9, 17, 26, 34, 43, 51, 60, 68, 77, 85, 94, 102, 111, 119}) {
        Scanner(o).frameAt(i - 1, before);
        Scanner(o).frameAt(i, f);
        SCOPED_TRACE(i);
        if (i == 9) nine = f;
        EXPECT_TRUE(f.points.size() >= 45000u && f.points.size() <= 46500u) << f.points.size();
        EXPECT_TRUE(f.views.size() == 1 && f.views[0][0] == 256);  // views are runs of 256 points
        std::vector<double> across;  // horizontal neighbours; points follow the non-zero depths
        for (std::size_t p = 0, n = 0; p + 1 < f.depth.size(); n += f.depth[p++] > 0)
            if (f.depth[p] > 0 && f.depth[p + 1] > 0 && (p + 1) % f.intrinsics.width != 0)
                across.push_back(distance(f.points[n].position, f.points[n + 1].position));
        std::sort(across.begin(), across.end());
        spacings.push_back(across[across.size() / 2]);
        // Points the camera of `before` saw too: in its image, at its depth.
        const kelvane_sim::Intrinsics& k = before.intrinsics;
        const double* m = before.pose;
        std::size_t seen = 0;
        for (const auto& p : f.points) {
            const double d[3] = {p.position[0] - m[3], p.position[1] - m[7], p.position[2] - m[11]};
            double c[3];
            for (int a = 0; a < 3; ++a) c[a] = m[a] * d[0] + m[4 + a] * d[1] + m[8 + a] * d[2];
            const long u = std::lround(c[0] / c[2] * k.fx + k.cx),
                       v = std::lround(c[1] / c[2] * k.fy + k.cy);
            if (c[2] > 0 && u >= 0 && v >= 0 && u < k.width && v < k.height)
                seen += std::fabs(before.depth[std::size_t(v) * k.width + u] - c[2]) < 1.0;
        }
        const double share = double(seen) / double(f.points.size());
        EXPECT_TRUE(share > 0.78 && share < 0.96) << share;
        overlaps += share;
    }
    std::sort(spacings.begin(), spacings.end());
    EXPECT_TRUE(spacings[7] > 0.30 && spacings[7] < 0.34) << spacings[7];
    EXPECT_NEAR(overlaps / 15, 0.88, 0.02);
    Frame start;
    o.frames = 12;
    Scanner(o).frameAt(9, start);
    EXPECT_TRUE(samePoints(start, nine) && start.depth == nine.depth) << "frame 9 of 12 and of 120";
}

// The handheld camera moves in similar steps, keeps its distance and aims
// within a degree of the centre however it trembles.
TEST(HandheldSweep, CameraDriftsAndAimsAtTheObject) {
    const SweepOptions o = kelvane_sim::handheldSweep();
    double m[16], eye[3], previous[3];
    for (int i = 0; i < o.frames; ++i, std::copy(eye, eye + 3, previous)) {
        kelvane_sim::cameraPose(o, i, m);
        const double r = distance(eyeOf(m, eye), kOrigin);
        EXPECT_NEAR(r, 0.5 * o.object_size + o.standoff, 0.05 * o.standoff + 2.0) << i;
        expectRotation(m);
        EXPECT_GT(-(m[2] * eye[0] + m[6] * eye[1] + m[10] * eye[2]) / r, std::cos(kPi / 180)) << i;
        EXPECT_TRUE(i == 0 || (distance(eye, previous) > 10 && distance(eye, previous) < 30)) << i;
    }
}

// The depth frame file keeps depth, intrinsics, pose and positions in its
// fixed little-endian layout; damaged or foreign files are refused, and a
// depth image that does not match its intrinsics is not written.
TEST(DepthFrames, RoundTripInTheFixedLayoutAndDamageIsRefused) {
    SweepOptions o = kelvane_sim::handheldSweep();
    o.rows = 30, o.columns = 40;  // small images keep the file small; the layout is the same
    std::vector<Frame> frames(2), back;
    Scanner(o).frameAt(0, frames[0]);
    Scanner(o).frameAt(5, frames[1]);
    ASSERT_GT(frames[1].points.size(), 100u);
    fuse_test::TempDir dir;
    std::string error;
    ASSERT_TRUE(kelvane_sim::writeDepthFrames(dir.file("f.kvd"), frames, error)) << error;
    ASSERT_TRUE(kelvane_sim::readDepthFrames(dir.file("f.kvd"), back, error)) << error;
    ASSERT_EQ(back.size(), frames.size());
    std::size_t expected_size = 16;
    for (std::size_t f = 0; f < frames.size(); ++f) {
        const Frame &a = frames[f], &b = back[f];
        EXPECT_EQ(std::memcmp(&a.intrinsics, &b.intrinsics, sizeof a.intrinsics), 0);
        EXPECT_TRUE(std::memcmp(a.pose, b.pose, sizeof a.pose) == 0 && a.depth == b.depth);
        ASSERT_EQ(b.points.size(), a.points.size());
        for (std::size_t i = 0; i < a.points.size(); ++i)
            ASSERT_EQ(std::memcmp(a.points[i].position, b.points[i].position, 12), 0);
        EXPECT_EQ(b.views, std::vector<std::vector<int>>{{int(a.points.size())}});
        expected_size += 168 + 4 * a.depth.size() + 4 + 12 * a.points.size();
    }
    const std::string bytes = fuse_test::readBytes(dir.file("f.kvd"));
    EXPECT_EQ(bytes.size(), expected_size);
    EXPECT_EQ(bytes.substr(0, 20),
              std::string("KVDEPTH1\2\0\0\0\0\0\0\0\x28\0\0\0", 20));  // 2 frames, width 40

    std::string huge = bytes;
    huge[19] = 0x7f;  // width of the first frame beyond the file
    for (const std::string& damaged :
         {bytes.substr(0, bytes.size() - 5), huge, "X" + bytes.substr(1)}) {
        fuse_test::writeBytes(dir.file("bad.kvd"), damaged);
        EXPECT_FALSE(kelvane_sim::readDepthFrames(dir.file("bad.kvd"), back, error));
        EXPECT_TRUE(back.empty());
    }
    frames[1].depth.pop_back();
    EXPECT_FALSE(kelvane_sim::writeDepthFrames(dir.file("wrong.kvd"), frames, error));
}

}  // namespace
