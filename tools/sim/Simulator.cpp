#include "sim/Simulator.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace kelvane_sim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegree = kPi / 180.0;

// Hits whose surface turns further than this from the ray (cosine) are
// dropped: a structured-light scanner loses them too, and their positions
// would be dominated by noise.
constexpr double kMinFacing = 0.1;
constexpr double kCameraDistance = 2.5;  // in object sizes
constexpr double kBaseElevation = 25.0 * kDegree;
constexpr double kElevationWobble = 8.0 * kDegree;

// The panel's waves (amplitude and length along x and along y, host unit).
constexpr double kPanelWaveX = 12.0, kPanelLengthX = 300.0;
constexpr double kPanelWaveY = 8.0, kPanelLengthY = 220.0;

struct Vec3 {
    double x = 0, y = 0, z = 0;
};
inline Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vec3 operator*(double s, Vec3 a) { return {s * a.x, s * a.y, s * a.z}; }
inline double dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Vec3 cross(Vec3 a, Vec3 b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline double length(Vec3 a) { return std::sqrt(dot(a, a)); }
inline Vec3 normalise(Vec3 a) {
    const double l = length(a);
    return l > 0 ? (1.0 / l) * a : Vec3{0, 0, 1};
}
inline double component(Vec3 a, int i) { return i == 0 ? a.x : (i == 1 ? a.y : a.z); }
inline void setComponent(Vec3& a, int i, double v) { (i == 0 ? a.x : (i == 1 ? a.y : a.z)) = v; }

// Rotation stored as rows; apply() maps local to world, unapply() back.
struct Rotation {
    Vec3 r0{1, 0, 0}, r1{0, 1, 0}, r2{0, 0, 1};
    Vec3 apply(Vec3 v) const { return {dot(r0, v), dot(r1, v), dot(r2, v)}; }
    Vec3 unapply(Vec3 v) const {
        return {r0.x * v.x + r1.x * v.y + r2.x * v.z, r0.y * v.x + r1.y * v.y + r2.y * v.z,
                r0.z * v.x + r1.z * v.y + r2.z * v.z};
    }
};

Rotation aboutZ(double a) {
    Rotation r;
    r.r0 = {std::cos(a), -std::sin(a), 0};
    r.r1 = {std::sin(a), std::cos(a), 0};
    return r;
}
Rotation aboutX(double a) {
    Rotation r;
    r.r1 = {0, std::cos(a), -std::sin(a)};
    r.r2 = {0, std::sin(a), std::cos(a)};
    return r;
}
Rotation compose(const Rotation& a, const Rotation& b) {  // a * b
    Rotation r;
    const Vec3 c0{b.r0.x, b.r1.x, b.r2.x}, c1{b.r0.y, b.r1.y, b.r2.y}, c2{b.r0.z, b.r1.z, b.r2.z};
    r.r0 = {dot(a.r0, c0), dot(a.r0, c1), dot(a.r0, c2)};
    r.r1 = {dot(a.r1, c0), dot(a.r1, c1), dot(a.r1, c2)};
    r.r2 = {dot(a.r2, c0), dot(a.r2, c1), dot(a.r2, c2)};
    return r;
}

struct Hit {
    double t = 0;
    Vec3 normal;
};

// ---- primitives -------------------------------------------------------------

// Axis-aligned box in its own frame. Entry through the slab method; the
// normal is the face of the slab entered last.
struct Box {
    Vec3 centre;
    Vec3 half;

    bool intersect(Vec3 o, Vec3 d, Hit& hit) const {
        double t_in = -1e300, t_out = 1e300;
        int axis = 0;
        double sign = 1;
        for (int i = 0; i < 3; ++i) {
            const double oi = component(o, i) - component(centre, i);
            const double di = component(d, i);
            const double h = component(half, i);
            if (std::fabs(di) < 1e-300) {
                if (std::fabs(oi) > h) return false;
                continue;
            }
            double a = (-h - oi) / di, b = (h - oi) / di;
            double s = -1;
            if (a > b) {
                std::swap(a, b);
                s = 1;
            }
            if (a > t_in) {
                t_in = a;
                axis = i;
                sign = s;
            }
            t_out = std::min(t_out, b);
        }
        if (t_in > t_out || t_in <= 0) return false;
        hit.t = t_in;
        hit.normal = Vec3{};
        setComponent(hit.normal, axis, sign);
        return true;
    }

    double distance(Vec3 p) const {
        Vec3 q;
        double inside = -1e300;
        double outside = 0;
        for (int i = 0; i < 3; ++i) {
            const double qi =
                std::fabs(component(p, i) - component(centre, i)) - component(half, i);
            setComponent(q, i, qi);
            inside = std::max(inside, qi);
            if (qi > 0) outside += qi * qi;
        }
        return outside > 0 ? std::sqrt(outside) : inside;
    }

    Vec3 gradient(Vec3 p) const {
        Vec3 g;
        bool outside = false;
        int best = 0;
        double best_q = -1e300;
        for (int i = 0; i < 3; ++i) {
            const double rel = component(p, i) - component(centre, i);
            const double qi = std::fabs(rel) - component(half, i);
            if (qi > 0) {
                outside = true;
                setComponent(g, i, rel > 0 ? qi : -qi);
            }
            if (qi > best_q) {
                best_q = qi;
                best = i;
            }
        }
        if (outside) return normalise(g);
        g = Vec3{};
        setComponent(g, best, component(p, best) - component(centre, best) >= 0 ? 1 : -1);
        return g;
    }
};

// Upright cylinder (axis +z): the infinite cylinder clipped by a z slab.
struct Cylinder {
    double cx, cy, radius, z0, z1;

    bool intersect(Vec3 o, Vec3 d, Hit& hit) const {
        const double ox = o.x - cx, oy = o.y - cy;
        const double a = d.x * d.x + d.y * d.y;
        double t_in, t_out;
        bool side_entry = true;
        if (a < 1e-300) {
            if (ox * ox + oy * oy > radius * radius) return false;
            t_in = -1e300;
            t_out = 1e300;
        } else {
            const double b = ox * d.x + oy * d.y;
            const double c = ox * ox + oy * oy - radius * radius;
            const double disc = b * b - a * c;
            if (disc < 0) return false;
            const double root = std::sqrt(disc);
            t_in = (-b - root) / a;
            t_out = (-b + root) / a;
        }
        if (std::fabs(d.z) > 1e-300) {
            double s0 = (z0 - o.z) / d.z, s1 = (z1 - o.z) / d.z;
            if (s0 > s1) std::swap(s0, s1);
            if (s0 > t_in) {
                t_in = s0;
                side_entry = false;
            }
            t_out = std::min(t_out, s1);
        } else if (o.z < z0 || o.z > z1) {
            return false;
        }
        if (t_in > t_out || t_in <= 0) return false;
        hit.t = t_in;
        if (side_entry) {
            const Vec3 p = o + t_in * d;
            hit.normal = normalise({p.x - cx, p.y - cy, 0});
        } else {
            hit.normal = {0, 0, d.z > 0 ? -1.0 : 1.0};
        }
        return true;
    }

    double distance(Vec3 p) const {
        const double dr = std::sqrt((p.x - cx) * (p.x - cx) + (p.y - cy) * (p.y - cy)) - radius;
        const double dz = std::fabs(p.z - 0.5 * (z0 + z1)) - 0.5 * (z1 - z0);
        const double ox = std::max(dr, 0.0), oz = std::max(dz, 0.0);
        return std::sqrt(ox * ox + oz * oz) + std::min(std::max(dr, dz), 0.0);
    }

    Vec3 gradient(Vec3 p) const {
        const Vec3 radial = normalise({p.x - cx, p.y - cy, 0});
        const double zc = 0.5 * (z0 + z1);
        const double dr = std::sqrt((p.x - cx) * (p.x - cx) + (p.y - cy) * (p.y - cy)) - radius;
        const double dz = std::fabs(p.z - zc) - 0.5 * (z1 - z0);
        const Vec3 axial{0, 0, p.z >= zc ? 1.0 : -1.0};
        if (dr > 0 || dz > 0)
            return normalise(std::max(dr, 0.0) * radial + std::max(dz, 0.0) * axial);
        return dr > dz ? radial : axial;
    }
};

// ---- Gaussian deviates ----------------------------------------------------------

// Marsaglia's polar method on mt19937 words: the engine is specified bit for
// bit and this transform is ours, so deviates match across standard libraries.
class Gaussian {
public:
    explicit Gaussian(std::mt19937& engine) : m_engine(engine) {}
    double operator()() {
        if (m_has_spare) {
            m_has_spare = false;
            return m_spare;
        }
        double u, v, s;
        do {
            u = 2.0 * uniform() - 1.0;
            v = 2.0 * uniform() - 1.0;
            s = u * u + v * v;
        } while (s >= 1.0 || s == 0.0);
        const double f = std::sqrt(-2.0 * std::log(s) / s);
        m_spare = v * f;
        m_has_spare = true;
        return u * f;
    }

private:
    double uniform() { return (static_cast<double>(m_engine()) + 0.5) * (1.0 / 4294967296.0); }
    std::mt19937& m_engine;
    double m_spare = 0;
    bool m_has_spare = false;
};

// ---- the objects -------------------------------------------------------------------

// Smooth bump field on the unit sphere for the Bumpy shape, and its gradient
// as a function of R^3 (only its tangential part matters).
constexpr double kBumpAmplitude = 0.08;
constexpr double kBumpLipschitz = 1.8;  // bounds |grad F| near the surface, see below

double bump(Vec3 u) {
    return std::sin(5 * u.x + 0.7) * std::sin(4 * u.y + 1.3) * std::sin(6 * u.z + 0.4);
}
Vec3 bumpGradient(Vec3 u) {
    const double sx = std::sin(5 * u.x + 0.7), sy = std::sin(4 * u.y + 1.3),
                 sz = std::sin(6 * u.z + 0.4);
    return {5 * std::cos(5 * u.x + 0.7) * sy * sz, 4 * sx * std::cos(4 * u.y + 1.3) * sz,
            6 * sx * sy * std::cos(6 * u.z + 0.4)};
}

// ---- the statue ------------------------------------------------------------------

// A figure on a plinth, 500 mm tall, built like a sculpture a scanner is
// pointed at: a torso, a head on a neck, hips, and two arms bent in front of
// the body (they hide parts of it from most directions), blended into one
// surface, with a relief of ripples 2 to 11 mm long and up to 0.45 mm deep
// over all of it. Coordinates are millimetres whatever the object size.
struct Capsule {
    Vec3 a, b;
    double radius;
    double distance(Vec3 p) const {
        const Vec3 ab = b - a, ap = p - a;
        const double t = std::clamp(dot(ap, ab) / dot(ab, ab), 0.0, 1.0);
        return length(ap - t * ab) - radius;
    }
};

// The blend of two distances over a seam `k` wide; it never exceeds either
// and keeps the slope bound of 1.
double smoothMin(double a, double b, double k) {
    const double h = std::clamp(0.5 + 0.5 * (b - a) / k, 0.0, 1.0);
    return b + (a - b) * h - k * h * (1.0 - h);
}

constexpr double kStatueBlend = 12.0;
constexpr double kReliefDepth = 0.86;  // bound of |relief|
constexpr double kReliefSlope = 1.85;  // bound of |grad relief|
constexpr double kStatueLipschitz = 1.0 + kReliefSlope;

const Capsule kStatueParts[] = {
    {{0, 0, -115}, {0, 0, 55}, 72},         // torso
    {{0, 0, 60}, {0, 0, 105}, 26},          // neck
    {{0, 8, 142}, {0, 12, 146}, 46},        // head
    {{-34, 0, -125}, {-40, 12, -170}, 36},  // hips
    {{34, 0, -125}, {40, 12, -170}, 36},
    {{-82, 0, 38}, {-104, 38, -38}, 23},  // upper arms, forward
    {{82, 0, 38}, {104, 38, -38}, 23},
    {{-104, 38, -38}, {-52, 82, -58}, 19},  // forearms, across the front
    {{104, 38, -38}, {54, 80, -70}, 19},
};

double statueBase(Vec3 p) {
    // The plinth: a box with rounded edges under the figure.
    const Vec3 q{std::fabs(p.x) - 105.0, std::fabs(p.y) - 105.0, std::fabs(p.z + 200.0) - 32.0};
    const Vec3 outside{std::max(q.x, 0.0), std::max(q.y, 0.0), std::max(q.z, 0.0)};
    double d = length(outside) + std::min(std::max(q.x, std::max(q.y, q.z)), 0.0) - 8.0;
    for (const Capsule& c : kStatueParts) d = smoothMin(d, c.distance(p), kStatueBlend);
    return d;
}

double statueRelief(Vec3 p) {
    return 0.35 * std::sin(0.7 * p.x + 0.3) * std::sin(0.6 * p.y + 1.1) *
               std::sin(0.55 * p.z + 0.5) +
           0.05 * std::sin(1.1 * (p.x + p.y) + 0.7) * std::sin(1.0 * (p.y - p.z) + 0.2) +
           0.01 * std::sin(3.1 * p.x + 1.3) * std::sin(3.4 * p.z + 0.9);
}

double statueField(Vec3 p) {
    const double base = statueBase(p);
    // Far from the surface the relief cannot matter; skip its sines.
    return base > 2.0 * kReliefDepth ? base : base - statueRelief(p);
}

Vec3 statueGradient(Vec3 p) {
    const double h = 1e-4;  // mm; central differences, good to about h^2
    return normalise({statueField({p.x + h, p.y, p.z}) - statueField({p.x - h, p.y, p.z}),
                      statueField({p.x, p.y + h, p.z}) - statueField({p.x, p.y - h, p.z}),
                      statueField({p.x, p.y, p.z + h}) - statueField({p.x, p.y, p.z - h})});
}

// First crossing of the ray o + t d (t > 0) into the statue. Far from the
// surface the march steps by the base distance less the relief's depth,
// which cannot cross the surface; near it, by the field over its slope bound
// with a floor of 0.02 mm, far below any ripple the relief has. The crossing
// is then bisected to a nanometre.
bool intersectStatue(Vec3 o, Vec3 d, double bound, Hit& hit) {
    const double b = dot(o, d);
    const double c = dot(o, o) - bound * bound;
    const double disc = b * b - c;
    if (disc < 0) return false;
    const double root = std::sqrt(disc);
    double t = std::max(0.0, -b - root);
    const double t_exit = -b + root;
    double previous = t;
    for (int steps = 0;; ++steps) {
        if (steps > 4096 || t > t_exit) return false;
        const Vec3 p = o + t * d;
        const double base = statueBase(p);
        if (base > 2.0 * kReliefDepth) {
            previous = t;
            t += base - kReliefDepth;
            continue;
        }
        const double f = base - statueRelief(p);
        if (f < 0) break;
        previous = t;
        t += std::max(f / kStatueLipschitz, 0.02);
    }
    double lo = previous, hi = t;
    while (hi - lo > 1e-6) {
        const double mid = 0.5 * (lo + hi);
        (statueField(o + mid * d) >= 0 ? lo : hi) = mid;
    }
    hit.t = hi;
    hit.normal = statueGradient(o + hi * d);
    return true;
}

class Object {
public:
    explicit Object(const SweepOptions& options)
        : m_shape(options.shape), m_size(std::max(1e-6, static_cast<double>(options.object_size))) {
        const double s = m_size;
        m_bound = 0.5 * s;
        switch (m_shape) {
            case Shape::Box:
                m_frame = compose(aboutZ(25 * kDegree), aboutX(15 * kDegree));
                m_boxes[0] = {{0, 0, 0}, {0.3 * s, 0.25 * s, 0.2 * s}};
                m_box_count = 1;
                break;
            case Shape::Torus:
                m_frame = aboutX(40 * kDegree);
                m_ring = 0.34 * s;
                m_tube = 0.14 * s;
                break;
            case Shape::Bumpy:
                m_radius = 0.5 * s / (1 + kBumpAmplitude);
                break;
            case Shape::Plate:
                m_boxes[0] = {{0, 0, -0.12 * s}, {0.39 * s, 0.26 * s, 0.04 * s}};          // slab
                m_boxes[1] = {{0.25 * s, 0, -0.04 * s}, {0.14 * s, 0.26 * s, 0.04 * s}};   // step 1
                m_boxes[2] = {{0.315 * s, 0, 0.04 * s}, {0.075 * s, 0.26 * s, 0.04 * s}};  // step 2
                m_box_count = 3;
                m_boss = {-0.18 * s, 0, 0.1 * s, -0.08 * s, 0.12 * s};
                m_has_boss = true;
                break;
            case Shape::Statue:
                // Millimetres: the figure keeps its size and relief.
                m_bound = 300.0;
                break;
            case Shape::Panel:
                m_half_width = 0.5 * std::max(1e-6, static_cast<double>(options.panel_width));
                m_half_height = 0.5 * std::max(1e-6, static_cast<double>(options.panel_height));
                m_bound = std::sqrt(m_half_width * m_half_width + m_half_height * m_half_height) +
                          kPanelWaveX + kPanelWaveY;
                break;
            case Shape::Sphere:
            default:
                m_radius = 0.5 * s;
                break;
        }
    }

    double size() const { return m_size; }
    double bound() const { return m_bound; }

    // First hit of the ray o + t d (d unit, o outside the object), t > 0.
    bool intersect(Vec3 o, Vec3 d, Hit& hit) const {
        switch (m_shape) {
            case Shape::Sphere:
                return intersectSphere(o, d, m_radius, hit);
            case Shape::Box:
            case Shape::Plate:
                return intersectUnion(o, d, hit);
            case Shape::Torus:
            case Shape::Bumpy:
                return intersectImplicit(o, d, hit);
            case Shape::Statue:
                return intersectStatue(o, d, m_bound, hit);
            case Shape::Panel:
                return intersectPanel(o, d, hit);
        }
        return false;
    }

    double distance(Vec3 p) const {
        switch (m_shape) {
            case Shape::Sphere:
                return length(p) - m_radius;
            case Shape::Box:
            case Shape::Plate: {
                const Vec3 q = m_frame.unapply(p);
                double best = m_has_boss ? m_boss.distance(q) : 1e300;
                for (int i = 0; i < m_box_count; ++i) best = std::min(best, m_boxes[i].distance(q));
                return best;
            }
            case Shape::Torus:
                return torusField(m_frame.unapply(p));
            case Shape::Bumpy: {
                // F over |grad F|: first order in the distance, exact on the surface.
                const double g = length(bumpyGradient(p));
                return g > 0 ? bumpyField(p) / g : bumpyField(p);
            }
            case Shape::Statue: {
                // The same first-order estimate, with a numeric gradient.
                const double f = statueField(p), h = 1e-4;
                const Vec3 g{statueField({p.x + h, p.y, p.z}) - statueField({p.x - h, p.y, p.z}),
                             statueField({p.x, p.y + h, p.z}) - statueField({p.x, p.y - h, p.z}),
                             statueField({p.x, p.y, p.z + h}) - statueField({p.x, p.y, p.z - h})};
                const double slope = length(g) / (2 * h);
                return slope > 0 ? f / slope : f;
            }
            case Shape::Panel: {
                // Height over the slope's length: first order, exact on the sheet.
                const Vec3 g = panelGradient(p.x, p.y);
                return (p.z - panelHeight(p.x, p.y)) / length(g);
            }
        }
        return 0;
    }

    Vec3 normal(Vec3 p) const {
        switch (m_shape) {
            case Shape::Sphere:
                return normalise(p);
            case Shape::Box:
            case Shape::Plate: {
                const Vec3 q = m_frame.unapply(p);
                int best = -1;
                double best_d = m_has_boss ? m_boss.distance(q) : 1e300;
                for (int i = 0; i < m_box_count; ++i) {
                    const double di = m_boxes[i].distance(q);
                    if (di < best_d) {
                        best_d = di;
                        best = i;
                    }
                }
                return m_frame.apply(best < 0 ? m_boss.gradient(q) : m_boxes[best].gradient(q));
            }
            case Shape::Torus:
                return m_frame.apply(torusGradient(m_frame.unapply(p)));
            case Shape::Bumpy:
                return normalise(bumpyGradient(p));
            case Shape::Statue:
                return statueGradient(p);
            case Shape::Panel:
                return normalise(panelGradient(p.x, p.y));
        }
        return {0, 0, 1};
    }

    // The panel's sheet z = height(x, y) and the upward normal direction.
    static double panelHeight(double x, double y) {
        return kPanelWaveX * std::sin(2 * kPi * x / kPanelLengthX) +
               kPanelWaveY * std::sin(2 * kPi * y / kPanelLengthY + 0.6);
    }
    static Vec3 panelGradient(double x, double y) {
        const double hx =
            kPanelWaveX * 2 * kPi / kPanelLengthX * std::cos(2 * kPi * x / kPanelLengthX);
        const double hy =
            kPanelWaveY * 2 * kPi / kPanelLengthY * std::cos(2 * kPi * y / kPanelLengthY + 0.6);
        return {-hx, -hy, 1};
    }

private:
    static bool intersectSphere(Vec3 o, Vec3 d, double radius, Hit& hit) {
        const double b = dot(o, d);
        const double c = dot(o, o) - radius * radius;
        const double disc = b * b - c;
        if (disc < 0) return false;
        const double t = -b - std::sqrt(disc);
        if (t <= 0) return false;
        hit.t = t;
        hit.normal = (1.0 / radius) * (o + t * d);
        return true;
    }

    // Entering a union of convex solids from outside: the first entry into
    // any member is the first point of the union.
    bool intersectUnion(Vec3 o, Vec3 d, Hit& hit) const {
        const Vec3 lo = m_frame.unapply(o), ld = m_frame.unapply(d);
        bool found = false;
        Hit h;
        for (int i = 0; i < m_box_count; ++i) {
            if (m_boxes[i].intersect(lo, ld, h) && (!found || h.t < hit.t)) {
                hit = h;
                found = true;
            }
        }
        if (m_has_boss && m_boss.intersect(lo, ld, h) && (!found || h.t < hit.t)) {
            hit = h;
            found = true;
        }
        if (found) hit.normal = m_frame.apply(hit.normal);
        return found;
    }

    // Torus (exact distance field) and Bumpy (a field whose slope is bounded
    // by kBumpLipschitz): march with steps that cannot cross the surface,
    // bracket the crossing, then refine with Newton steps kept inside the
    // bracket (bisection when a step would leave it).
    double field(Vec3 p) const {
        return m_shape == Shape::Torus ? torusField(m_frame.unapply(p)) : bumpyField(p);
    }
    Vec3 fieldGradient(Vec3 p) const {
        return m_shape == Shape::Torus ? m_frame.apply(torusGradient(m_frame.unapply(p)))
                                       : bumpyGradient(p);
    }

    bool intersectImplicit(Vec3 o, Vec3 d, Hit& hit) const {
        // Clip the ray to the bounding ball.
        const double b = dot(o, d);
        const double c = dot(o, o) - m_bound * m_bound;
        const double disc = b * b - c;
        if (disc < 0) return false;
        const double root = std::sqrt(disc);
        double t = std::max(0.0, -b - root);
        const double t_exit = -b + root;
        const double lipschitz = m_shape == Shape::Torus ? 1.0 : kBumpLipschitz;
        // Steps of f / lipschitz cannot cross the surface; near it, a floor
        // keeps the march moving. The floor could only step over a chord
        // shorter than itself, and every hit we keep (facing above
        // kMinFacing on a tube of 0.14 sizes or more) has a chord of at least
        // 0.028 sizes, so nothing kept is lost.
        const double min_step = 2e-3 * m_size;
        double lo = t, hi = t;
        double f = field(o + t * d);
        for (int steps = 0; f >= 0; ++steps) {
            if (steps > 1024) return false;
            lo = hi;
            hi += std::max(f / lipschitz, min_step);
            if (hi > t_exit) return false;
            f = field(o + hi * d);
        }
        double x = lo;
        for (int i = 0; i < 60 && hi - lo > 1e-9 * m_size; ++i) {
            const Vec3 p = o + x * d;
            const double fx = field(p);
            if (fx == 0) {
                lo = hi = x;
                break;
            }
            if (fx > 0)
                lo = x;
            else
                hi = x;
            const double slope = dot(fieldGradient(p), d);
            double next = slope != 0 ? x - fx / slope : 0.5 * (lo + hi);
            if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
            if (std::fabs(next - x) < 1e-10 * m_size) {
                x = next;
                break;
            }
            x = next;
        }
        hit.t = x;
        hit.normal = normalise(fieldGradient(o + x * d));
        return true;
    }

    // A ray from above the sheet: Newton's method on the height along the
    // ray, from where the ray meets the sheet's height below its origin. The
    // slopes stay below 0.26, so from a camera looking down it converges in
    // a few steps.
    bool intersectPanel(Vec3 o, Vec3 d, Hit& hit) const {
        if (d.z >= -1e-6) return false;
        double t = (o.z - panelHeight(o.x, o.y)) / -d.z;
        bool converged = false;
        for (int i = 0; i < 20 && !converged; ++i) {
            const Vec3 p = o + t * d;
            const double g = p.z - panelHeight(p.x, p.y);
            const Vec3 n = panelGradient(p.x, p.y);
            const double slope = d.z + n.x * d.x + n.y * d.y;
            if (slope >= 0) return false;
            t -= g / slope;
            converged = std::fabs(g) < 1e-9 * m_bound;
        }
        const Vec3 p = o + t * d;
        if (!converged || t <= 0 || std::fabs(p.x) > m_half_width || std::fabs(p.y) > m_half_height)
            return false;
        hit.t = t;
        hit.normal = normalise(panelGradient(p.x, p.y));
        return true;
    }

    double torusField(Vec3 q) const {
        const double a = std::sqrt(q.x * q.x + q.y * q.y) - m_ring;
        return std::sqrt(a * a + q.z * q.z) - m_tube;
    }
    Vec3 torusGradient(Vec3 q) const {
        const double rho = std::sqrt(q.x * q.x + q.y * q.y);
        const Vec3 ring =
            rho > 0 ? Vec3{q.x * m_ring / rho, q.y * m_ring / rho, 0} : Vec3{m_ring, 0, 0};
        return normalise(q - ring);
    }

    // F(p) = |p| - R (1 + A b(p / |p|)). The tangential slope of the bump term
    // is at most A |grad b| / (1 - A) < 0.8 near the surface, hence the bound.
    double bumpyField(Vec3 p) const {
        const double r = length(p);
        if (r == 0) return -m_radius;
        return r - m_radius * (1 + kBumpAmplitude * bump((1.0 / r) * p));
    }
    Vec3 bumpyGradient(Vec3 p) const {
        const double r = length(p);
        if (r == 0) return {0, 0, 1};
        const Vec3 u = (1.0 / r) * p;
        const Vec3 gb = bumpGradient(u);
        const Vec3 tangential = gb - dot(gb, u) * u;
        return u - (m_radius * kBumpAmplitude / r) * tangential;
    }

    Shape m_shape;
    double m_size;
    double m_bound;  // radius of the ball holding the object
    Rotation m_frame;
    double m_radius = 0;
    double m_ring = 0, m_tube = 0;
    Box m_boxes[3];
    int m_box_count = 0;
    Cylinder m_boss{0, 0, 0, 0, 0};
    bool m_has_boss = false;
    double m_half_width = 0, m_half_height = 0;  // panel
};

Vec3 toVec(const float p[3]) { return {p[0], p[1], p[2]}; }

void writePose(Vec3 right, Vec3 down, Vec3 forward, Vec3 eye, double pose[16]) {
    const Vec3 columns[4] = {right, down, forward, eye};
    for (int c = 0; c < 4; ++c) {
        pose[c] = columns[c].x;
        pose[4 + c] = columns[c].y;
        pose[8 + c] = columns[c].z;
        pose[12 + c] = c == 3 ? 1.0 : 0.0;
    }
}

// A hand's tremor: two incommensurate tones, so it never repeats within a
// sweep, scaled to peak at about `amplitude`.
double tremor(double amplitude, int index, double phase) {
    return amplitude *
           (0.6 * std::sin(1.7 * index + phase) + 0.4 * std::sin(2.9 * index + 2.3 * phase));
}

// The per-frame motion of the handheld path. The azimuth step sets how far
// the view moves on the surface, hence the overlap of consecutive frames.
constexpr double kHandAzimuthStep = 4.5 * kDegree;
constexpr double kHandElevation = 10.0 * kDegree;
constexpr double kHandElevationSwing = 25.0 * kDegree;
constexpr double kHandElevationPeriod = 90.0;  // frames
constexpr double kHandDistanceSwing = 0.04;    // of the standoff
constexpr double kHandDistancePeriod = 37.0;   // frames
constexpr double kHandShake = 0.5;             // position tremor, host unit
constexpr double kHandTilt = 0.35 * kDegree;   // orientation tremor

// The hand's path around the statue: once and a half around its axis at 2
// degrees a frame (about 88 % of a frame seen by the frame before), up and
// down the figure from the plinth to the head, and from 150 to 350 mm from
// the surface and back every 46 frames, so the spacing of the points on the
// surface goes from 0.2 to about 0.45 mm.
void statuePose(int index, double pose[16]) {
    const double i = index;
    const double azimuth = 20.0 * kDegree + 2.0 * kDegree * i;
    const double height = 20.0 + 140.0 * std::sin(2 * kPi * i / 110.0 + 0.4);
    const double standoff = 235.0 + 85.0 * std::sin(2 * kPi * i / 46.0 + 1.0);
    const double radius = 60.0 + standoff;
    Vec3 eye{radius * std::cos(azimuth), radius * std::sin(azimuth), height + 0.15 * standoff};
    eye = eye + Vec3{tremor(kHandShake, index, 0.3), tremor(kHandShake, index, 1.9),
                     tremor(kHandShake, index, 4.1)};
    Vec3 forward = normalise(Vec3{0, 0, height} - eye);
    Vec3 right = normalise(cross(forward, {0, 0, 1}));
    Vec3 down = cross(forward, right);
    const double pitch = tremor(kHandTilt, index, 5.2), yaw = tremor(kHandTilt, index, 0.8);
    auto turn = [](Vec3& a, Vec3& b, double angle) {
        const double c = std::cos(angle), s = std::sin(angle);
        const Vec3 na = c * a + s * b, nb = c * b - s * a;
        a = na;
        b = nb;
    };
    turn(forward, down, pitch);
    turn(forward, right, yaw);
    writePose(right, down, forward, eye, pose);
}

void handheldPose(const SweepOptions& options, int index, double pose[16]) {
    if (options.shape == Shape::Statue) {
        statuePose(index, pose);
        return;
    }
    const double i = index;
    const double azimuth = kHandAzimuthStep * i;
    const double elevation =
        kHandElevation + kHandElevationSwing * std::sin(2 * kPi * i / kHandElevationPeriod + 0.5);
    const double standoff =
        options.standoff *
        (1 + kHandDistanceSwing * std::sin(2 * kPi * i / kHandDistancePeriod + 1.1));
    const double distance = 0.5 * options.object_size + standoff;
    Vec3 eye{distance * std::cos(elevation) * std::cos(azimuth),
             distance * std::cos(elevation) * std::sin(azimuth), distance * std::sin(elevation)};
    eye = eye + Vec3{tremor(kHandShake, index, 0.3), tremor(kHandShake, index, 1.9),
                     tremor(kHandShake, index, 4.1)};

    // Aimed at the centre, then tilted by the tremor about the camera's own
    // axes (pitch about right, yaw about down, roll about forward).
    Vec3 forward = normalise(-1.0 * eye);
    Vec3 right = normalise(cross(forward, {0, 0, 1}));
    Vec3 down = cross(forward, right);
    const double pitch = tremor(kHandTilt, index, 5.2), yaw = tremor(kHandTilt, index, 0.8),
                 roll = tremor(kHandTilt, index, 3.3);
    auto turn = [](Vec3& a, Vec3& b, double angle) {  // rotates the pair a, b within their plane
        const double c = std::cos(angle), s = std::sin(angle);
        const Vec3 na = c * a + s * b, nb = c * b - s * a;
        a = na;
        b = nb;
    };
    turn(forward, down, pitch);
    turn(forward, right, yaw);
    turn(right, down, roll);
    writePose(right, down, forward, eye, pose);
}

// The raster's frame grid: a frame is columns x rows rays at ray_spacing;
// it moves half its width along a line and 0.68 of its height (about 40 mm)
// from line to line. The last frame of a line and the last line sit at the
// panel's edge.
struct RasterGrid {
    double frame_width, frame_height, step_x, step_y;
    int per_line, lines;
};

RasterGrid rasterGrid(const SweepOptions& options) {
    RasterGrid g;
    g.frame_width = std::max(1, options.columns) * static_cast<double>(options.ray_spacing);
    g.frame_height = std::max(1, options.rows) * static_cast<double>(options.ray_spacing);
    g.step_x = std::max(1e-6, 0.5 * g.frame_width);
    g.step_y = std::max(1e-6, 0.68 * g.frame_height);
    auto positions = [](double extent, double frame, double step) {
        if (extent <= frame) return 1;
        return static_cast<int>(std::ceil((extent - frame) / step - 1e-4)) + 1;
    };
    g.per_line = positions(options.panel_width, g.frame_width, g.step_x);
    g.lines = positions(options.panel_height, g.frame_height, g.step_y);
    return g;
}

void rasterPose(const SweepOptions& options, int index, double pose[16]) {
    const RasterGrid g = rasterGrid(options);
    const int total = g.per_line * g.lines;
    const int k = ((index % total) + total) % total;  // a longer sweep scans the raster again
    const int line = k / g.per_line;
    int along = k % g.per_line;
    if (line % 2 == 1) along = g.per_line - 1 - along;  // back and forth, as a hand goes
    auto centre = [](double extent, double frame, double step, int i) {
        if (extent <= frame) return 0.0;
        return -0.5 * extent + 0.5 * frame + std::min(i * step, extent - frame);
    };
    const double x = centre(options.panel_width, g.frame_width, g.step_x, along);
    const double y = centre(options.panel_height, g.frame_height, g.step_y, line);
    const double ground = kPanelWaveX * std::sin(2 * kPi * x / kPanelLengthX) +
                          kPanelWaveY * std::sin(2 * kPi * y / kPanelLengthY + 0.6);
    const Vec3 eye{x + tremor(kHandShake, index, 0.3), y + tremor(kHandShake, index, 1.9),
                   ground + options.standoff + tremor(kHandShake, index, 4.1)};
    Vec3 forward{0, 0, -1}, right{1, 0, 0};
    Vec3 down = cross(forward, right);
    auto turn = [](Vec3& a, Vec3& b, double angle) {
        const double c = std::cos(angle), s = std::sin(angle);
        const Vec3 na = c * a + s * b, nb = c * b - s * a;
        a = na;
        b = nb;
    };
    turn(forward, down, tremor(kHandTilt, index, 5.2));
    turn(forward, right, tremor(kHandTilt, index, 0.8));
    turn(right, down, tremor(kHandTilt, index, 3.3));
    writePose(right, down, forward, eye, pose);
}

// Width of a pixel at unit depth.
double pixelSize(const SweepOptions& options, const Object& object, Vec3 eye, int columns) {
    if (options.path == Path::Handheld || options.path == Path::Raster)
        return std::max(1e-9, static_cast<double>(options.ray_spacing)) /
               std::max(1e-9, static_cast<double>(options.standoff));
    // The ball holding the object just fills the image width.
    const double distance = length(eye);
    const double half_width =
        std::tan(std::asin(std::min(0.999, object.bound() / std::max(distance, 1e-9))));
    return half_width / (0.5 * columns);
}

void generateFrame(const SweepOptions& options, int index, Frame& frame) {
    frame.points.clear();
    frame.views.clear();
    frame.depth.clear();
    frame.intrinsics = Intrinsics{};
    cameraPose(options, index, frame.pose);
    const int rows = std::max(0, options.rows), columns = std::max(0, options.columns);
    if (rows == 0 || columns == 0) return;

    const Object object(options);
    const double* m = frame.pose;
    const Vec3 right{m[0], m[4], m[8]}, down{m[1], m[5], m[9]}, forward{m[2], m[6], m[10]};
    const Vec3 eye{m[3], m[7], m[11]};
    const double pixel = pixelSize(options, object, eye, columns);

    // Ray (u, v) passes through ((u + 0.5 - columns / 2) pixel, (v + 0.5 - rows / 2) pixel, 1).
    frame.intrinsics.fx = frame.intrinsics.fy = 1.0 / pixel;
    frame.intrinsics.cx = 0.5 * columns - 0.5;
    frame.intrinsics.cy = 0.5 * rows - 0.5;
    frame.intrinsics.width = columns;
    frame.intrinsics.height = rows;
    frame.depth.assign(static_cast<std::size_t>(rows) * columns, 0.0f);

    std::seed_seq seq{options.seed, static_cast<uint32_t>(index)};
    std::mt19937 engine(seq);
    Gaussian gauss(engine);
    const double sigma = options.noise, sigma_n = options.normal_noise;

    // The rays are cast first, rows shared among threads (the geometry of
    // a ray depends on nothing else); the noise is then drawn ray by ray in
    // image order, so a frame is the same whatever the thread count.
    struct Cast {
        bool kept = false;
        Vec3 direction;
        Hit hit;
    };
    std::vector<Cast> casts(static_cast<std::size_t>(rows) * columns);
    auto castRows = [&](int first, int step) {
        for (int v = first; v < rows; v += step) {
            const double y = (v + 0.5 - 0.5 * rows) * pixel;
            for (int u = 0; u < columns; ++u) {
                const double x = (u + 0.5 - 0.5 * columns) * pixel;
                Cast& cast = casts[static_cast<std::size_t>(v) * columns + u];
                cast.direction = normalise(x * right + y * down + forward);
                if (!object.intersect(eye, cast.direction, cast.hit)) continue;
                cast.kept = -dot(cast.hit.normal, cast.direction) > kMinFacing;
            }
        }
    };
    const int helpers = std::min(rows, static_cast<int>(std::thread::hardware_concurrency())) - 1;
    std::vector<std::thread> threads;
    for (int h = 0; h < helpers; ++h) threads.emplace_back(castRows, h + 1, helpers + 1);
    castRows(0, helpers > 0 ? helpers + 1 : 1);
    for (std::thread& t : threads) t.join();

    frame.points.reserve(static_cast<std::size_t>(rows) * columns);
    for (int v = 0; v < rows; ++v) {
        const std::size_t row_start = frame.points.size();
        for (int u = 0; u < columns; ++u) {
            const Cast& cast = casts[static_cast<std::size_t>(v) * columns + u];
            if (!cast.kept) continue;
            const Vec3& d = cast.direction;
            const Hit& hit = cast.hit;

            const double range = hit.t + sigma * gauss();
            const Vec3 p = eye + range * d;
            // Redraw a noisy normal that would turn away from the camera; the
            // facing margin makes this rare for any sensible noise level.
            Vec3 n = hit.normal;
            for (int attempt = 0; attempt < 8; ++attempt) {
                const Vec3 candidate = normalise(
                    hit.normal + Vec3{sigma_n * gauss(), sigma_n * gauss(), sigma_n * gauss()});
                if (-dot(candidate, d) > 0) {
                    n = candidate;
                    break;
                }
            }
            fusion::PointData out;
            out.position[0] = static_cast<float>(p.x);
            out.position[1] = static_cast<float>(p.y);
            out.position[2] = static_cast<float>(p.z);
            out.normal[0] = static_cast<float>(n.x);
            out.normal[1] = static_cast<float>(n.y);
            out.normal[2] = static_cast<float>(n.z);
            out.attributes = options.scan_level;
            frame.points.push_back(out);
            frame.depth[static_cast<std::size_t>(v) * columns + u] =
                static_cast<float>(range * dot(d, forward));
        }
        const std::size_t run = frame.points.size() - row_start;
        if (run > 0 && options.view_run <= 0) frame.views.push_back({static_cast<int>(run)});
    }
    if (options.view_run > 0 && !frame.points.empty()) {
        const int count = static_cast<int>(frame.points.size());
        std::vector<int> runs;
        for (int begin = 0; begin < count; begin += options.view_run)
            runs.push_back(std::min(options.view_run, count - begin));
        frame.views.push_back(std::move(runs));
    }
}

}  // namespace

bool parseShape(const std::string& name, Shape& shape) {
    static const Shape kAll[] = {Shape::Sphere, Shape::Box,    Shape::Torus, Shape::Bumpy,
                                 Shape::Plate,  Shape::Statue, Shape::Panel};
    for (Shape s : kAll) {
        if (name == shapeName(s)) {
            shape = s;
            return true;
        }
    }
    return false;
}

const char* shapeName(Shape shape) {
    switch (shape) {
        case Shape::Sphere:
            return "sphere";
        case Shape::Box:
            return "box";
        case Shape::Torus:
            return "torus";
        case Shape::Bumpy:
            return "bumpy";
        case Shape::Plate:
            return "plate";
        case Shape::Statue:
            return "statue";
        case Shape::Panel:
            return "panel";
    }
    return "unknown";
}

Scanner::Scanner(const SweepOptions& options) : m_options(options) {}

bool Scanner::next(Frame& frame) {
    if (m_next >= m_options.frames) return false;
    generateFrame(m_options, m_next++, frame);
    return true;
}

void Scanner::frameAt(int index, Frame& frame) const { generateFrame(m_options, index, frame); }

float surfaceDistance(const SweepOptions& options, const float position[3]) {
    return static_cast<float>(Object(options).distance(toVec(position)));
}

void surfaceNormal(const SweepOptions& options, const float position[3], float normal[3]) {
    const Vec3 n = Object(options).normal(toVec(position));
    normal[0] = static_cast<float>(n.x);
    normal[1] = static_cast<float>(n.y);
    normal[2] = static_cast<float>(n.z);
}

SweepOptions handheldSweep() {
    SweepOptions o;
    o.shape = Shape::Bumpy;
    o.object_size = 240.0f;
    o.path = Path::Handheld;
    o.frames = 120;
    o.rows = 186;
    o.columns = 250;
    o.standoff = 140.0f;
    o.ray_spacing = 0.28f;
    o.view_run = 256;
    return o;
}

SweepOptions statueSweep() {
    SweepOptions o;
    o.shape = Shape::Statue;
    o.path = Path::Handheld;
    o.frames = 120;
    o.rows = 194;
    o.columns = 250;
    o.standoff = 150.0f;  // rays 0.2 mm apart at 150 mm
    o.ray_spacing = 0.2f;
    o.view_run = 256;
    return o;
}

SweepOptions panelSweep(float width, float height) {
    SweepOptions o;
    o.shape = Shape::Panel;
    o.path = Path::Raster;
    o.panel_width = width;
    o.panel_height = height;
    o.rows = 184;
    o.columns = 250;
    o.standoff = 140.0f;
    o.ray_spacing = 0.32f;
    o.view_run = 256;
    o.frames = rasterFrameCount(o);
    return o;
}

int rasterFrameCount(const SweepOptions& options) {
    const RasterGrid g = rasterGrid(options);
    return g.per_line * g.lines;
}

bool parsePanelSize(const std::string& text, float& width, float& height) {
    const std::size_t x = text.find('x');
    if (x == std::string::npos || x == 0 || x + 1 >= text.size()) return false;
    try {
        std::size_t used_w = 0, used_h = 0;
        const std::string w = text.substr(0, x), h = text.substr(x + 1);
        const float fw = std::stof(w, &used_w), fh = std::stof(h, &used_h);
        if (used_w != w.size() || used_h != h.size()) return false;
        if (!(fw > 0 && fh > 0 && fw <= 1.0e5f && fh <= 1.0e5f)) return false;
        width = fw;
        height = fh;
        return true;
    } catch (...) {
        return false;
    }
}

void cameraPose(const SweepOptions& options, int index, double pose[16]) {
    if (options.path == Path::Handheld) {
        handheldPose(options, index, pose);
        return;
    }
    if (options.path == Path::Raster) {
        rasterPose(options, index, pose);
        return;
    }
    const double fraction =
        options.frames > 1 ? static_cast<double>(index) / (options.frames - 1) : 0.0;
    const double azimuth = options.orbit_degrees * kDegree * fraction;
    const double elevation = kBaseElevation + kElevationWobble * std::sin(3.0 * azimuth);
    const double distance = kCameraDistance * options.object_size;
    const Vec3 eye{distance * std::cos(elevation) * std::cos(azimuth),
                   distance * std::cos(elevation) * std::sin(azimuth),
                   distance * std::sin(elevation)};
    const Vec3 forward = normalise(-1.0 * eye);
    const Vec3 right = normalise(cross(forward, {0, 0, 1}));
    const Vec3 down = cross(forward, right);
    writePose(right, down, forward, eye, pose);
}

}  // namespace kelvane_sim
