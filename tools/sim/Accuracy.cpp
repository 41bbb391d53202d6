#include "sim/Accuracy.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <unordered_map>

namespace kelvane_sim {

namespace {

// Fused points bucketed in cubes of one voxel edge.
class PointGrid {
public:
    PointGrid(const std::vector<fusion::Vertices>& points, float cell)
        : m_points(points), m_cell(cell) {
        m_buckets.reserve(points.size());
        for (std::size_t i = 0; i < points.size(); ++i)
            m_buckets[keyOf(cellOf(points[i].position))].push_back(static_cast<int32_t>(i));
    }

    // Calls visit(index) for every point in the 27 cells around `p`.
    template <class Visit>
    void around(const float p[3], Visit&& visit) const {
        const Cell c = cellOf(p);
        for (int dz = -1; dz <= 1; ++dz)
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    const auto found = m_buckets.find(keyOf({c.x + dx, c.y + dy, c.z + dz}));
                    if (found == m_buckets.end()) continue;
                    for (const int32_t i : found->second)
                        visit(m_points[static_cast<std::size_t>(i)]);
                }
    }

private:
    struct Cell {
        int64_t x, y, z;
    };
    Cell cellOf(const float p[3]) const {
        return {static_cast<int64_t>(std::floor(p[0] / m_cell)),
                static_cast<int64_t>(std::floor(p[1] / m_cell)),
                static_cast<int64_t>(std::floor(p[2] / m_cell))};
    }
    static int64_t keyOf(const Cell& c) {
        return (c.x & 0x1FFFFF) | (c.y & 0x1FFFFF) << 21 | (c.z & 0x1FFFFF) << 42;
    }

    const std::vector<fusion::Vertices>& m_points;
    float m_cell;
    std::unordered_map<int64_t, std::vector<int32_t>> m_buckets;
};

double dot(const float a[3], const float b[3]) {
    return double(a[0]) * b[0] + double(a[1]) * b[1] + double(a[2]) * b[2];
}

}  // namespace

Accuracy measureAccuracy(const SweepOptions& options, const std::vector<fusion::Vertices>& fused,
                         const std::vector<float>& scanned, float resolution) {
    Accuracy a;
    a.points = static_cast<int64_t>(fused.size());
    if (fused.empty() || !(resolution > 0)) return a;
    constexpr double kDegree = 180.0 / 3.14159265358979323846;

    double squares = 0, angles = 0;
    std::vector<float> each;
    each.reserve(fused.size());
    for (const fusion::Vertices& v : fused) {
        const double d = surfaceDistance(options, v.position);
        squares += d * d;
        float truth[3];
        surfaceNormal(options, v.position, truth);
        const double length = std::sqrt(dot(v.normal, v.normal));
        const double cosine = length > 0 ? dot(v.normal, truth) / length : -1.0;
        const double angle = std::acos(std::fmax(-1.0, std::fmin(1.0, cosine))) * kDegree;
        angles += angle;
        each.push_back(static_cast<float>(angle));
    }
    a.distance_rms_mm = std::sqrt(squares / fused.size());
    a.normal_error_deg = angles / fused.size();
    const auto p95 = each.begin() + static_cast<std::ptrdiff_t>(each.size() * 95 / 100);
    std::nth_element(each.begin(), p95, each.end());
    a.normal_p95_deg = *p95;

    // Cells wide enough that the 27 around a point hold every neighbour
    // either measure looks at.
    const PointGrid grid(fused, 1.6f * resolution);
    const double reach = double(resolution) * resolution;
    int64_t covered = 0;
    const std::size_t samples = scanned.size() / 3;
    for (std::size_t i = 0; i < samples; ++i) {
        const float* p = &scanned[3 * i];
        bool near = false;
        grid.around(p, [&](const fusion::Vertices& v) {
            const double dx = v.position[0] - p[0], dy = v.position[1] - p[1],
                         dz = v.position[2] - p[2];
            near = near || dx * dx + dy * dy + dz * dz <= reach;
        });
        covered += near ? 1 : 0;
    }
    a.coverage = samples > 0 ? double(covered) / samples : 0.0;

    int64_t doubled = 0;
    for (const fusion::Vertices& v : fused) {
        const double length = std::sqrt(dot(v.normal, v.normal));
        if (!(length > 0)) continue;
        bool stacked = false;
        grid.around(v.position, [&](const fusion::Vertices& w) {
            if (&w == &v || dot(v.normal, w.normal) <= 0.5 * length) return;
            const float d[3] = {w.position[0] - v.position[0], w.position[1] - v.position[1],
                                w.position[2] - v.position[2]};
            const double along = dot(d, v.normal) / length;
            const double side = std::sqrt(std::fmax(0.0, dot(d, d) - along * along));
            stacked = stacked || (std::fabs(along) >= 0.3 * resolution &&
                                  std::fabs(along) <= 1.5 * resolution && side < 0.5 * resolution);
        });
        doubled += stacked ? 1 : 0;
    }
    a.doubled = double(doubled) / fused.size();
    return a;
}

}  // namespace kelvane_sim
