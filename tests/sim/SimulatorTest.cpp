// The simulated scanner is the oracle of the fusion tests and the load of the
// benchmarks, so what they rely on is checked here: reproducible frames,
// points on the true surface, normals facing the camera, row runs that
// partition the frame, and a realistic frame size.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <tuple>

#include "sim/Simulator.h"

namespace {

using kelvane_sim::Frame;
using kelvane_sim::Scanner;
using kelvane_sim::Shape;
using kelvane_sim::SweepOptions;

constexpr Shape kShapes[] = {Shape::Sphere, Shape::Box, Shape::Torus, Shape::Bumpy, Shape::Plate};

SweepOptions optionsFor(Shape shape, float size = 60.0f) {
    SweepOptions o;
    o.shape = shape;
    o.object_size = size;
    o.frames = 24;
    return o;
}

// Camera-space coordinates of a world point, using the frame's pose.
void toCamera(const Frame& frame, const float p[3], double c[3]) {
    const double* m = frame.pose;
    const double d[3] = {p[0] - m[3], p[1] - m[7], p[2] - m[11]};
    for (int axis = 0; axis < 3; ++axis)
        c[axis] = m[axis] * d[0] + m[4 + axis] * d[1] + m[8 + axis] * d[2];
}

double facing(const Frame& frame, const fusion::PointData& p) {
    const double* m = frame.pose;
    const double v[3] = {m[3] - p.position[0], m[7] - p.position[1], m[11] - p.position[2]};
    const double len = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    return (v[0] * p.normal[0] + v[1] * p.normal[1] + v[2] * p.normal[2]) / len;
}

bool sameFrame(const Frame& a, const Frame& b) {
    return a.points.size() == b.points.size() && a.views == b.views &&
           std::memcmp(a.pose, b.pose, sizeof a.pose) == 0 &&
           (a.points.empty() ||
            std::memcmp(a.points.data(), b.points.data(), a.points.size() * sizeof a.points[0]) == 0);
}

// Frames sampled from the start, middle and end of the orbit.
constexpr int kSampleFrames[] = {0, 11, 23};

class SimulatedObject : public ::testing::TestWithParam<std::tuple<Shape, float>> {
protected:
    SweepOptions options() const { return optionsFor(std::get<0>(GetParam()), std::get<1>(GetParam())); }
};

// Without noise, every point lies on the analytic surface (to float rounding
// of the stored position) and carries that surface's normal; grazing hits
// were dropped. As surfaceNormal shares the generator's gradients, normals
// are also checked against the central-difference gradient of the distance
// field; points closer than the step to an edge of the box or plate have no
// single gradient, and they are a small minority.
TEST_P(SimulatedObject, NoiselessPointsLieOnTheSurfaceWithItsNormal) {
    SweepOptions o = options();
    o.noise = 0;
    o.normal_noise = 0;
    const Scanner scanner(o);
    const float tolerance = 4e-6f * o.object_size, h = 2e-4f * o.object_size;
    Frame frame;
    for (int index : kSampleFrames) {
        scanner.frameAt(index, frame);
        ASSERT_GT(frame.points.size(), 5000u) << "frame " << index;
        std::size_t along_gradient = 0;
        for (const auto& p : frame.points) {
            ASSERT_LT(std::fabs(kelvane_sim::surfaceDistance(o, p.position)), tolerance);
            float truth[3];
            kelvane_sim::surfaceNormal(o, p.position, truth);
            ASSERT_GT(truth[0] * p.normal[0] + truth[1] * p.normal[1] + truth[2] * p.normal[2], 0.9999f);
            ASSERT_GT(facing(frame, p), 0.0999);
            double g[3];
            for (int axis = 0; axis < 3; ++axis) {
                float plus[3] = {p.position[0], p.position[1], p.position[2]};
                float minus[3] = {p.position[0], p.position[1], p.position[2]};
                plus[axis] += h;
                minus[axis] -= h;
                g[axis] = kelvane_sim::surfaceDistance(o, plus) - kelvane_sim::surfaceDistance(o, minus);
            }
            const double len = std::sqrt(g[0] * g[0] + g[1] * g[1] + g[2] * g[2]);
            along_gradient += len > 0 && (g[0] * p.normal[0] + g[1] * p.normal[1] + g[2] * p.normal[2]) / len > 0.999;
        }
        EXPECT_GE(along_gradient, frame.points.size() * 99 / 100) << "frame " << index;
    }
}

// With noise, the distance to the surface follows the noise along the ray:
// its RMS is at most sigma (less where the ray is oblique), clearly above
// zero, and no point strays beyond six sigma. Normals stay unit length and
// face the camera. Runs are whole image rows, top to bottom, each left to
// right, adding up to the frame; as noise moves points along their rays
// only, every point of a run keeps its row's direction exactly.
TEST_P(SimulatedObject, NoisyPointsStayWithinTheNoiseInRowRuns) {
    const SweepOptions o = options();
    const double sigma = o.noise;
    const Scanner scanner(o);
    Frame frame;
    for (int index : kSampleFrames) {
        scanner.frameAt(index, frame);
        ASSERT_GT(frame.points.size(), 5000u);
        double sum = 0;
        for (const auto& p : frame.points) {
            const double d = kelvane_sim::surfaceDistance(o, p.position);
            ASSERT_LT(std::fabs(d), 6 * sigma);
            sum += d * d;
            const double len = std::sqrt(p.normal[0] * p.normal[0] + p.normal[1] * p.normal[1] +
                                         p.normal[2] * p.normal[2]);
            ASSERT_NEAR(len, 1.0, 1e-5);
            ASSERT_GT(facing(frame, p), 0.0);
            ASSERT_EQ(p.attributes, o.scan_level);
        }
        const double rms = std::sqrt(sum / frame.points.size());
        EXPECT_TRUE(rms < 1.05 * sigma && rms > 0.3 * sigma) << rms << " against " << sigma;

        ASSERT_LE(frame.views.size(), static_cast<std::size_t>(o.rows));
        std::size_t begin = 0;
        double previous_row = -1e9, c[3];
        for (const auto& view : frame.views) {
            ASSERT_EQ(view.size(), 1u);
            const std::size_t end = begin + std::size_t(view[0]);
            ASSERT_TRUE(view[0] > 0 && end <= frame.points.size());
            toCamera(frame, frame.points[begin].position, c);
            const double row = c[1] / c[2];
            EXPECT_GT(row, previous_row + 1e-6);
            double previous_column = -1e9;
            for (std::size_t i = begin; i < end; ++i) {
                toCamera(frame, frame.points[i].position, c);
                ASSERT_NEAR(c[1] / c[2], row, 1e-5);
                ASSERT_GT(c[0] / c[2], previous_column);
                previous_column = c[0] / c[2];
            }
            previous_row = row;
            begin = end;
        }
        EXPECT_EQ(begin, frame.points.size());
    }
}

// The same seed gives the same bytes, in any order of generation; another
// seed changes the noise but not which rays hit.
TEST_P(SimulatedObject, FramesAreReproducibleForASeed) {
    const SweepOptions o = options();
    Scanner streaming(o);
    const Scanner random_access(o);
    Frame streamed, direct;
    for (int index = 0; index < 3; ++index) {
        ASSERT_TRUE(streaming.next(streamed));
        random_access.frameAt(index, direct);
        EXPECT_TRUE(sameFrame(streamed, direct)) << "frame " << index;
    }
    double pose[16];
    kelvane_sim::cameraPose(o, 2, pose);
    EXPECT_EQ(std::memcmp(pose, direct.pose, sizeof pose), 0);
    SweepOptions reseeded = o;
    reseeded.seed = o.seed + 1;
    Frame other;
    Scanner(reseeded).frameAt(2, other);
    ASSERT_EQ(other.points.size(), direct.points.size());
    EXPECT_EQ(other.views, direct.views);
    EXPECT_NE(std::memcmp(other.points.data(), direct.points.data(),
                          direct.points.size() * sizeof direct.points[0]),
              0);
}

INSTANTIATE_TEST_SUITE_P(AllShapes, SimulatedObject,
                         ::testing::Combine(::testing::ValuesIn(kShapes), ::testing::Values(60.0f, 6.0f)),
                         [](const ::testing::TestParamInfo<std::tuple<Shape, float>>& info) {
                             return std::string(kelvane_sim::shapeName(std::get<0>(info.param))) + "_" +
                                    std::to_string(static_cast<int>(std::get<1>(info.param)));
                         });

TEST(SimulatedScanner, DefaultSphereFramesHoldFortyToFiftyThousandPoints) {
    const SweepOptions o;
    Scanner scanner(o);
    Frame frame;
    int frames = 0;
    for (; scanner.next(frame); ++frames) {
        EXPECT_TRUE(frame.points.size() >= 40000u && frame.points.size() <= 50000u) << frame.points.size();
    }
    EXPECT_EQ(frames, o.frames);
}

// The camera stays at 2.5 sizes, looks at the centre with an orthonormal,
// right-handed frame, and sweeps exactly the requested orbit.
TEST(SimulatedScanner, CameraOrbitsTheCentreOverTheRequestedAngle) {
    SweepOptions o;
    o.frames = 13;
    o.orbit_degrees = 240.0f;
    double azimuth[2] = {0, 0};
    for (int index = 0; index < o.frames; ++index) {
        double m[16];
        kelvane_sim::cameraPose(o, index, m);
        const double eye[3] = {m[3], m[7], m[11]};
        const double distance = std::sqrt(eye[0] * eye[0] + eye[1] * eye[1] + eye[2] * eye[2]);
        EXPECT_NEAR(distance, 2.5 * o.object_size, 1e-9);
        for (int a = 0; a < 3; ++a) {
            for (int b = 0; b < 3; ++b) {
                EXPECT_NEAR(m[a] * m[b] + m[4 + a] * m[4 + b] + m[8 + a] * m[8 + b], a == b, 1e-12);
            }
            EXPECT_NEAR(m[2 + 4 * a], -eye[a] / distance, 1e-12);  // forward looks at the centre
        }
        EXPECT_NEAR(m[0] * (m[5] * m[10] - m[9] * m[6]) - m[4] * (m[1] * m[10] - m[9] * m[2]) +
                        m[8] * (m[1] * m[6] - m[5] * m[2]), 1.0, 1e-12);
        azimuth[index == 0 ? 0 : 1] = std::atan2(eye[1], eye[0]) * 180.0 / 3.14159265358979323846;
    }
    EXPECT_NEAR(std::fmod(azimuth[1] - azimuth[0] + 720.0, 360.0), 240.0, 1e-9);
}

TEST(SimulatedScanner, EmptyImageGivesAnEmptyFrameAndShapeNamesRoundTrip) {
    SweepOptions o;
    o.rows = 0;
    Frame frame;
    frame.points.resize(3);
    frame.views.push_back({3});
    Scanner(o).frameAt(0, frame);
    EXPECT_TRUE(frame.points.empty() && frame.views.empty());

    for (Shape s : kShapes) {
        Shape parsed = s == Shape::Sphere ? Shape::Box : Shape::Sphere;
        ASSERT_TRUE(kelvane_sim::parseShape(kelvane_sim::shapeName(s), parsed));
        EXPECT_EQ(parsed, s);
    }
    Shape untouched = Shape::Torus;
    EXPECT_FALSE(kelvane_sim::parseShape("cube", untouched) || kelvane_sim::parseShape("", untouched));
    EXPECT_EQ(untouched, Shape::Torus);
}

}  // namespace
