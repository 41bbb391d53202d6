#pragma once

// A file of simulated frames for programs outside this build (the depth-image
// fusion peer of the benchmarks): per frame the depth image, its pinhole
// intrinsics, the camera pose and the point positions, so that both sides
// fuse exactly the same frames.
//
// Layout, every number little-endian:
//   header   8 bytes "KVDEPTH1", uint32 frame count, uint32 zero
//   frame    int32 width, int32 height,
//            float64 fx, fy, cx, cy (see Intrinsics),
//            float64 pose[16] (camera-to-world, row-major),
//            float32 depth[height * width] (row by row, 0 where no point),
//            int32 point count, float32 position[count * 3]
// Normals, attributes and views are not stored: depth fusion needs none.

#include <string>
#include <vector>

#include "sim/Simulator.h"

namespace kelvane_sim {

// Writes `frames` to `path`; false with `error` set when it cannot.
bool writeDepthFrames(const std::string& path, const std::vector<Frame>& frames,
                      std::string& error);

// Reads such a file back (normals zero, attributes 0, one view run per
// frame). False with `error` set on a short, damaged or foreign file.
bool readDepthFrames(const std::string& path, std::vector<Frame>& frames, std::string& error);

}  // namespace kelvane_sim
