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
//     and a round boss on the other. Statue: see statueSweep(); it has its
//     own size and handheld path. Panel: a wavy sheet of `panel_width` x
//     `panel_height` in the xy plane (waves of 12 and 8 mm, 300 and 220 mm
//     long), the part a large job scans; it takes the raster path below.
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
// The handheld path (Path::Handheld, handheldSweep() gives the whole preset)
// models a person sweeping a scanner over an object larger than its field of
// view instead:
//   - The camera stays about `standoff` from the object's bounding ball and
//     looks at its centre, so every frame sees a patch of the surface. Its
//     position drifts slowly around the object (a fixed step of azimuth per
//     frame, a slow weave in elevation and in distance) and trembles by
//     about half a millimetre and a third of a degree, the way a hand does.
//     The path is a function of the frame index alone: a longer sweep
//     extends a shorter one, and the seed changes only the noise.
//   - Neighbouring rays are `ray_spacing` apart at the standoff distance;
//     the image's field of view follows from that and the column count.
//
// The raster path (Path::Raster, panelSweep() gives the preset) scans the
// panel as a person scans a large part: the scanner looks straight down from
// `standoff` above the surface, line after line (left to right, then back),
// and each frame moves half its width along the line, so half of a frame
// overlaps the frame before and half the frame after; lines lie 40 mm apart
// (a frame is about 59 mm tall). The same hand tremor as the handheld path.
//
// Every frame also carries the depth image of its points and the pinhole
// intrinsics that map it back to them, for consumers that fuse depth images.
//
// Noise is Gaussian, drawn from std::mt19937 seeded with (seed, frame) and
// turned into normal deviates by our own code, so every frame is the same on
// every platform and can be generated in any order.

#include <cstdint>
#include <string>
#include <vector>

#include "fusion/Kelvane.h"

namespace kelvane_sim {

enum class Shape { Sphere, Box, Torus, Bumpy, Plate, Statue, Panel };

// How the camera moves: around the whole object, or over it like a hand.
enum class Path { Orbit, Handheld, Raster };

// Parses "sphere", "box", "torus", "bumpy", "plate", "statue", "panel";
// false when unknown.
bool parseShape(const std::string& name, Shape& shape);
const char* shapeName(Shape shape);

struct SweepOptions {
    Shape shape = Shape::Sphere;
    int frames = 60;
    int rows = 200;  // rays per frame = rows * columns (hits only are kept)
    int columns = 250;
    float object_size = 60.0f;     // the object's extent, in the host's unit (mm)
    float noise = 0.02f;           // standard deviation of position noise
    float normal_noise = 0.02f;    // standard deviation added to normal components
    float orbit_degrees = 300.0f;  // angle covered by the camera over the sweep
    uint32_t seed = 1;
    int scan_level = 8;  // written into each point's attribute word
    Path path = Path::Orbit;
    float standoff = 150.0f;       // handheld: camera to the object's bounding ball
    float ray_spacing = 0.32f;     // handheld: ray spacing at the standoff distance
    int view_run = 0;              // points per view run; 0: one run per image row
    float panel_width = 2400.0f;   // panel: extent along x (host unit)
    float panel_height = 1200.0f;  // panel: extent along y
};

// The realistic handheld sweep: 120 frames of the bumpy (non-convex) object
// 240 mm across, seen from about 140 mm through a 250 x 186 image (rays
// 0.28 mm apart at that distance, a 28 degree field of view). A frame is a
// patch of about 80 x 60 mm: 46,500 points about 0.32 mm apart on the
// surface (two thirds of a 0.5 mm voxel), about 88 % of them also seen by
// the frame before. Views are runs of 256 consecutive points.
SweepOptions handheldSweep();

// The harder handheld sweep: 120 frames over the statue (a 500 mm figure
// with blended limbs that hide parts of it, strong curvature and a relief of
// ripples 2 to 11 mm long), seen from 150 to 350 mm through a 250 x 194
// image whose rays are 0.2 mm apart at 150 mm: points 0.2 to 0.45 mm apart
// on the surface, about 46,000 a frame, 88 % of them seen by the frame
// before. Views are runs of 256 consecutive points. object_size does not
// apply: the statue is built in millimetres.
SweepOptions statueSweep();

// The large job: the wavy panel of `width` x `height` mm scanned in a raster
// of frames of 250 x 184 rays 0.32 mm apart (46,000 points, about 80 x 59
// mm), every frame of the raster (1,770 for the 2.4 x 1.2 m default; 11 to
// 12 million fused points at a 0.5 mm resolution). Views are runs of 256
// consecutive points.
SweepOptions panelSweep(float width = 2400.0f, float height = 1200.0f);

// Frames the raster needs to cover the panel of `options`.
int rasterFrameCount(const SweepOptions& options);

// Parses "WIDTHxHEIGHT" (positive numbers, e.g. "2400x1200"); false otherwise.
bool parsePanelSize(const std::string& text, float& width, float& height);

// Pinhole model of a frame's image: pixel (u, v), counted from 0 at the
// top-left, with camera-axis depth z sees the camera-space point
// ((u - cx) z / fx, (v - cy) z / fy, z).
struct Intrinsics {
    double fx = 0, fy = 0, cx = 0, cy = 0;
    int width = 0, height = 0;
};

struct Frame {
    std::vector<fusion::PointData> points;
    // One run per image row that produced points, in frame order; with
    // view_run set, one list of runs of that many consecutive points.
    std::vector<std::vector<int>> views;
    double pose[16];  // camera-to-world, row-major
    Intrinsics intrinsics;
    // height x width depths, row by row: each point's distance along the
    // camera axis at the pixel whose ray produced it, 0 where no point.
    std::vector<float> depth;
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
