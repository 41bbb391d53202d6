#pragma once

// How well a fused cloud matches the simulated object it was scanned from:
// what a user of a scanner would ask of the model.
//
//   distance_rms_mm   root mean square distance of the fused points from the
//                     object's surface
//   normal_error_deg  mean angle between a fused normal and the surface
//                     normal at its point; normal_p95_deg, the angle 95 %
//                     of the points stay under
//   coverage          share of the scanned points (noise and all) with a
//                     fused point within one voxel edge: the surface the
//                     scan saw that the model keeps
//   doubled           share of fused points with a second fused point of
//                     the same side of the surface stacked on them, between
//                     0.3 and 1.5 voxel edges away along the normal and less
//                     than half an edge to the side: one surface kept twice

#include <cstdint>
#include <vector>

#include "fusion/Kelvane.h"
#include "sim/Simulator.h"

namespace kelvane_sim {

struct Accuracy {
    int64_t points = 0;
    double distance_rms_mm = 0;
    double normal_error_deg = 0;
    double normal_p95_deg = 0;
    double coverage = 0;
    double doubled = 0;
};

// `scanned`: positions the scanner delivered (a sample of the frames is
// plenty), against which coverage is counted.
Accuracy measureAccuracy(const SweepOptions& options, const std::vector<fusion::Vertices>& fused,
                         const std::vector<float>& scanned, float resolution);

}  // namespace kelvane_sim
