#pragma once

// Shared by the benchmarks: sample statistics reported as counters, engines
// set up the way a host sets them up, simulated sweeps generated ahead of the
// measurement, and a few views into the engine's bookkeeping.
//
// Every benchmark runs its own repetitions (frames of a sweep, calls of an
// operation) and reports, per measured quantity, `<name>_med` and `<name>_p95`
// counters (linear interpolation between order statistics), plus plain
// counters for totals and ratios. The "Time" column of Google Benchmark is
// the wall time of the whole measured part and matters less than those.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/HashTable.h"
#include "platform/platform.h"
#include "sim/Simulator.h"
#include "Workloads.h"

#if defined(__unix__)
#include <sys/resource.h>
#endif

namespace kelvane_bench {

using Clock = std::chrono::steady_clock;

inline double msBetween(Clock::time_point begin, Clock::time_point end) {
    return std::chrono::duration<double, std::milli>(end - begin).count();
}
inline double msSince(Clock::time_point begin) { return msBetween(begin, Clock::now()); }

inline double mib(double bytes) { return bytes / (1024.0 * 1024.0); }

// Minor page faults of the process so far: each is a fresh zero page touched
// for the first time (about 10 us apiece on the machines we measure on), the
// hidden cost of storage reserved as zero pages. 0 where unknown.
inline double minorFaults() {
#if defined(__unix__)
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) == 0) return static_cast<double>(usage.ru_minflt);
#endif
    return 0;
}

// Processor time of the whole process (every thread), in milliseconds. Less
// disturbed than wall time by other processes competing for the cores.
inline double processCpuMs() { return 1000.0 * static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

inline void report(benchmark::State& state, const std::string& name, double value) {
    state.counters[name] = benchmark::Counter(value);
}
inline void report(benchmark::State& state, const std::string& name, const Samples& samples) {
    report(state, name + "_med", samples.median());
    report(state, name + "_p95", samples.p95());
}

// An initialised engine at `resolution` with a neutral device, as the tests
// and a host would set it up. Null when init fails.
inline std::unique_ptr<fusion::HashTable> makeEngine(float resolution = 0.5f) {
    auto engine = std::make_unique<fusion::HashTable>();
    if (engine->init() != 0) return nullptr;
    fusion::DeviceInfo device{};
    device.point_spacing = 0.001f;
    engine->setResolution(resolution);
    engine->setDeviceInfo(device);
    return engine;
}

// Frames generated once per process and shared by the benchmarks: the cost
// of simulating is not what they measure.
inline const std::vector<kelvane_sim::Frame>& sweepFrames(int frames) {
    static std::mutex lock;
    static std::vector<kelvane_sim::Frame> cache;
    std::lock_guard<std::mutex> guard(lock);
    if (static_cast<int>(cache.size()) < frames) {
        kelvane_sim::SweepOptions options;  // sphere of 60 mm, ~44,000 points a frame
        options.frames = 120;
        const kelvane_sim::Scanner scanner(options);
        const int first = static_cast<int>(cache.size());
        cache.resize(frames);
        for (int i = first; i < frames; ++i) scanner.frameAt(i, cache[i]);
    }
    return cache;
}

// Second stages queued or running right now.
inline int queuedSecondStages(fusion::HashTable& engine) {
    std::lock_guard<std::mutex> guard(engine.m_mutex);
    return engine.m_task_num;
}

// Waits, polling finely, until no second stage holds a slot. The engine's
// own wait polls every 100 ms, too coarse to time a stage with.
inline void waitForSecondStages(fusion::HashTable& engine) {
    for (;;) {
        bool busy = engine.m_processing.load(std::memory_order_acquire);
        for (int i = 0; !busy && i < engine.m_thread_num; ++i)
            busy = engine.m_task_slots[i].load(std::memory_order_acquire) != 0;
        if (!busy) return;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

// Drains the update queue as a host does; returns the records drained.
inline int drainUpdates(fusion::HashTable& engine) {
    fusion::Vertices* updates = nullptr;
    int count = 0;
    engine.getUpdateVertices(&updates, count);
    delete[] updates;
    return count;
}

// Live points, counted by extracting them (getVertexNum counts every id ever
// handed out, freed ones included).
inline int liveVertexCount(fusion::HashTable& engine) {
    fusion::Vertices* vertices = nullptr;
    int count = 0;
    engine.extractLivePoints(&vertices, count);
    delete[] vertices;
    return count;
}

// Bytes that the model's records occupy: the live point records plus the
// voxels of every allocated block. What resident memory is compared with.
inline double liveRecordBytes(fusion::HashTable& engine) {
    return static_cast<double>(liveVertexCount(engine)) * sizeof(fusion::FusionPoint) +
           static_cast<double>(engine.m_block_count.load()) * 512.0 * sizeof(fusion::Voxel);
}

}  // namespace kelvane_bench
