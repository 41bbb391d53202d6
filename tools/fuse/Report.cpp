#include "fuse/Report.h"

#include <algorithm>
#include <cmath>

namespace kelvane_fuse {

double percentile(std::vector<double> samples, double q) {
    if (samples.empty()) return 0.0;
    std::sort(samples.begin(), samples.end());
    const double position = std::clamp(q, 0.0, 1.0) * double(samples.size() - 1);
    const auto below = size_t(std::floor(position));
    const size_t above = std::min(below + 1, samples.size() - 1);
    const double fraction = position - double(below);
    return samples[below] + (samples[above] - samples[below]) * fraction;
}

TimingSummary summarise(const std::vector<double>& samples_ms) {
    TimingSummary s;
    s.count = samples_ms.size();
    if (s.count == 0) return s;
    s.median = percentile(samples_ms, 0.5);
    s.p95 = percentile(samples_ms, 0.95);
    s.max = *std::max_element(samples_ms.begin(), samples_ms.end());
    return s;
}

std::string formatBytes(int64_t bytes) {
    static const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double value = double(bytes);
    int unit = 0;
    while (value >= 1024.0 && unit < 4) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, kUnits[unit]);
    return text;
}

namespace {

void printTiming(std::FILE* out, const char* label, const std::vector<double>& samples) {
    const TimingSummary t = summarise(samples);
    if (t.count == 0) {
        std::fprintf(out, "  %-26s not used in this run\n", label);
        return;
    }
    std::fprintf(out, "  %-26s median %.2f ms, p95 %.2f ms, max %.2f ms (%zu frames)\n", label,
                 t.median, t.p95, t.max, t.count);
}

void printMirror(std::FILE* out, const MirrorDiff& d) {
    if (d.sameVertices()) {
        std::fprintf(out, "  %-26s holds the %lld extracted vertices", "host mirror",
                     (long long)d.extracted);
    } else {
        std::fprintf(out,
                     "  %-26s DIFFERS from the extraction: %lld extracted, %lld mirrored, "
                     "%lld missing, %lld extra, %lld duplicate ids",
                     "host mirror", (long long)d.extracted, (long long)d.mirrored,
                     (long long)d.missing, (long long)d.extra, (long long)d.duplicate_ids);
    }
    if (d.matching + d.stale == 0) {
        std::fprintf(out, "\n");  // no common vertex whose values could be compared
    } else if (d.stale == 0) {
        std::fprintf(out, "; every value up to date\n");
    } else {
        // Values may lag by design (a normal re-estimated without a merge is
        // not reported); the set of vertices may not.
        std::fprintf(out,
                     "; %lld up to date, %lld changed since their last update (values may lag)\n",
                     (long long)d.matching, (long long)d.stale);
        std::fprintf(out,
                     "  %-26s %lld moved (max %.4g), %lld turned (max normal component %.4g), %lld "
                     "regraded\n",
                     "", (long long)d.moved, d.max_position_error, (long long)d.turned,
                     d.max_normal_error, (long long)d.regraded);
    }
}

}  // namespace

void printReport(std::FILE* out, const RunReport& r) {
    std::fprintf(out, "\nkelvane-fuse report\n");
    std::fprintf(out, "  %-26s %s\n", "input", r.input.c_str());
    std::fprintf(out, "  %-26s %g%s, %s frames\n", "resolution", double(r.resolution),
                 r.snapshot_vertices >= 0 ? " (from the snapshot)" : "",
                 r.blocking ? "blocking" : "non-blocking");
    if (r.snapshot_vertices >= 0) {
        std::fprintf(out, "  %-26s %lld vertices\n", "snapshot loaded",
                     (long long)r.snapshot_vertices);
    }
    std::fprintf(out, "  %-26s %d read, %d accepted, %d refused, %d empty\n", "frames", r.frames,
                 r.frames_accepted, r.frames - r.frames_accepted - r.frames_empty, r.frames_empty);
    if (!r.first_failure.empty()) {
        std::fprintf(out, "  %-26s %s\n", "first refused frame", r.first_failure.c_str());
    }
    std::fprintf(out, "  %-26s %lld\n", "input points", (long long)r.input_points);
    std::fprintf(out, "  %-26s %lld (zero or non-finite position)\n", "rejected points",
                 (long long)r.rejected_points);
    std::fprintf(out, "  %-26s %lld\n", "fused live points", (long long)r.live_points);
    std::fprintf(out, "  %-26s %d (view ids handed out)\n", "vertex count", r.vertex_count);
    printTiming(out, "process, blocking", r.blocking_ms);
    printTiming(out, "process, non-blocking", r.non_blocking_ms);
    std::fprintf(out, "  %-26s %d calls, %d with a failure status\n", "finished callback",
                 r.callbacks, r.callback_failures);
    std::fprintf(out, "  %-26s %lld records in %lld deliveries (%lld set, %lld removed)\n",
                 "updates drained", (long long)r.mirror.records, (long long)r.update_deliveries,
                 (long long)r.mirror.upserts, (long long)r.mirror.removals);
    if (r.mirror.stray_removals != 0 || r.mirror.invalid != 0) {
        std::fprintf(out, "  %-26s %lld removals of unknown ids, %lld invalid records\n",
                     "update anomalies", (long long)r.mirror.stray_removals,
                     (long long)r.mirror.invalid);
    }
    std::fprintf(
        out, "  %-26s %d%s\n", "second stages dropped", r.second_stages_dropped,
        r.second_stages_dropped > 0 ? " (frames came faster than the pool integrated them)" : "");
    if (r.blocking) {
        // Nothing was reported, so there is no mirror to hold against the
        // extraction.
        std::fprintf(out, "  %-26s not checked: blocking frames report no updates\n",
                     "host mirror");
    } else {
        printMirror(out, r.diff);
    }
    if (r.has_accuracy) {
        const kelvane_sim::Accuracy& a = r.accuracy;
        std::fprintf(out,
                     "  %-26s distance RMS %.4f mm; normals off by %.2f deg on average, 95 %% "
                     "within %.2f deg\n"
                     "  %-26s coverage %.2f %% of the scan; doubled layers %.2f %% of the points\n",
                     "against the true object", a.distance_rms_mm, a.normal_error_deg,
                     a.normal_p95_deg, "", 100.0 * a.coverage, 100.0 * a.doubled);
    }
    std::fprintf(out, "  %-26s %s\n", "peak resident memory",
                 r.peak_resident > 0 ? formatBytes(r.peak_resident).c_str() : "unknown");
    std::fprintf(out, "  %-26s %.2f s\n", "wall time", r.wall_seconds);
    for (const auto& path : r.written) std::fprintf(out, "  %-26s %s\n", "wrote", path.c_str());
}

}  // namespace kelvane_fuse
