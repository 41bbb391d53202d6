// The built-in symmetric 3x3 eigen-solver against OpenCV's cvEigenVV as the
// oracle: random, near-degenerate, diagonal, axis-aligned, badly scaled and
// simulator-drawn scatter matrices. Eigenvalues must agree to 1e-12 of the
// largest, eigenvectors to 1e-9 rad wherever the neighbouring eigenvalues
// are more than 1e-6 of the largest apart, and the plane tests of the normal
// estimator must decide alike wherever no tested quantity sits on its
// threshold.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "frame/EigenSolver.h"
#include "frame/NormalEstimation.h"
#include "sim/Simulator.h"

#ifdef KELVANE_TEST_HAVE_OPENCV
#include <opencv2/core/core_c.h>

#include <cfloat>
#endif

namespace {

struct Decomposition {
    double values[3];
    double vectors[9];
};

Decomposition builtin(const double m[9]) {
    Decomposition d;
    fusion::qlEigen3(m, d.vectors, d.values);
    return d;
}

// Q diag(l) Q^T for a rotation Q built from the unit quaternion q.
void compose(const double l[3], const double q_in[4], double m[9]) {
    double n = 0.0;
    for (int k = 0; k < 4; ++k) n += q_in[k] * q_in[k];
    n = std::sqrt(n);
    const double w = q_in[0] / n, x = q_in[1] / n, y = q_in[2] / n, z = q_in[3] / n;
    const double r[9] = {1 - 2 * (y * y + z * z), 2 * (x * y - w * z),     2 * (x * z + w * y),
                         2 * (x * y + w * z),     1 - 2 * (x * x + z * z), 2 * (y * z - w * x),
                         2 * (x * z - w * y),     2 * (y * z + w * x),     1 - 2 * (x * x + y * y)};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            double s = 0.0;
            for (int k = 0; k < 3; ++k) s += r[3 * i + k] * l[k] * r[3 * j + k];
            m[3 * i + j] = s;
        }
    // Exactly symmetric, as a scatter matrix is.
    for (int i = 0; i < 3; ++i)
        for (int j = i + 1; j < 3; ++j) m[3 * j + i] = m[3 * i + j];
}

// A named family of matrices.
struct Family {
    std::string name;
    std::vector<std::vector<double>> matrices;
};

std::vector<Family> families() {
    std::mt19937 rng(20261206);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<Family> out;
    auto randomQuaternion = [&](double q[4]) {
        for (int k = 0; k < 4; ++k) q[k] = u(rng);
    };

    Family random{"random", {}};
    for (int t = 0; t < 400; ++t) {
        std::vector<double> m(9);
        for (int i = 0; i < 3; ++i)
            for (int j = i; j < 3; ++j) m[3 * i + j] = m[3 * j + i] = 10.0 * u(rng);
        random.matrices.push_back(m);
    }
    out.push_back(random);

    // Two (or three) eigenvalues close together, the others apart.
    Family close{"near-degenerate", {}};
    for (const double gap : {1e-3, 1e-6, 1e-9, 1e-12, 0.0}) {
        const double spectra[4][3] = {{5.0, 5.0 * (1 - gap), 0.01},
                                      {5.0, 1e-4 * (1 + gap), 1e-4},
                                      {2.0, 2.0 * (1 - gap), 2.0 * (1 - 2 * gap)},
                                      {3.0, 3.0 * (1 - gap), -3.0}};
        for (int t = 0; t < 40; ++t) {
            double q[4], m[9];
            randomQuaternion(q);
            compose(spectra[t % 4], q, m);
            close.matrices.emplace_back(m, m + 9);
        }
    }
    out.push_back(close);

    Family diagonal{"diagonal", {}};
    const double diagonals[][3] = {{3, 2, 1}, {1, 2, 3},  {2, 2, 2},         {0, 0, 0},
                                   {5, 0, 5}, {-1, 4, 0}, {1e-300, 1, 1e300}};
    for (const auto& d : diagonals) {
        std::vector<double> m(9, 0.0);
        for (int k = 0; k < 3; ++k) m[4 * k] = d[k];
        diagonal.matrices.push_back(m);
    }
    out.push_back(diagonal);

    // Rotated about one coordinate axis only: one eigenvector is that axis,
    // as for a patch whose normal lies along x, y or z.
    Family axis{"axis-aligned", {}};
    for (int a = 0; a < 3; ++a) {
        for (int t = 0; t < 30; ++t) {
            const double half = 0.5 * 3.14159265358979 * u(rng);
            double q[4] = {std::cos(half), 0.0, 0.0, 0.0};
            q[1 + a] = std::sin(half);
            const double l[3] = {40.0 * std::fabs(u(rng)) + 1.0, 10.0 * std::fabs(u(rng)),
                                 0.01 * std::fabs(u(rng))};
            double m[9];
            compose(l, q, m);
            axis.matrices.emplace_back(m, m + 9);
        }
    }
    out.push_back(axis);

    // Spreads many orders of magnitude apart, and whole matrices scaled far
    // from 1.
    Family scaled{"badly scaled", {}};
    for (int t = 0; t < 120; ++t) {
        double l[3] = {1.0, std::pow(10.0, -4.0 * std::fabs(u(rng))),
                       std::pow(10.0, -12.0 * std::fabs(u(rng)))};
        const double scale = std::pow(10.0, 150.0 * u(rng));
        for (double& v : l) v *= scale;
        double q[4], m[9];
        randomQuaternion(q);
        compose(l, q, m);
        scaled.matrices.emplace_back(m, m + 9);
    }
    out.push_back(scaled);

    // Scatter matrices as the normal estimator forms them, from the 5x5x5
    // voxel cubes around points of simulated frames.
    Family drawn{"simulator", {}};
    for (const auto shape : {kelvane_sim::Shape::Bumpy, kelvane_sim::Shape::Box}) {
        kelvane_sim::SweepOptions options = kelvane_sim::handheldSweep();
        options.shape = shape;
        options.frames = 2;
        kelvane_sim::Scanner scanner(options);
        kelvane_sim::Frame frame;
        scanner.frameAt(1, frame);
        const float edge = 0.5f;
        for (std::size_t c = 0; c < frame.points.size(); c += 997) {
            const float* centre = frame.points[c].position;
            std::vector<const float*> near;
            for (const auto& p : frame.points) {
                bool inside = true;
                for (int k = 0; k < 3; ++k)
                    inside = inside && std::fabs(p.position[k] - centre[k]) <= 2.5f * edge;
                if (inside) near.push_back(p.position);
            }
            if (near.size() < 12) continue;
            double mean[3] = {0, 0, 0};
            for (const float* p : near)
                for (int k = 0; k < 3; ++k) mean[k] += p[k];
            for (double& v : mean) v /= static_cast<double>(near.size());
            double s[9] = {};
            for (const float* p : near) {
                const float d[3] = {static_cast<float>(p[0] - mean[0]),
                                    static_cast<float>(p[1] - mean[1]),
                                    static_cast<float>(p[2] - mean[2])};
                for (int i = 0; i < 3; ++i)
                    for (int j = 0; j < 3; ++j) s[3 * i + j] += d[i] * d[j];
            }
            drawn.matrices.emplace_back(s, s + 9);
        }
    }
    out.push_back(drawn);
    return out;
}

double largest(const double values[3]) {
    return std::max({std::fabs(values[0]), std::fabs(values[1]), std::fabs(values[2])});
}

// The solver's own promises, on every family: sorted values, orthonormal
// rows that are eigenvectors; non-finite input gives zeros.
TEST(BuiltinEigen, EigenpairsOfEveryFamily) {
    for (const Family& family : families()) {
        SCOPED_TRACE(family.name);
        for (const auto& m : family.matrices) {
            const Decomposition d = builtin(m.data());
            EXPECT_GE(d.values[0], d.values[1]);
            EXPECT_GE(d.values[1], d.values[2]);
            const double scale = std::max(largest(d.values), 1e-300);
            for (int r = 0; r < 3; ++r) {
                const double* e = d.vectors + 3 * r;
                for (int s = 0; s < 3; ++s) {
                    const double* f = d.vectors + 3 * s;
                    EXPECT_NEAR(e[0] * f[0] + e[1] * f[1] + e[2] * f[2], r == s ? 1.0 : 0.0, 1e-14);
                }
                for (int i = 0; i < 3; ++i) {
                    const double row = m[3 * i] * e[0] + m[3 * i + 1] * e[1] + m[3 * i + 2] * e[2];
                    EXPECT_NEAR(row / scale, d.values[r] * e[i] / scale, 1e-13);
                }
            }
        }
    }
    const double nan = std::nan("");
    const double m[9] = {1, 0, 0, 0, nan, 0, 0, 0, 1};
    const Decomposition d = builtin(m);
    for (double v : d.values) EXPECT_EQ(v, 0.0);
    for (double v : d.vectors) EXPECT_EQ(v, 0.0);
}

#ifdef KELVANE_TEST_HAVE_OPENCV

Decomposition oracle(const double m[9]) {
    Decomposition d;
    double input[9];
    std::copy(m, m + 9, input);
    CvMat a = cvMat(3, 3, CV_64FC1, input);
    CvMat vectors = cvMat(3, 3, CV_64FC1, d.vectors);
    CvMat values = cvMat(3, 1, CV_64FC1, d.values);
    cvEigenVV(&a, &vectors, &values, DBL_EPSILON, -1, -1);
    return d;
}

// Angle between the lines of two unit vectors, accurate for small angles.
double lineAngle(const double* a, const double* b) {
    const double c[3] = {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2],
                         a[0] * b[1] - a[1] * b[0]};
    return std::asin(std::min(1.0, std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2])));
}

// The plane tests of the per-frame estimator, and how far each tested
// quantity lies from its threshold (relative), for a decision comparison.
struct PlaneDecision {
    bool accepted;
    double margin;
};
PlaneDecision planeDecision(const double v[3]) {
    const double l0 = v[0], l1 = v[1], l2 = v[2];
    const double margins[4] = {std::fabs(l1 - 0.05) / 0.05, std::fabs(0.5 * l1 - l2) / l0,
                               std::fabs((l1 - l2) / l0 - 0.3), std::fabs((l0 - l1) / l0 - 0.7)};
    return {fusion::isClearPlane(v), *std::min_element(margins, margins + 4)};
}

TEST(BuiltinEigen, AgreesWithOpenCV) {
    for (const Family& family : families()) {
        SCOPED_TRACE(family.name);
        int vectors_compared = 0, decisions_compared = 0;
        for (const auto& m : family.matrices) {
            const Decomposition ours = builtin(m.data());
            const Decomposition theirs = oracle(m.data());
            const double l0 = largest(theirs.values);
            for (int r = 0; r < 3; ++r)
                EXPECT_LE(std::fabs(ours.values[r] - theirs.values[r]), 1e-12 * l0) << r;
            for (int r = 0; r < 3; ++r) {
                double gap = HUGE_VAL;
                if (r > 0) gap = std::min(gap, theirs.values[r - 1] - theirs.values[r]);
                if (r < 2) gap = std::min(gap, theirs.values[r] - theirs.values[r + 1]);
                if (!(gap > 1e-6 * l0)) continue;
                ++vectors_compared;
                EXPECT_LE(lineAngle(ours.vectors + 3 * r, theirs.vectors + 3 * r), 1e-9)
                    << "row " << r;
            }
            const PlaneDecision a = planeDecision(ours.values), b = planeDecision(theirs.values);
            if (std::min(a.margin, b.margin) > 1e-9) {
                ++decisions_compared;
                EXPECT_EQ(a.accepted, b.accepted);
            }
        }
        EXPECT_GT(vectors_compared, 0);
        EXPECT_GT(decisions_compared, 0);
    }
}

#else

TEST(BuiltinEigen, AgreesWithOpenCV) {
    GTEST_SKIP() << "OpenCV's core module was not found: no oracle to compare with";
}

#endif

}  // namespace
