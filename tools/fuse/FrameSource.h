#pragma once

// Where frames come from: the simulated scanner, a recorded frame file, or a
// directory of per-frame PLY files. Every source is checked as far as it can
// be before the first frame is played, so bad input fails before any work.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuse/Options.h"
#include "fusion/Kelvane.h"
#include "sim/Simulator.h"

namespace kelvane_fuse {

struct SourceFrame {
    std::vector<fusion::PointData> points;
    std::vector<std::vector<int>> views;  // runs of consecutive points
    double pose[16];
};

class FrameSource {
public:
    virtual ~FrameSource() = default;
    virtual std::string describe() const = 0;
    virtual int frameCount() const = 0;
    // An upper bound of any frame's point count.
    virtual int64_t largestFrame() const = 0;
    // Next frame; false at the end (error empty) or on failure (error set,
    // naming the file).
    virtual bool next(SourceFrame& frame, std::string& error) = 0;
    // The simulated sweep the frames come from, for measuring the fused
    // model against the true object; null for recorded input.
    virtual const kelvane_sim::SweepOptions* groundTruth() const { return nullptr; }
};

// Splits `count` points into runs of `run` (the last one shorter), as one
// inner list: the grouping used for inputs that carry none of their own.
std::vector<std::vector<int>> runsOf(int count, int run);

// Sorted list of *.ply files (any case) in `directory`, natural order.
bool listPlyFiles(const std::string& directory, std::vector<std::string>& files,
                  std::string& error);

// Opens the source that the options select; null with `error` on failure.
std::unique_ptr<FrameSource> openFrameSource(const FuseOptions& options, std::string& error);

}  // namespace kelvane_fuse
