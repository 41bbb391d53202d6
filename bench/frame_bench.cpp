// The cost of fusing frames: what the host waits for, what the workers do
// after it, and whether both keep up with a scanner.
//
// All sweeps stream the same simulated scan: a 60 mm sphere seen from an
// orbiting camera, about 43,600 points a frame, resolution 0.5, `views` as
// one run per image row (a few hundred points each), the way a scanner host
// groups its points. Frames are generated before the clock starts. The host
// drains the vertex updates after every frame.
//
// BM_StreamNonBlocking: 120 frames sent back to back, each process() call
// non-blocking.
//   call_ms_med/_p95        the host's wait per frame (first stage)
//   first_stage_pts_per_s   input points / summed call time
//   f100_vs_f10             median call of frames 95-104 over frames 5-14:
//                           1.0 means the cost stays flat as the model grows
//   faults_med/_p95         minor page faults per call (first touch of zero
//                           pages); faults_f5_14_med for frames 5-14
//   drain_ms_med/_p95       getUpdateVertices per frame; drained_med records
//   full_slot_frames        frames that found every second-stage slot busy
//                           before and after their first stage: an upper bound
//                           on dropped second stages (a stage finishing during
//                           that frame's first stage would have left a slot)
//   team_threads            the OpenMP team (and second-stage slots) of the
//                           engine on this machine
//   rss_growth_mib          resident growth from init to the end of the sweep
//   live_record_mib         what the live point records and the voxels of the
//                           allocated blocks occupy; rss_vs_records = ratio
//
// BM_StreamPaced15fps: the same 120 frames at 15 frames per second. A frame
// that starts with a free slot is never dropped, so full_slot_frames == 0
// proves that no second stage was dropped.
//
// BM_StreamBlocking: 120 frames, each process() blocking (both stages).
//   call_ms_med/_p95, pts_per_s, f100_vs_f10 as above; vs_33ms = median
//   over the 33 ms a 30 fps scanner allows. cpu_ms_med/_p95: processor time
//   of all threads per call, and cpu_f100_vs_f10 its ratio, which other
//   processes on a busy machine disturb less than the wall time (idle
//   OpenMP threads spinning at the end of a loop count in it).
//
// BM_SecondStage: 60 non-blocking frames, each followed by a wait until its
// second stage has finished on the pool (polled every 0.1 ms).
//   stage2_ms_med/_p95      from the end of process() to the stage's end
//   stage2_us_per_point     median over the frame's input points
//
// BM_EigenVersusEstimate: on a model built from 10 sweep frames, the 3x3
// symmetric eigen-decomposition on real neighbourhood scatter matrices against
// the whole per-point estimate (neighbourhood gather, scatter, decomposition,
// acceptance), the latter on copies of the stored points so the model is not
// changed.
//   eigen_ns_med, estimate_ns_med (per call, medians over passes),
//   eigen_share = eigen / estimate

#include <array>
#include <cstring>

#include "BenchSupport.h"
#include "frame/EigenSolver.h"

namespace {

using kelvane_bench::Clock;
using kelvane_bench::mib;
using kelvane_bench::msSince;
using kelvane_bench::report;
using kelvane_bench::Samples;
using kelvane_sim::Frame;
namespace platform = fusion::platform;

constexpr int kSweepFrames = 120;
constexpr float kResolution = 0.5f;

int callProcess(fusion::HashTable& engine, const Frame& frame, bool blocking) {
    double pose[16];
    std::memcpy(pose, frame.pose, sizeof pose);
    const int count = static_cast<int>(frame.points.size());
    return engine.process(frame.points.data(), count, frame.views, pose, blocking);
}

// Median of the call times of frames [first, first + 10).
double windowMedian(const Samples& calls, int first) {
    Samples window;
    for (int i = first; i < first + 10 && i < static_cast<int>(calls.size()); ++i)
        window.add(calls.values()[i]);
    return window.median();
}

struct StreamOptions {
    bool blocking = false;
    double frame_interval_ms = 0;  // 0: as fast as the host can send
    int frames = kSweepFrames;
};

void streamSweep(benchmark::State& state, const StreamOptions& options) {
    const auto& frames = kelvane_bench::sweepFrames(options.frames);
    for (auto _ : state) {
        const double rss_start = static_cast<double>(platform::residentBytes());
        auto engine = kelvane_bench::makeEngine(kResolution);
        if (!engine) {
            state.SkipWithError("init failed");
            return;
        }
        fusion::HashTable* raw = engine.get();
        int queued_after_first_stage = 0;
        // The callback runs on this thread right after the second stage was
        // queued or skipped: the moment to look at the slots.
        engine->setProcessFinishedCallback(
            [raw, &queued_after_first_stage](int) { queued_after_first_stage = kelvane_bench::queuedSecondStages(*raw); });

        Samples call_ms, call_cpu_ms, call_faults, drain_ms, drained, queued;
        double points = 0;
        int full_slot_frames = 0;
        const auto started = Clock::now();
        auto deadline = started;
        for (int i = 0; i < options.frames; ++i) {
            if (options.frame_interval_ms > 0) {
                std::this_thread::sleep_until(deadline);
                deadline += std::chrono::microseconds(static_cast<int64_t>(options.frame_interval_ms * 1000));
            }
            const int queued_before = kelvane_bench::queuedSecondStages(*engine);
            const double faults0 = kelvane_bench::minorFaults();
            const double cpu0 = kelvane_bench::processCpuMs();
            const auto t0 = Clock::now();
            const int status = callProcess(*engine, frames[i], options.blocking);
            call_ms.add(msSince(t0));
            call_cpu_ms.add(kelvane_bench::processCpuMs() - cpu0);
            call_faults.add(kelvane_bench::minorFaults() - faults0);
            if (status != 0) {
                state.SkipWithError(("process failed: " + engine->errorMessage()).c_str());
                return;
            }
            points += static_cast<double>(frames[i].points.size());
            queued.add(queued_before);
            if (!options.blocking && queued_before >= engine->m_thread_num &&
                queued_after_first_stage >= engine->m_thread_num)
                ++full_slot_frames;

            const auto d0 = Clock::now();
            drained.add(kelvane_bench::drainUpdates(*engine));
            drain_ms.add(msSince(d0));
        }
        kelvane_bench::waitForSecondStages(*engine);
        kelvane_bench::drainUpdates(*engine);
        state.SetIterationTime(call_ms.sum() / 1000.0);

        const double rss_growth = static_cast<double>(platform::residentBytes()) - rss_start;
        const double records = kelvane_bench::liveRecordBytes(*engine);
        report(state, "call_ms", call_ms);
        report(state, options.blocking ? "pts_per_s" : "first_stage_pts_per_s",
               points / (call_ms.sum() / 1000.0));
        report(state, "f100_vs_f10", windowMedian(call_ms, 95) / windowMedian(call_ms, 5));
        report(state, "faults", call_faults);
        report(state, "faults_f5_14_med", windowMedian(call_faults, 5));
        if (options.blocking) {
            report(state, "cpu_ms", call_cpu_ms);
            report(state, "cpu_f100_vs_f10", windowMedian(call_cpu_ms, 95) / windowMedian(call_cpu_ms, 5));
        }
        report(state, "live_points", kelvane_bench::liveVertexCount(*engine));
        report(state, "team_threads", engine->m_thread_num);
        report(state, "rss_growth_mib", mib(rss_growth));
        report(state, "live_record_mib", mib(records));
        report(state, "rss_vs_records", records > 0 ? rss_growth / records : 0);
        if (options.blocking) {
            report(state, "vs_33ms", call_ms.median() / 33.0);
        } else {
            report(state, "drain_ms", drain_ms);
            report(state, "drained_med", drained.median());
            report(state, "queued_stages_med", queued.median());
            report(state, "full_slot_frames", full_slot_frames);
        }
        engine->deInit();
    }
}

void BM_StreamNonBlocking(benchmark::State& state) { streamSweep(state, StreamOptions{}); }
BENCHMARK(BM_StreamNonBlocking)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_StreamPaced15fps(benchmark::State& state) {
    StreamOptions options;
    options.frame_interval_ms = 1000.0 / 15.0;
    streamSweep(state, options);
}
BENCHMARK(BM_StreamPaced15fps)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_StreamBlocking(benchmark::State& state) {
    StreamOptions options;
    options.blocking = true;
    streamSweep(state, options);
}
BENCHMARK(BM_StreamBlocking)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_SecondStage(benchmark::State& state) {
    constexpr int kFrames = 60;
    const auto& frames = kelvane_bench::sweepFrames(kFrames);
    for (auto _ : state) {
        auto engine = kelvane_bench::makeEngine(kResolution);
        if (!engine) {
            state.SkipWithError("init failed");
            return;
        }
        Samples stage_ms, per_point_us;
        for (int i = 0; i < kFrames; ++i) {
            if (callProcess(*engine, frames[i], false) != 0) {
                state.SkipWithError(("process failed: " + engine->errorMessage()).c_str());
                return;
            }
            const auto t0 = Clock::now();
            kelvane_bench::waitForSecondStages(*engine);
            const double ms = msSince(t0);
            stage_ms.add(ms);
            per_point_us.add(1000.0 * ms / static_cast<double>(frames[i].points.size()));
            kelvane_bench::drainUpdates(*engine);
        }
        state.SetIterationTime(stage_ms.sum() / 1000.0);
        report(state, "stage2_ms", stage_ms);
        report(state, "stage2_us_per_point", per_point_us.median());
        report(state, "stage2_vs_60ms", stage_ms.median() / 60.0);
        engine->deInit();
    }
}
BENCHMARK(BM_SecondStage)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// Scatter matrix of a neighbourhood, formed as the estimator forms it.
void scatterOf(const float (*positions)[3], int count, double scatter[9]) {
    double mean[3] = {0, 0, 0};
    for (int i = 0; i < count; ++i)
        for (int k = 0; k < 3; ++k) mean[k] += positions[i][k];
    for (double& m : mean) m /= count;
    double s[6] = {0, 0, 0, 0, 0, 0};
    for (int i = 0; i < count; ++i) {
        const float d[3] = {static_cast<float>(positions[i][0] - mean[0]),
                            static_cast<float>(positions[i][1] - mean[1]),
                            static_cast<float>(positions[i][2] - mean[2])};
        s[0] += d[0] * d[0];
        s[1] += d[0] * d[1];
        s[2] += d[0] * d[2];
        s[3] += d[1] * d[1];
        s[4] += d[1] * d[2];
        s[5] += d[2] * d[2];
    }
    const double full[9] = {s[0], s[1], s[2], s[1], s[3], s[4], s[2], s[4], s[5]};
    std::memcpy(scatter, full, sizeof full);
}

void BM_EigenVersusEstimate(benchmark::State& state) {
    constexpr int kModelFrames = 10;
    constexpr int kPasses = 7;
    const auto& frames = kelvane_bench::sweepFrames(kModelFrames);
    for (auto _ : state) {
        auto engine = kelvane_bench::makeEngine(kResolution);
        if (!engine) {
            state.SkipWithError("init failed");
            return;
        }
        for (int i = 0; i < kModelFrames; ++i)
            engine->buildByExistingPoints(frames[i].points.data(), static_cast<int>(frames[i].points.size()));

        // Stored points with a neighbourhood the estimator would use.
        std::vector<fusion::FusionPoint> points;
        std::vector<std::array<double, 9>> matrices;
        const int32_t stored = engine->readablePointCount();
        static float positions[fusion::NeighbourList::kMax][3];
        for (int32_t i = 0; i < stored && points.size() < 20000; ++i) {
            const fusion::FusionPoint* p = engine->pointAt(i);
            if (p == nullptr || p->observation_count == 0) continue;
            int total = 0;
            if (!engine->collectNeighbourPositions(*p, positions, total,
                                                   engine->m_global_params->normal_min_neighbours))
                continue;
            std::array<double, 9> m;
            scatterOf(positions, std::min(total, fusion::NeighbourList::kMax), m.data());
            matrices.push_back(m);
            points.push_back(*p);
        }
        if (points.empty()) {
            state.SkipWithError("no point has a usable neighbourhood");
            return;
        }

        Samples eigen_ns, estimate_ns;
        double sink = 0;
        double measured_ms = 0;
        for (int pass = 0; pass < kPasses; ++pass) {
            auto t0 = Clock::now();
            for (const auto& m : matrices) {
                double vectors[9], values[3];
                fusion::symmetricEigen3(m.data(), vectors, values);
                sink += vectors[8] + values[2];
            }
            double ms = msSince(t0);
            measured_ms += ms;
            eigen_ns.add(1e6 * ms / matrices.size());

            std::vector<fusion::FusionPoint> copies = points;
            for (auto& c : copies) {
                c.normal_update_count = 0;
                c.normal_fresh_flag = 0;
            }
            t0 = Clock::now();
            for (auto& c : copies) sink += engine->estimateFrameNormal(&c) ? 1 : 0;
            ms = msSince(t0);
            measured_ms += ms;
            estimate_ns.add(1e6 * ms / copies.size());
        }
        benchmark::DoNotOptimize(sink);
        state.SetIterationTime(measured_ms / 1000.0);
        report(state, "points", static_cast<double>(points.size()));
        report(state, "eigen_ns", eigen_ns);
        report(state, "estimate_ns", estimate_ns);
        report(state, "eigen_share", eigen_ns.median() / estimate_ns.median());
        engine->deInit();
    }
}
BENCHMARK(BM_EigenVersusEstimate)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
