#pragma once

// Eigen-decomposition of a symmetric 3x3 matrix of doubles. The only place
// the engine calls into the linear-algebra library, so the normal estimator
// stays independent of its headers.

namespace fusion {

// `matrix` is row-major and symmetric. On return `values` holds the
// eigenvalues in descending order and `vectors` the unit eigenvectors as
// rows in the same order (row 2 belongs to the smallest eigenvalue).
// Works on the caller's storage only: no heap allocation of ours, no lock,
// safe to call from many threads at once.
void symmetricEigen3(const double matrix[9], double vectors[9], double values[3]) noexcept;

}  // namespace fusion
