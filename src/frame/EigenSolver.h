#pragma once

// Eigen-decomposition of a symmetric 3x3 matrix of doubles, the one piece of
// linear algebra behind the normals.
//
// Both solvers share one contract: `matrix` is row-major and symmetric; on
// return `values` holds the eigenvalues in descending order and `vectors`
// the unit eigenvectors as rows in the same order (row 2 belongs to the
// smallest eigenvalue). They work on the caller's storage only: no heap
// allocation, no lock, safe to call from many threads at once.

namespace fusion {

// The solver the engine uses: the built-in one by default, OpenCV's when the
// library is configured with -DKELVANE_EIGEN=opencv.
void symmetricEigen3(const double matrix[9], double vectors[9], double values[3]) noexcept;

// The built-in solver: QL iteration on the tridiagonal form, accurate to a
// few units in the last place of the largest eigenvalue, at most kQlSteps
// steps (two are typical).
constexpr int kQlSteps = 32;
void qlEigen3(const double matrix[9], double vectors[9], double values[3]) noexcept;

}  // namespace fusion
