#include "fuse/Preview.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kelvane_fuse {
namespace {

constexpr float kPi = 3.14159265358979f;

struct Vec {
    float x, y, z;
};
Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec operator+(Vec a, Vec b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec operator*(float s, Vec a) { return {s * a.x, s * a.y, s * a.z}; }
float dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec cross(Vec a, Vec b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
float length(Vec a) { return std::sqrt(dot(a, a)); }
Vec normalised(Vec a) {
    const float n = length(a);
    return n > 0 ? (1.0f / n) * a : Vec{0, 0, 1};
}
Vec load(const float* p) { return {p[0], p[1], p[2]}; }
bool finite(Vec a) { return std::isfinite(a.x) && std::isfinite(a.y) && std::isfinite(a.z); }

Vec fromAngles(float azimuth_deg, float elevation_deg) {
    const float a = azimuth_deg * kPi / 180.0f, e = elevation_deg * kPi / 180.0f;
    return {std::cos(e) * std::cos(a), std::cos(e) * std::sin(a), std::sin(e)};
}

// A closed object scanned all round has no dominant normal; this direction
// shows three sides of it.
constexpr float kDefaultAzimuth = -60.0f;
constexpr float kDefaultElevation = 25.0f;
// The automatic view keeps its elevation within this band.
constexpr float kMinAutoElevation = 20.0f;
constexpr float kMaxAutoElevation = 60.0f;
// Mean unit normal length above which the normals are taken to agree.
constexpr float kMinAgreement = 0.15f;

}  // namespace

int previewGrade(const fusion::Vertices& vertex) {
    int nibble = 0;
    switch (vertex.scan_level) {
        case 16:
            nibble = 1;
            break;
        case 32:
            nibble = 2;
            break;
        case 64:
            nibble = 3;
            break;
        default:
            nibble = 0;
            break;
    }
    return (vertex.quality_code >> (4 * nibble)) & 0xF;
}

void gradeColour(int grade, float rgb[3]) {
    static const float kLow[3] = {0.86f, 0.24f, 0.20f};
    static const float kMid[3] = {0.92f, 0.80f, 0.24f};
    static const float kHigh[3] = {0.27f, 0.76f, 0.36f};
    const float t = std::clamp(grade, 0, 15) / 15.0f;
    const float* from = t < 0.5f ? kLow : kMid;
    const float* to = t < 0.5f ? kMid : kHigh;
    const float u = t < 0.5f ? t * 2.0f : (t - 0.5f) * 2.0f;
    for (int k = 0; k < 3; ++k) rgb[k] = from[k] + (to[k] - from[k]) * u;
}

void viewDirection(const std::vector<fusion::Vertices>& vertices, const PreviewSettings& settings,
                   float toward[3]) {
    Vec d = fromAngles(settings.azimuth, settings.elevation);
    if (settings.automatic) {
        Vec sum{0, 0, 0};
        size_t used = 0;
        for (const auto& v : vertices) {
            const Vec n = load(v.normal);
            const float len = length(n);
            if (!finite(n) || !(len > 0)) continue;
            sum = sum + (1.0f / len) * n;
            ++used;
        }
        // Most normals agreeing: look at that side, but from a three-quarter
        // elevation, since a view straight along the mean normal flattens
        // the relief. Otherwise a fixed three-quarter view.
        const float agreement = length(sum);
        if (used > 0 && agreement > kMinAgreement * float(used)) {
            const Vec m = (1.0f / agreement) * sum;
            const float horizontal = std::sqrt(m.x * m.x + m.y * m.y);
            const float azimuth =
                horizontal > 0.25f ? std::atan2(m.y, m.x) * 180.0f / kPi : kDefaultAzimuth;
            const float elevation = std::asin(std::clamp(m.z, -1.0f, 1.0f)) * 180.0f / kPi;
            d = fromAngles(azimuth, std::clamp(elevation, kMinAutoElevation, kMaxAutoElevation));
        } else {
            d = fromAngles(kDefaultAzimuth, kDefaultElevation);
        }
    }
    toward[0] = d.x;
    toward[1] = d.y;
    toward[2] = d.z;
}

Image renderPreview(const std::vector<fusion::Vertices>& vertices,
                    const PreviewSettings& settings) {
    Image image;
    image.width = std::max(1, settings.width);
    image.height = std::max(1, settings.height);
    const size_t pixels = size_t(image.width) * size_t(image.height);
    image.rgb.resize(3 * pixels);
    for (size_t i = 0; i < pixels; ++i)
        std::copy(kPreviewBackground, kPreviewBackground + 3, &image.rgb[3 * i]);

    // Frame the bounding sphere of the finite points.
    Vec lo{std::numeric_limits<float>::max(), std::numeric_limits<float>::max(),
           std::numeric_limits<float>::max()};
    Vec hi = -1.0f * lo;
    size_t finite_count = 0;
    for (const auto& v : vertices) {
        const Vec p = load(v.position);
        if (!finite(p)) continue;
        lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
        hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
        ++finite_count;
    }
    if (finite_count == 0) return image;
    const Vec centre = 0.5f * (lo + hi);
    float radius = 0.0f;
    for (const auto& v : vertices) {
        const Vec p = load(v.position);
        if (finite(p)) radius = std::max(radius, length(p - centre));
    }
    radius = std::max(radius, 1e-6f);

    float t[3];
    viewDirection(vertices, settings, t);
    const Vec toward{t[0], t[1], t[2]};
    const Vec world_up = std::fabs(toward.z) > 0.95f ? Vec{0, 1, 0} : Vec{0, 0, 1};
    const Vec right = normalised(cross(world_up, toward));
    const Vec up = cross(toward, right);
    const float scale = 0.92f * float(std::min(image.width, image.height)) / (2.0f * radius);
    // Headlight from over the viewer's left shoulder.
    const Vec light = normalised(toward + 0.45f * up - 0.30f * right);

    const float splat_radius = std::max(0.5f, 0.85f * settings.point_size * scale);
    const int reach = int(std::ceil(splat_radius));
    std::vector<float> depth(pixels, -std::numeric_limits<float>::infinity());

    for (const auto& v : vertices) {
        const Vec p = load(v.position);
        if (!finite(p)) continue;
        const Vec q = p - centre;
        const float sx = 0.5f * float(image.width) + dot(q, right) * scale;
        const float sy = 0.5f * float(image.height) - dot(q, up) * scale;
        const float z = dot(q, toward);  // larger is nearer the camera

        const Vec n = load(v.normal);
        const float lambert =
            finite(n) && length(n) > 0 ? std::fabs(dot(normalised(n), light)) : 0.5f;
        const float intensity = 0.22f + 0.78f * lambert;
        float base[3];
        gradeColour(previewGrade(v), base);
        uint8_t colour[3];
        for (int k = 0; k < 3; ++k)
            colour[k] = uint8_t(std::lround(std::min(1.0f, base[k] * intensity) * 255.0f));

        const int cx = int(std::floor(sx)), cy = int(std::floor(sy));
        for (int dy = -reach; dy <= reach; ++dy) {
            const int y = cy + dy;
            if (y < 0 || y >= image.height) continue;
            for (int dx = -reach; dx <= reach; ++dx) {
                const int x = cx + dx;
                if (x < 0 || x >= image.width) continue;
                const float ox = float(x) + 0.5f - sx, oy = float(y) + 0.5f - sy;
                if (ox * ox + oy * oy > splat_radius * splat_radius && (dx != 0 || dy != 0))
                    continue;
                const size_t at = size_t(y) * size_t(image.width) + size_t(x);
                if (z <= depth[at]) continue;
                depth[at] = z;
                std::copy(colour, colour + 3, &image.rgb[3 * at]);
            }
        }
    }
    return image;
}

}  // namespace kelvane_fuse
