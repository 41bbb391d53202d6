// The cost of fusing a scan, seen as a host sees it: only the public
// interface (fusion::Kelvane_Impl_Points), so the figures stay comparable
// however the engine changes behind it.
//
// Every benchmark runs once per load (see Sweeps.h): `dense`, the 60 mm
// sphere of 43,600-point frames 0.2 mm apart, `realistic`, the handheld
// sweep of 46,500-point partial views 0.32 mm apart, and `statue`, the
// handheld sweep over a sculpture with fine relief seen from 150 to 350 mm.
// All have 120 frames, resolution 0.5, a device point spacing of 0.001;
// frames are generated before the clock starts. scripts/bench.sh sets these figures beside a
// depth fusion peer that fuses the same frames in the same run.
//
// BM_NonBlocking/<load>: the frames back to back, each process() call
// non-blocking, the host draining the vertex updates after every frame.
//   call_ms_med/_p95     the host's wait per frame (the first stage)
//   drain_ms_med/_p95    getUpdateVertices per frame; drained_med records
//   pts_per_s            input points over the whole sweep's wall time,
//                        from the first call to the end of the pending
//                        work (waitForPendingWork polls every 100 ms, so
//                        this may be up to 0.1 s long)
//   dropped              second stages skipped because every task slot was
//                        taken (droppedSecondStages); with drops, pts_per_s
//                        counts work that was not done
//
// BM_Paced30fps/<load>: the same at 30 frames a second, as a live scanner
// sends them. dropped must be 0: the second stages keep up.
//
// BM_DrainedAside/<load>: the frames back to back, non-blocking, while a
// second thread drains the vertex updates every half millisecond, as a host
// that drains on its render thread does. The host's thread never drains.
//   aside_drain_ms_med/_p95/_p99/_max   getUpdateVertices on that thread
//   aside_drains                        drains during the sweep
//
// BM_Blocking/<load>: each process() call blocking (both stages).
//   call_ms_med/_p95     wall time per call
//   cpu_ms_med/_p95      processor time of all threads per call: steadier
//                        than wall time when other processes hold a core
//                        (idle OpenMP threads spinning count in it)
//   pts_per_s            input points over the whole sweep's wall time
//
// All three also report:
//   f100_vs_f10          median call of frames 95-104 over frames 5-14:
//                        1.0 means the cost stays flat as the model grows
//   faults_med/_p95      minor page faults per call (first touch of pages)
//   live_points          points in the model at the end (extraction)
//   rss_growth_mib       resident growth from before init to the end of the
//                        sweep, pending work done and updates drained (with
//                        --benchmark_repetitions, only the first repetition's
//                        counts: later ones reuse pages the allocator kept)
//   points_per_frame     mean input points a frame

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "Measure.h"
#include "Sweeps.h"
#include "fusion/Kelvane.h"

namespace {

using kelvane_bench::Clock;
using kelvane_bench::Density;
using kelvane_bench::msSince;
using kelvane_bench::report;
using kelvane_bench::Samples;

// An initialised engine as a host sets it up; null when init fails.
std::unique_ptr<fusion::Kelvane_Impl_Points> makeHost() {
    auto host = std::make_unique<fusion::Kelvane_Impl_Points>();
    if (host->init() != 0) return nullptr;
    fusion::DeviceInfo device{};
    device.point_spacing = 0.001f;
    const float resolution = kelvane_bench::kSweepResolution;
    if (host->setResolution(resolution) != 0 || host->setDeviceInfo(device) != 0) return nullptr;
    return host;
}

int drainUpdates(fusion::Kelvane_Impl_Points& host) {
    fusion::Vertices* updates = nullptr;
    int count = 0;
    host.getUpdateVertices(&updates, count);
    delete[] updates;
    return count;
}

int liveVertexCount(fusion::Kelvane_Impl_Points& host) {
    fusion::Vertices* vertices = nullptr;
    int count = 0;
    host.extractLivePoints(&vertices, count);
    delete[] vertices;
    return count;
}

// Median of frames [first, first + 10).
double windowMedian(const Samples& samples, int first) {
    Samples window;
    for (int i = first; i < first + 10 && i < static_cast<int>(samples.size()); ++i)
        window.add(samples.values()[static_cast<std::size_t>(i)]);
    return window.median();
}

struct StreamMode {
    bool blocking = false;
    double frame_interval_ms = 0;  // 0: as fast as the host can send
    bool drain_aside = false;      // a second thread drains, every 0.5 ms
};

// Drains every half millisecond on a thread of its own until stopped, timing
// each drain.
class AsideDrainer {
public:
    explicit AsideDrainer(fusion::Kelvane_Impl_Points& host)
        : m_thread([this, &host] {
              while (m_running.load(std::memory_order_acquire)) {
                  std::this_thread::sleep_for(std::chrono::microseconds(500));
                  const auto t0 = Clock::now();
                  drainUpdates(host);
                  m_drain_ms.add(msSince(t0));
              }
          }) {}
    ~AsideDrainer() { stop(); }
    AsideDrainer(const AsideDrainer&) = delete;
    AsideDrainer& operator=(const AsideDrainer&) = delete;
    // The drains timed so far; the thread has ended.
    const Samples& stop() {
        m_running.store(false, std::memory_order_release);
        if (m_thread.joinable()) m_thread.join();
        return m_drain_ms;
    }

private:
    std::atomic<bool> m_running{true};
    Samples m_drain_ms;
    std::thread m_thread;  // last: starts once the rest exists
};

void streamSweep(benchmark::State& state, Density density, const StreamMode& mode) {
    const auto& frames = kelvane_bench::sweep(density);
    for (auto _ : state) {
        const double rss_start = kelvane_bench::residentBytesNow();
        auto host = makeHost();
        if (!host) {
            state.SkipWithError("init failed");
            return;
        }
        Samples call_ms, cpu_ms, faults, drain_ms, drained;
        double points = 0;
        std::unique_ptr<AsideDrainer> aside;
        if (mode.drain_aside) aside = std::make_unique<AsideDrainer>(*host);
        const auto started = Clock::now();
        auto deadline = started;
        for (const auto& frame : frames) {
            if (mode.frame_interval_ms > 0) {
                std::this_thread::sleep_until(deadline);
                deadline +=
                    std::chrono::microseconds(static_cast<int64_t>(mode.frame_interval_ms * 1000));
            }
            double pose[16];
            std::copy(frame.pose, frame.pose + 16, pose);
            const int count = static_cast<int>(frame.points.size());
            const double faults0 = kelvane_bench::minorFaults();
            const double cpu0 = kelvane_bench::processCpuMs();
            const auto t0 = Clock::now();
            const int status =
                host->process(frame.points.data(), count, frame.views, pose, mode.blocking);
            call_ms.add(msSince(t0));
            cpu_ms.add(kelvane_bench::processCpuMs() - cpu0);
            faults.add(kelvane_bench::minorFaults() - faults0);
            if (status != 0) {
                state.SkipWithError(("process failed: " + host->getLastErrorMessage()).c_str());
                return;
            }
            points += count;
            if (!mode.blocking && !mode.drain_aside) {
                const auto d0 = Clock::now();
                drained.add(drainUpdates(*host));
                drain_ms.add(msSince(d0));
            }
        }
        host->waitForPendingWork();
        const Samples aside_ms = aside ? aside->stop() : Samples{};
        drainUpdates(*host);
        const double total_ms = msSince(started);
        state.SetIterationTime(total_ms / 1000.0);

        report(state, "call_ms", call_ms);
        report(state, "f100_vs_f10", windowMedian(call_ms, 95) / windowMedian(call_ms, 5));
        report(state, "faults", faults);
        report(state, "points_per_frame", points / static_cast<double>(frames.size()));
        if (mode.frame_interval_ms <= 0) report(state, "pts_per_s", points / (total_ms / 1000.0));
        if (mode.blocking) {
            report(state, "cpu_ms", cpu_ms);
            report(state, "cpu_f100_vs_f10", windowMedian(cpu_ms, 95) / windowMedian(cpu_ms, 5));
        } else if (mode.drain_aside) {
            report(state, "aside_drain_ms", aside_ms);
            report(state, "aside_drain_ms_p99", aside_ms.quantile(0.99));
            report(state, "aside_drain_ms_max", aside_ms.quantile(1.0));
            report(state, "aside_drains", static_cast<double>(aside_ms.size()));
            report(state, "dropped", host->droppedSecondStages());
        } else {
            report(state, "drain_ms", drain_ms);
            report(state, "drained_med", drained.median());
            report(state, "dropped", host->droppedSecondStages());
        }
        report(state, "live_points", liveVertexCount(*host));
        report(state, "rss_growth_mib",
               kelvane_bench::mib(kelvane_bench::residentBytesNow() - rss_start));
        host->deInit();
    }
}

void BM_NonBlocking(benchmark::State& state, Density density) {
    streamSweep(state, density, StreamMode{});
}

void BM_Paced30fps(benchmark::State& state, Density density) {
    StreamMode mode;
    mode.frame_interval_ms = 1000.0 / 30.0;
    streamSweep(state, density, mode);
}

void BM_DrainedAside(benchmark::State& state, Density density) {
    StreamMode mode;
    mode.drain_aside = true;
    streamSweep(state, density, mode);
}

void BM_Blocking(benchmark::State& state, Density density) {
    StreamMode mode;
    mode.blocking = true;
    streamSweep(state, density, mode);
}

#define KELVANE_STREAM_BENCH(function)                         \
    BENCHMARK_CAPTURE(function, dense, Density::Dense)         \
        ->Iterations(1)                                        \
        ->UseManualTime()                                      \
        ->Unit(benchmark::kMillisecond);                       \
    BENCHMARK_CAPTURE(function, realistic, Density::Realistic) \
        ->Iterations(1)                                        \
        ->UseManualTime()                                      \
        ->Unit(benchmark::kMillisecond);                       \
    BENCHMARK_CAPTURE(function, statue, Density::Statue)       \
        ->Iterations(1)                                        \
        ->UseManualTime()                                      \
        ->Unit(benchmark::kMillisecond)

KELVANE_STREAM_BENCH(BM_NonBlocking);
KELVANE_STREAM_BENCH(BM_Blocking);
KELVANE_STREAM_BENCH(BM_Paced30fps);
KELVANE_STREAM_BENCH(BM_DrainedAside);

}  // namespace
