// Which solver the engine's normals use, fixed when the library is built.

#include "frame/EigenSolver.h"

#ifdef KELVANE_EIGEN_OPENCV
#include <opencv2/core/core_c.h>

#include <cfloat>
#endif

namespace fusion {

#ifdef KELVANE_EIGEN_OPENCV

void symmetricEigen3(const double matrix[9], double vectors[9], double values[3]) noexcept {
    // The solver takes a writable input; work on a copy so the caller's
    // matrix is never touched.
    double input[9];
    for (int i = 0; i < 9; ++i) input[i] = matrix[i];

    CvMat input_header = cvMat(3, 3, CV_64FC1, input);
    CvMat vectors_header = cvMat(3, 3, CV_64FC1, vectors);
    CvMat values_header = cvMat(3, 1, CV_64FC1, values);
    try {
        cvEigenVV(&input_header, &vectors_header, &values_header, DBL_EPSILON, -1, -1);
    } catch (...) {
        // The library reports bad input by exception; nothing may escape into
        // the host. All-zero results fail every acceptance test of a caller.
        for (int i = 0; i < 9; ++i) vectors[i] = 0.0;
        for (int i = 0; i < 3; ++i) values[i] = 0.0;
    }
}

#else

void symmetricEigen3(const double matrix[9], double vectors[9], double values[3]) noexcept {
    qlEigen3(matrix, vectors, values);
}

#endif

}  // namespace fusion
