#pragma once

// The parts of the benchmarks that decide what their figures mean, kept free
// of the benchmark library so the test suite can check them: sample
// statistics and the synthetic models and selections.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "fusion/Kelvane.h"

namespace kelvane_bench {

class Samples {
public:
    void add(double value) { m_values.push_back(value); }
    std::size_t size() const { return m_values.size(); }
    bool empty() const { return m_values.empty(); }
    double sum() const {
        double s = 0;
        for (double v : m_values) s += v;
        return s;
    }
    // q in [0, 1], by linear interpolation between the order statistics
    // (rank q * (n - 1)); 0 when there are no samples.
    double quantile(double q) const {
        if (m_values.empty()) return 0;
        std::vector<double> sorted = m_values;
        std::sort(sorted.begin(), sorted.end());
        const double rank = q * (sorted.size() - 1);
        const std::size_t below = static_cast<std::size_t>(rank);
        const std::size_t above = std::min(below + 1, sorted.size() - 1);
        return sorted[below] + (rank - below) * (sorted[above] - sorted[below]);
    }
    double median() const { return quantile(0.5); }
    double p95() const { return quantile(0.95); }
    const std::vector<double>& values() const { return m_values; }

private:
    std::vector<double> m_values;
};

// Points on a gently waving sheet, one per voxel column at `resolution`:
// a large, realistic surface whose size is set by the point count. Columns
// sit a quarter voxel off the voxel centres, so no point lies at the origin
// (where the engine reports no updates).
inline std::vector<fusion::PointData> sheetPoints(int count, float resolution,
                                                  float height = 0.0f) {
    std::vector<fusion::PointData> points(count);
    const int side = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(count))));
    const double wave = 40.0 * resolution;
    for (int i = 0; i < count; ++i) {
        const double x = (i % side - side / 2 + 0.25) * resolution;
        const double y = (i / side - side / 2 + 0.25) * resolution;
        const double a = 6.0 * resolution;  // amplitude, small against the wavelength
        const double z = height + a * std::sin(x / wave) * std::sin(y / wave);
        const double dzdx = a / wave * std::cos(x / wave) * std::sin(y / wave);
        const double dzdy = a / wave * std::sin(x / wave) * std::cos(y / wave);
        const double norm = std::sqrt(dzdx * dzdx + dzdy * dzdy + 1.0);
        fusion::PointData& p = points[i];
        p.position[0] = static_cast<float>(x);
        p.position[1] = static_cast<float>(y);
        p.position[2] = static_cast<float>(z);
        p.normal[0] = static_cast<float>(-dzdx / norm);
        p.normal[1] = static_cast<float>(-dzdy / norm);
        p.normal[2] = static_cast<float>(1.0 / norm);
        p.attributes = 8;
    }
    return points;
}

// The `count` points nearest the z axis: a round selection as a host's lasso
// would give. Fewer when `points` holds fewer.
inline std::vector<fusion::PointData> discOf(const std::vector<fusion::PointData>& points,
                                             int count) {
    std::vector<fusion::PointData> disc = points;
    auto radius2 = [](const fusion::PointData& p) {
        return p.position[0] * p.position[0] + p.position[1] * p.position[1];
    };
    count = std::max(0, std::min<int>(count, static_cast<int>(disc.size())));
    std::nth_element(disc.begin(), disc.begin() + count, disc.end(),
                     [&](const fusion::PointData& a, const fusion::PointData& b) {
                         return radius2(a) < radius2(b);
                     });
    disc.resize(count);
    return disc;
}

}  // namespace kelvane_bench
