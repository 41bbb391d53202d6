// Normals by principal component analysis of the facing neighbourhood: the
// direction of least spread of the neighbours' positions, oriented like the
// normal it replaces.

#include "frame/NormalEstimation.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "frame/EigenSolver.h"
#include "frame/NeighbourhoodScan.h"
#include "frame/Simd.h"
#include "volume/SharedFields.h"

namespace fusion {

namespace {

// One decomposition of a neighbourhood. Everything lives on the stack: the
// estimators run on many threads and allocate nothing.
struct Spread {
    double values[3];     // descending: l0 >= l1 >= l2
    double candidate[3];  // eigenvector of l2
    double agreement;     // current normal . candidate
};

#if KELVANE_HAVE_SSE2
// x and y of a position in the low lanes. The positions are only 4-byte
// aligned, so the pair is copied rather than read as one double in place
// (the compiler makes it the same single 8-byte load).
inline __m128 loadXY(const float position[3]) noexcept {
    __m128i pair = _mm_setzero_si128();
    std::memcpy(&pair, position, 2 * sizeof(float));
    return _mm_castsi128_ps(pair);
}
#endif

// The arithmetic mixes precisions on purpose (deviations rounded to float,
// products formed in float, sums kept in double) so that normals come out
// bit-identical to the ones earlier models were built with.
Spread decompose(const float (*positions)[3], int count, const float current[3]) noexcept {
    double sxx = 0.0, sxy = 0.0, sxz = 0.0, syy = 0.0, syz = 0.0, szz = 0.0;
#if KELVANE_HAVE_SSE2
    // The same operations lane by lane: x and y side by side, the six
    // products as {xx, xy, xz, yy} and {yz, zz}, each sum in its own lane.
    __m128d sum_xy = _mm_setzero_pd();
    double sum_z = 0.0;
    for (int i = 0; i < count; ++i) {
        sum_xy = _mm_add_pd(sum_xy, _mm_cvtps_pd(loadXY(positions[i])));
        sum_z += positions[i][2];
    }
    const __m128d mean_xy = _mm_div_pd(sum_xy, _mm_set1_pd(count));
    const double mean_z = sum_z / count;
    __m128d xx_xy = _mm_setzero_pd(), xz_yy = _mm_setzero_pd(), yz_zz = _mm_setzero_pd();
    for (int i = 0; i < count; ++i) {
        const __m128 xy = _mm_cvtpd_ps(_mm_sub_pd(_mm_cvtps_pd(loadXY(positions[i])), mean_xy));
        const float dz = static_cast<float>(positions[i][2] - mean_z);
        const __m128 z = _mm_set1_ps(dz);
        // {dx, dx, dx, dy} * {dx, dy, dz, dy} and {dy, dz} * {dz, dz}
        const __m128 left = _mm_shuffle_ps(xy, xy, _MM_SHUFFLE(1, 0, 0, 0));
        const __m128 spread = _mm_unpacklo_ps(xy, z);  // {dx, dz, dy, dz}
        const __m128 right = _mm_shuffle_ps(spread, spread, _MM_SHUFFLE(2, 1, 2, 0));
        const __m128 first = _mm_mul_ps(left, right);
        const __m128 second = _mm_mul_ps(_mm_unpacklo_ps(_mm_shuffle_ps(xy, xy, 1), z), z);
        xx_xy = _mm_add_pd(xx_xy, _mm_cvtps_pd(first));
        xz_yy = _mm_add_pd(xz_yy, _mm_cvtps_pd(_mm_movehl_ps(first, first)));
        yz_zz = _mm_add_pd(yz_zz, _mm_cvtps_pd(second));
    }
    alignas(16) double lanes[6];
    _mm_store_pd(lanes, xx_xy);
    _mm_store_pd(lanes + 2, xz_yy);
    _mm_store_pd(lanes + 4, yz_zz);
    sxx = lanes[0], sxy = lanes[1], sxz = lanes[2], syy = lanes[3], syz = lanes[4], szz = lanes[5];
#else
    double sum[3] = {0.0, 0.0, 0.0};
    for (int i = 0; i < count; ++i)
        for (int k = 0; k < 3; ++k) sum[k] += positions[i][k];
    double mean[3];
    for (int k = 0; k < 3; ++k) mean[k] = sum[k] / count;
    for (int i = 0; i < count; ++i) {
        const float dx = static_cast<float>(positions[i][0] - mean[0]);
        const float dy = static_cast<float>(positions[i][1] - mean[1]);
        const float dz = static_cast<float>(positions[i][2] - mean[2]);
        sxx += dx * dx;
        sxy += dx * dy;
        sxz += dx * dz;
        syy += dy * dy;
        syz += dy * dz;
        szz += dz * dz;
    }
#endif
    const double scatter[9] = {sxx, sxy, sxz, sxy, syy, syz, sxz, syz, szz};

    Spread spread;
    double vectors[9];
    symmetricEigen3(scatter, vectors, spread.values);
    for (int k = 0; k < 3; ++k) spread.candidate[k] = vectors[6 + k];
    spread.agreement = static_cast<double>(current[0]) * spread.candidate[0] +
                       static_cast<double>(current[1]) * spread.candidate[1] +
                       static_cast<double>(current[2]) * spread.candidate[2];
    return spread;
}

// Ratios are kept at float precision, as the acceptance thresholds were tuned
// on float values.
float roundedRatio(double numerator, double denominator) noexcept {
    return static_cast<float>(numerator / denominator);
}

// Writes the candidate turned towards the current normal. False when the
// two are perpendicular or the agreement is not a number: then there is no
// orientation to keep.
bool orientCandidate(const Spread& spread, float out[3]) noexcept {
    double sign;
    if (spread.agreement > 0.0)
        sign = 1.0;
    else if (spread.agreement < 0.0)
        sign = -1.0;
    else
        return false;
    for (int k = 0; k < 3; ++k) out[k] = static_cast<float>(sign * spread.candidate[k]);
    return true;
}

}  // namespace

bool isClearPlane(const double values[3]) noexcept {
    const double l0 = values[0], l1 = values[1], l2 = values[2];
    if (!(l1 > 0.05)) return false;
    if (!(0.5 * l1 > l2)) return false;
    if (!(static_cast<double>(roundedRatio(l1 - l2, l0)) > 0.3)) return false;
    return static_cast<double>(roundedRatio(l0 - l1, l0)) < 0.7;
}

namespace {

// estimateFrameNormal, with the neighbourhood gathered from `where` (the
// volume, or a thread's cache over it).
template <class Where>
bool estimateFrameNormalIn(Where& where, const GlobalParams& params, FusionPoint* point) {
    if (point == nullptr || relaxedLoad(point->observation_count) == 0) return false;

    // Throttle: after a success the point waits for the counter to reach
    // 9, 19, 29 or 39 before estimating again; past 40 its normal is final.
    // Second stages of two frames may visit one point at once; the counters
    // then only lose a step.
    const int counter = static_cast<int8_t>(relaxedLoad(point->normal_update_count));
    if (counter > 40) return true;
    if ((counter + 1) % 10 == 0) {
        relaxedStore(point->normal_fresh_flag, uint8_t{0});
    } else if (relaxedLoad(point->normal_fresh_flag) != 0) {
        relaxedStore(point->normal_update_count, static_cast<uint8_t>(counter + 1));
        return false;
    }

    const FusionPoint centre = relaxedCopy(*point);
    float positions[NeighbourList::kMax][3] = {};
    int total = 0;
    if (!collectNeighbourPositions(where, centre, positions, total, params.normal_min_neighbours))
        return false;
    if (total > NeighbourList::kMax) total = NeighbourList::kMax;

    const Spread spread = decompose(positions, total, centre.normal);
    if (!isClearPlane(spread.values)) return false;

    float normal[3];
    if (!orientCandidate(spread, normal)) return false;
    for (int k = 0; k < 3; ++k) relaxedStore(point->normal[k], normal[k]);
    relaxedStore(point->normal_fresh_flag, uint8_t{1});
    relaxedStore(point->normal_update_count, static_cast<uint8_t>(counter + 1));
    return true;
}

}  // namespace

bool estimateFrameNormal(const Volume& volume, FusionPoint* point) {
    return estimateFrameNormalIn(volume, volume.params(), point);
}

bool estimateFrameNormal(BlockCache& cache, FusionPoint* point) {
    return estimateFrameNormalIn(cache, cache.volume().params(), point);
}

bool reestimateNormal(const Volume& volume, FusionPoint* point, float out_normal[3]) {
    if (point == nullptr || relaxedLoad(point->observation_count) == 0) return false;

    const FusionPoint centre = relaxedCopy(*point);
    float positions[NeighbourList::kMax][3] = {};
    int total = 0;
    if (!collectNeighbourPositions(volume, centre, positions, total,
                                   volume.params().normal_min_neighbours))
        return false;
    if (total > NeighbourList::kMax) total = NeighbourList::kMax;

    const Spread spread = decompose(positions, total, centre.normal);
    const double l0 = spread.values[0], l1 = spread.values[1], l2 = spread.values[2];
    const float r1 = roundedRatio(l1 - l2, l0);
    const float r0 = roundedRatio(l0 - l1, l0);
    const double r = volume.resolution();

    // Fine resolutions trust a clear plane; middle ones need a pronounced
    // one; coarse voxels hold too few samples for the shape to say much, so
    // an estimate close to the current normal is taken as confirmation.
    const bool fine_rule = l1 > 0.05 && 0.5 * l1 > l2 && r <= 0.1;
    const bool middle_rule = r1 > 0.5f && r0 < 0.5f && r > 0.1;
    const bool coarse_rule = (spread.agreement < -0.8 || spread.agreement > 0.8) && r > 1.0;

    float normal[3];
    if (!(fine_rule || middle_rule || coarse_rule) || !orientCandidate(spread, normal)) {
        for (int k = 0; k < 3; ++k) out_normal[k] = centre.normal[k];
        return false;
    }
    for (int k = 0; k < 3; ++k) {
        relaxedStore(point->normal[k], normal[k]);
        out_normal[k] = normal[k];
    }
    return true;
}

}  // namespace fusion
