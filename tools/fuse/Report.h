#pragma once

// Run statistics and the closing report.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "host/HostMirror.h"
#include "sim/Accuracy.h"

namespace kelvane_fuse {

using kelvane_host::MirrorDiff;
using kelvane_host::MirrorStats;

struct TimingSummary {
    size_t count = 0;
    double median = 0;  // milliseconds
    double p95 = 0;
    double max = 0;
};

// Percentile q in [0, 1] by linear interpolation between closest ranks, so
// the median of an even count is the mean of the middle two.
double percentile(std::vector<double> samples, double q);
TimingSummary summarise(const std::vector<double>& samples_ms);

struct RunReport {
    std::string input;
    int frames = 0;             // frames read from the input
    int frames_accepted = 0;    // process returned 0
    int frames_empty = 0;       // no points, not handed to the library
    std::string first_failure;  // status and message of the first refused frame
    int64_t input_points = 0;
    int64_t rejected_points = 0;  // zero or non-finite positions, refused at intake
    int64_t live_points = 0;
    int vertex_count = 0;  // ids handed out (size of a host table)
    std::vector<double> blocking_ms;
    std::vector<double> non_blocking_ms;
    int callbacks = 0;
    int callback_failures = 0;
    int64_t update_deliveries = 0;
    int second_stages_dropped = 0;  // non-blocking frames that found every task slot taken
    MirrorStats mirror;
    MirrorDiff diff;
    bool blocking = false;
    float resolution = 0;
    int64_t snapshot_vertices = 0;  // loaded before the first frame, -1 when none
    double wall_seconds = 0;
    int64_t peak_resident = 0;
    bool has_accuracy = false;  // simulated input: the model against the true object
    kelvane_sim::Accuracy accuracy;
    std::vector<std::string> written;  // output files
};

void printReport(std::FILE* out, const RunReport& report);

// "12.3 MiB" style.
std::string formatBytes(int64_t bytes);

}  // namespace kelvane_fuse
