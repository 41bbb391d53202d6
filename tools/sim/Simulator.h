#pragma once

// A simulated handheld scanner: a camera orbits a built-in object and each
// frame casts a grid of rays at it, giving the points a structured-light
// scanner would deliver (positions with noise, normals facing the camera).
// Deterministic for a given seed. Used by the tests, the benchmarks and the
// command-line tool.
//
// Geometry, in the host's unit (millimetres):
//   - The object is centred on the origin and fits in a ball of diameter
//     `object_size`. Sphere: that ball. Box: a cuboid of 0.6 x 0.5 x 0.4
//     sizes turned off the axes. Torus: tube radius 0.14, ring radius 0.34
//     sizes, its axis tilted 40 degrees from z. Bumpy: a sphere whose radius
//     varies smoothly by up to 8 %. Plate: a slab with two steps on one end
//     and a round boss on the other.
//   - The camera stays 2.5 sizes from the centre and looks at it. Frame i
//     sits at azimuth orbit_degrees * i / (frames - 1) about +z, at an
//     elevation of 25 degrees plus a wobble of up to 8 degrees.
//   - Its horizontal field of view just covers the object's ball; rows and
//     columns are square pixels. With the defaults a sphere fills about 88 %
//     of the image: some 43,000 points per frame, spaced about 0.2 mm.
//   - Points come out row by row, left to right. Grazing hits (the surface
//     turned more than about 84 degrees from the ray) are dropped, as a real
//     scanner loses them.
//
// Noise is Gaussian, drawn from std::mt19937 seeded with (seed, frame) and
// turned into normal deviates by our own code, so every frame is the same on
// every platform and can be generated in any order.

#include <cstdint>
#include <string>
#include <vector>

#include "fusion/Kelvane.h"

namespace kelvane_sim {

enum class Shape { Sphere, Box, Torus, Bumpy, Plate };

// Parses "sphere", "box", "torus", "bumpy", "plate"; false when unknown.
bool parseShape(const std::string& name, Shape& shape);
const char* shapeName(Shape shape);

struct SweepOptions {
    Shape shape = Shape::Sphere;
    int frames = 60;
    int rows = 200;          // rays per frame = rows * columns (hits only are kept)
    int columns = 250;
    float object_size = 60.0f;      // the object's extent, in the host's unit (mm)
    float noise = 0.02f;            // standard deviation of position noise
    float normal_noise = 0.02f;     // standard deviation added to normal components
    float orbit_degrees = 300.0f;   // angle covered by the camera over the sweep
    uint32_t seed = 1;
    int scan_level = 8;             // written into each point's attribute word
};

struct Frame {
    std::vector<fusion::PointData> points;
    // One run per image row that produced points, in frame order.
    std::vector<std::vector<int>> views;
    double pose[16];  // camera-to-world, row-major
};

class Scanner {
public:
    explicit Scanner(const SweepOptions& options);
    // Fills `frame` with the next frame; false after the last one.
    bool next(Frame& frame);
    // Frame `index` (0-based) without advancing.
    void frameAt(int index, Frame& frame) const;
    int frameCount() const { return m_options.frames; }
    const SweepOptions& options() const { return m_options; }

private:
    SweepOptions m_options;
    int m_next = 0;
};

// Ground truth for checking fused models against the simulated object.

// Distance from `position` to the object's surface (exact for every shape
// but Bumpy, where it is a first-order estimate, good near the surface).
float surfaceDistance(const SweepOptions& options, const float position[3]);

// Outward unit normal of the surface nearest to `position`.
void surfaceNormal(const SweepOptions& options, const float position[3], float normal[3]);

// Camera-to-world pose of frame `index` (row-major), the same as
// Frame::pose; the camera looks along its +z axis, +x right, +y down.
void cameraPose(const SweepOptions& options, int index, double pose[16]);

}  // namespace kelvane_sim
