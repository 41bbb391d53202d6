#pragma once

// The operator's picture of the fused cloud: every point splatted as a small
// disc into a z-buffer, seen orthographically from a chosen or automatic
// direction, lit by a headlight (Lambert) and coloured by its quality grade
// from red (no grade) through yellow to green (fully graded).

#include <cstdint>
#include <string>
#include <vector>

#include "fusion/Kelvane.h"

namespace kelvane_fuse {

struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;  // row-major, top row first, 3 bytes a pixel

    const uint8_t* pixel(int x, int y) const { return rgb.data() + 3 * (size_t(y) * width + x); }
};

struct PreviewSettings {
    int width = 1024;
    int height = 768;
    bool automatic = true;    // the side most normals face, from 20-60 degrees up
    float azimuth = 0.0f;     // degrees about +z, from +x towards +y
    float elevation = 0.0f;   // degrees above the xy plane
    float point_size = 0.5f;  // splat diameter in the cloud's length unit
};

// Background colour of the preview, for callers that look for the object.
constexpr uint8_t kPreviewBackground[3] = {30, 34, 42};

// The grade the preview colours by: the quality nibble of the point's own
// scan level (nibble 0 for ordinary points, 1-3 for the fine levels).
int previewGrade(const fusion::Vertices& vertex);
// Unlit colour of a grade 0-15.
void gradeColour(int grade, float rgb[3]);

// Unit vector from the cloud's centre towards the camera.
void viewDirection(const std::vector<fusion::Vertices>& vertices, const PreviewSettings& settings,
                   float toward[3]);

Image renderPreview(const std::vector<fusion::Vertices>& vertices, const PreviewSettings& settings);

std::vector<uint8_t> encodePng(const Image& image);
// Encodes and writes through a temporary file; `error` is "<path>: <problem>".
bool writePng(const std::string& path, const Image& image, std::string& error);

}  // namespace kelvane_fuse
