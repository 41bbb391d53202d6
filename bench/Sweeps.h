#pragma once

// The three loads every streaming figure is given for, and that the depth
// fusion peer fuses too (bench/export_frames writes them for it):
//   dense      the 60 mm sphere seen whole from an orbiting camera, 120
//              frames of about 43,600 points 0.2 mm apart (0.4 of a voxel
//              edge at resolution 0.5), views one run per image row;
//   realistic  the simulator's handheld sweep: 120 partial views of a 240 mm
//              bumpy object, 46,500 points a frame 0.32 mm apart (two
//              thirds of a voxel edge), about 88 % overlap between
//              consecutive frames, views runs of 256 points;
//   statue     the simulator's statue sweep: 120 frames over a 500 mm figure
//              with blended limbs, strong curvature and a relief of 2-11 mm
//              ripples, seen from 150 to 350 mm (points 0.2-0.45 mm apart),
//              about 46,000 points a frame, runs of 256 points.
// Frames are generated once per process, before anything is timed.

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "sim/Simulator.h"

namespace kelvane_bench {

enum class Density { Dense, Realistic, Statue };
constexpr int kLoads = 3;

constexpr float kSweepResolution = 0.5f;

inline const char* densityName(Density density) {
    switch (density) {
        case Density::Dense:
            return "dense";
        case Density::Realistic:
            return "realistic";
        case Density::Statue:
            break;
    }
    return "statue";
}

inline bool parseDensity(const std::string& name, Density& density) {
    for (const Density d : {Density::Dense, Density::Realistic, Density::Statue}) {
        if (name == densityName(d)) {
            density = d;
            return true;
        }
    }
    return false;
}

inline kelvane_sim::SweepOptions sweepOptions(Density density) {
    if (density == Density::Realistic) return kelvane_sim::handheldSweep();
    if (density == Density::Statue) return kelvane_sim::statueSweep();
    kelvane_sim::SweepOptions options;  // the default sphere
    options.frames = 120;
    return options;
}

inline const std::vector<kelvane_sim::Frame>& sweep(Density density) {
    static std::mutex lock;
    static std::vector<kelvane_sim::Frame> cache[kLoads];
    std::lock_guard<std::mutex> guard(lock);
    std::vector<kelvane_sim::Frame>& frames = cache[static_cast<int>(density)];
    if (frames.empty()) {
        const kelvane_sim::Scanner scanner(sweepOptions(density));
        frames.resize(static_cast<std::size_t>(scanner.frameCount()));
        for (int i = 0; i < scanner.frameCount(); ++i)
            scanner.frameAt(i, frames[static_cast<std::size_t>(i)]);
    }
    return frames;
}

}  // namespace kelvane_bench
