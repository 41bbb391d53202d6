#pragma once

// A simulated handheld scanner: a camera orbits a built-in object and each
// frame casts a grid of rays at it, giving the points a structured-light
// scanner would deliver (positions with noise, normals facing the camera).
// Deterministic for a given seed. Used by the tests, the benchmarks and the
// command-line tool.

#include <cstdint>
#include <string>
#include <vector>

#include "fusion/Kelvane.h"

namespace kelvane_sim {

enum class Shape { Sphere, Box, Torus, Bumpy };

// Parses "sphere", "box", "torus", "bumpy"; false when unknown.
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

}  // namespace kelvane_sim
