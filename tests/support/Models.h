#pragma once

// Point sets, short sweeps, record-store reads and comparators.

#include <cmath>
#include <cstddef>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "sim/Simulator.h"
#include "support/TestSupport.h"

namespace fusion_test {

inline bool isLive(const FusionPoint& p) {
    return p.observation_count != 0 && p.view_id != -1 && p.absorbed_flag != 1;
}
inline bool isMark(const FusionPoint& p) {
    return p.observation_count == 0 && p.absorbed_flag == 1;
}

template <class Keep>
std::vector<FusionPoint> recordsWhere(const Volume& volume, Keep keep) {
    std::vector<FusionPoint> out;
    for (int32_t i = 0; i < volume.readablePointCount(); ++i)
        if (keep(*volume.pointAt(i))) out.push_back(*volume.pointAt(i));
    return out;
}

inline std::string voxelKey(const float position[3], float resolution) {
    const Int3 c = fusion::voxelOf(position, resolution);
    return std::to_string(c.x) + "," + std::to_string(c.y) + "," + std::to_string(c.z);
}

// The host's selection of a stored vertex: its position and normal.
inline PointData selectionOf(const Vertices& v, int32_t attributes = 8) {
    PointData d;
    std::memcpy(d.position, v.position, 12);
    std::memcpy(d.normal, v.normal, 12);
    d.attributes = attributes;
    return d;
}

// Noisy samples of a sphere with outward normals.
inline std::vector<PointData> spherePoints(int count, float radius, uint32_t seed,
                                           float cx = 0.0f) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> gauss(0.0f, 1.0f);
    std::vector<PointData> out;
    while (static_cast<int>(out.size()) < count) {
        float n[3] = {gauss(rng), gauss(rng), gauss(rng)};
        const float len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
        if (len < 1e-3f) continue;
        const float r = radius + 0.01f * gauss(rng);
        out.push_back({{cx + r * n[0] / len, r * n[1] / len, r * n[2] / len},
                       {n[0] / len, n[1] / len, n[2] / len},
                       8});
    }
    return out;
}

inline std::map<int32_t, Vertices> byViewId(const std::vector<Vertices>& vs) {
    std::map<int32_t, Vertices> out;
    for (const Vertices& v : vs) out[v.view_id] = v;
    return out;
}

// Equal in every field a vertex defines (its reserved bytes are never written).
inline bool sameVertex(const Vertices& a, const Vertices& b) {
    return std::memcmp(&a, &b, offsetof(Vertices, reserved)) == 0 &&
           std::memcmp(&a.scan_level, &b.scan_level, 4) == 0;
}

inline kelvane_sim::SweepOptions smallSweep(kelvane_sim::Shape shape, uint32_t seed = 1,
                                            int frames = 12) {
    kelvane_sim::SweepOptions o;
    o.shape = shape;
    o.seed = seed;
    o.frames = frames;
    o.rows = 80;
    o.columns = 100;
    return o;
}

// Feeds frames [first, last) of a sweep; `settle` waits for each second stage.
template <class Engine>
bool runFrames(Engine& engine, const kelvane_sim::SweepOptions& sweep, bool blocking = false,
               bool settle = true, int first = 0, int last = -1) {
    const kelvane_sim::Scanner scanner(sweep);
    kelvane_sim::Frame frame;
    if (last < 0) last = sweep.frames;
    for (int i = first; i < last; ++i) {
        scanner.frameAt(i, frame);
        const int count = static_cast<int>(frame.points.size());
        if (count > 0 &&
            engine.process(frame.points.data(), count, frame.views, frame.pose, blocking) != 0)
            return false;
        if (settle) engine.waitForPendingWork();
    }
    return true;
}

}  // namespace fusion_test
