#pragma once

// Shared by the benchmarks that reach the engine's internals (memory,
// persistence, normals): engines set up the way a host sets them up, the
// dense sweep generated ahead of the measurement, and a few views into the
// engine's bookkeeping. The streaming benchmarks use only the public
// interface and do without this header.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Measure.h"
#include "Workloads.h"
#include "engine/HashTable.h"
#include "platform/platform.h"
#include "sim/Simulator.h"

namespace kelvane_bench {

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

}  // namespace kelvane_bench
