// The built-in symmetric 3x3 eigen-solver: one Householder reflection to
// tridiagonal form, implicit QL steps until one off-diagonal entry is
// negligible, then one rotation for the remaining pair.
//
// An iteration rather than the closed-form cubic because the closed form
// loses about half the digits of two eigenvalues that come close, and that
// is the everyday case here: a flat patch spreads about equally along its
// two in-plane axes. QL with the shift of the leading pair converges
// cubically; a scatter matrix needs about two steps. The file must not be
// built with fast-math flags: the negligibility tests compare sums that such
// flags fold.

#include "frame/EigenSolver.h"

#include <cmath>

namespace fusion {

namespace {

// True when e is below the last bit of the diagonal pair it couples.
inline bool negligible(double e, double a, double b) noexcept {
    const double diagonal = std::fabs(a) + std::fabs(b);
    return std::fabs(e) + diagonal == diagonal;
}

// Diagonalises the pair (i, i + 1) of the tridiagonal form exactly, by one
// Jacobi rotation, and applies it to the accumulated basis q.
inline void rotatePair(double d[3], double e[3], double q[3][3], int i) noexcept {
    const double off = e[i];
    e[i] = 0.0;
    if (off == 0.0) return;
    const double theta = 0.5 * (d[i + 1] - d[i]) / off;
    double t = 1.0 / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
    if (theta < 0.0) t = -t;
    const double c = 1.0 / std::sqrt(t * t + 1.0);
    const double s = t * c;
    d[i] -= t * off;
    d[i + 1] += t * off;
    for (int k = 0; k < 3; ++k) {
        const double g = q[k][i];
        const double h = q[k][i + 1];
        q[k][i] = c * g - s * h;
        q[k][i + 1] = s * g + c * h;
    }
}

// One implicit QL step on the whole tridiagonal form, shifted by the
// eigenvalue of the leading pair nearer to d[0].
inline void qlStep(double d[3], double e[3], double q[3][3]) noexcept {
    double g = (d[1] - d[0]) / (2.0 * e[0]);
    double r = std::sqrt(g * g + 1.0);
    g = d[2] - d[0] + e[0] / (g + (g >= 0.0 ? r : -r));
    double s = 1.0, c = 1.0, p = 0.0;
    for (int i = 1; i >= 0; --i) {
        const double f = s * e[i];
        const double b = c * e[i];
        r = std::sqrt(f * f + g * g);
        e[i + 1] = r;
        if (r == 0.0) {
            // The step split the form: what it changed so far is kept.
            d[i + 1] -= p;
            e[2] = 0.0;
            return;
        }
        s = f / r;
        c = g / r;
        g = d[i + 1] - p;
        r = (d[i] - g) * s + 2.0 * c * b;
        p = s * r;
        d[i + 1] = g + p;
        g = c * r - b;
        for (int k = 0; k < 3; ++k) {
            const double h = q[k][i + 1];
            q[k][i + 1] = s * q[k][i] + c * h;
            q[k][i] = c * q[k][i] - s * h;
        }
    }
    d[0] -= p;
    e[0] = g;
    e[2] = 0.0;
}

}  // namespace

void qlEigen3(const double matrix[9], double vectors[9], double values[3]) noexcept {
    // A matrix with a NaN or an infinity has no decomposition; all-zero
    // results fail every acceptance test of a caller.
    double largest = 0.0;
    for (int i = 0; i < 9; ++i) {
        if (!std::isfinite(matrix[i])) {
            for (int k = 0; k < 9; ++k) vectors[k] = 0.0;
            for (int k = 0; k < 3; ++k) values[k] = 0.0;
            return;
        }
        const double magnitude = std::fabs(matrix[i]);
        if (magnitude > largest) largest = magnitude;
    }
    // Squares of entries far from 1 would overflow or underflow: such
    // matrices are scaled by a power of two, which is exact.
    double scale = 1.0;
    if (largest > 0x1p+300 || (largest < 0x1p-300 && largest > 0.0)) {
        int exponent = 0;
        std::frexp(largest, &exponent);
        scale = std::ldexp(1.0, -exponent);
    }
    const double a00 = matrix[0] * scale, a01 = matrix[1] * scale, a02 = matrix[2] * scale;
    const double a11 = matrix[4] * scale, a12 = matrix[5] * scale, a22 = matrix[8] * scale;

    // Tridiagonal form Q^T A Q: diagonal d, off-diagonal e (e[i] couples i
    // and i + 1). The reflection leaves the first axis alone.
    double q[3][3] = {{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}};
    double d[3] = {a00, a11, a22};
    double e[3] = {a01, a12, 0.0};
    if (a02 != 0.0) {
        const double h = a01 * a01 + a02 * a02;
        const double g = a01 > 0.0 ? -std::sqrt(h) : std::sqrt(h);
        const double u1 = a01 - g, u2 = a02;
        const double omega = 1.0 / (h - g * a01);
        double p1 = omega * (a11 * u1 + a12 * u2);
        double p2 = omega * (a12 * u1 + a22 * u2);
        const double k = 0.5 * omega * (u1 * p1 + u2 * p2);
        p1 -= k * u1;
        p2 -= k * u2;
        d[1] = a11 - 2.0 * p1 * u1;
        d[2] = a22 - 2.0 * p2 * u2;
        e[0] = g;
        e[1] = a12 - p1 * u2 - u1 * p2;
        q[1][1] = 1.0 - omega * u1 * u1;
        q[1][2] = q[2][1] = -omega * u1 * u2;
        q[2][2] = 1.0 - omega * u2 * u2;
    }

    for (int step = 0; step < kQlSteps; ++step) {
        if (negligible(e[0], d[0], d[1])) {
            e[0] = 0.0;
            rotatePair(d, e, q, 1);
            break;
        }
        if (negligible(e[1], d[1], d[2])) {
            e[1] = 0.0;
            rotatePair(d, e, q, 0);
            break;
        }
        qlStep(d, e, q);
    }

    // Descending order; equal values keep their order.
    int order[3] = {0, 1, 2};
    auto swapIfBelow = [&](int i, int j) {
        if (d[order[i]] < d[order[j]]) {
            const int t = order[i];
            order[i] = order[j];
            order[j] = t;
        }
    };
    swapIfBelow(0, 1);
    swapIfBelow(1, 2);
    swapIfBelow(0, 1);
    for (int r = 0; r < 3; ++r) {
        values[r] = d[order[r]] / scale;
        for (int k = 0; k < 3; ++k) vectors[3 * r + k] = q[k][order[r]];
    }
}

}  // namespace fusion
