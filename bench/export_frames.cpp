// Writes one of the benchmark sweeps as a depth frame file, for the depth
// fusion peer (bench/peer_open3d.py) to fuse exactly the frames the engine
// fuses in the same run.
//
//   export_frames dense|realistic|statue FILE

#include <cstdio>
#include <string>

#include "Sweeps.h"
#include "sim/DepthFrames.h"

int main(int argc, char** argv) {
    kelvane_bench::Density density;
    if (argc != 3 || !kelvane_bench::parseDensity(argv[1], density)) {
        std::fprintf(stderr, "usage: export_frames dense|realistic|statue FILE\n");
        return 1;
    }
    const auto& frames = kelvane_bench::sweep(density);
    std::string error;
    if (!kelvane_sim::writeDepthFrames(argv[2], frames, error)) {
        std::fprintf(stderr, "export_frames: %s\n", error.c_str());
        return 1;
    }
    std::size_t points = 0;
    for (const auto& f : frames) points += f.points.size();
    std::printf("%s: %zu frames, %zu points -> %s\n", argv[1], frames.size(), points, argv[2]);
    return 0;
}
