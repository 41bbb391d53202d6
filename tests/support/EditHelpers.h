#pragma once

// Builders and comparators for the snapshot and region-editing tests:
// host-owned streams, reads of the record store, seeded synthetic points
// and short simulated sweeps.

#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/HashTable.h"
#include "output/SnapshotFormat.h"
#include "sim/Simulator.h"

namespace fusion_test {

// A stream object as a host holds it: the buffer a save allocates is the
// host's and goes with the stream.
inline std::shared_ptr<fusion::RealTimeByteStream> hostStream(
    const std::vector<uint8_t>& bytes = {}) {
    auto s = std::shared_ptr<fusion::RealTimeByteStream>(
        new fusion::RealTimeByteStream{nullptr, 0}, [](fusion::RealTimeByteStream* p) {
            delete[] p->data;
            delete p;
        });
    if (!bytes.empty()) {
        s->data = new uint8_t[bytes.size()];
        std::memcpy(s->data, bytes.data(), bytes.size());
        s->size = bytes.size();
    }
    return s;
}

inline std::vector<uint8_t> bytesOf(const fusion::RealTimeByteStream& s) {
    return std::vector<uint8_t>(s.data, s.data + s.size);
}

inline std::vector<fusion::Vertices> takeVertices(fusion::Vertices* array, int count) {
    std::vector<fusion::Vertices> out;
    if (array != nullptr && count > 0) out.assign(array, array + count);
    delete[] array;
    return out;
}

inline std::vector<fusion::Vertices> extractVertices(fusion::HashTable& engine) {
    fusion::Vertices* array = nullptr;
    int count = 0;
    if (engine.extractLivePoints(&array, count) != 0) return {};
    return takeVertices(array, count);
}

inline std::vector<fusion::Vertices> drainUpdates(fusion::HashTable& engine) {
    fusion::Vertices* array = nullptr;
    int count = 0;
    if (engine.getUpdateVertices(&array, count) != 0) return {};
    return takeVertices(array, count);
}

inline bool isLive(const fusion::FusionPoint& p) {
    return p.observation_count != 0 && p.view_id != -1 && p.absorbed_flag != 1;
}
inline bool isMark(const fusion::FusionPoint& p) {
    return p.observation_count == 0 && p.absorbed_flag == 1;
}

template <class Keep>
std::vector<fusion::FusionPoint> recordsWhere(const fusion::HashTable& engine, Keep keep) {
    std::vector<fusion::FusionPoint> out;
    for (int32_t i = 0; i < engine.readablePointCount(); ++i) {
        if (keep(*engine.pointAt(i))) out.push_back(*engine.pointAt(i));
    }
    return out;
}

// Identity of a record across a save and load: its exact position and normal.
inline std::string geometryKey(const fusion::FusionPoint& p) {
    return std::string(reinterpret_cast<const char*>(p.position), 24);
}

inline std::string voxelKey(const float position[3], float resolution) {
    const fusion::Int3 c = fusion::voxelOf(position, resolution);
    return std::to_string(c.x) + "," + std::to_string(c.y) + "," + std::to_string(c.z);
}

// The stream's records as a multiset of their bytes: the record order
// depends on thread timing, the set does not.
inline std::multiset<std::string> streamRecordSet(const fusion::RealTimeByteStream& s) {
    std::multiset<std::string> out;
    for (uint64_t at = fusion::snapshot::kHeaderBytes; at + 4 < s.size;
         at += fusion::snapshot::kRecordBytes) {
        out.insert(std::string(reinterpret_cast<const char*>(s.data) + at, 48));
    }
    return out;
}

// The host's selection of a stored vertex: its position and normal.
inline fusion::PointData selectionOf(const fusion::Vertices& v, int32_t attributes = 8) {
    fusion::PointData d;
    std::memcpy(d.position, v.position, 12);
    std::memcpy(d.normal, v.normal, 12);
    d.attributes = attributes;
    return d;
}

// Noisy samples of a sphere with outward normals.
inline std::vector<fusion::PointData> spherePoints(int count, float radius, uint32_t seed,
                                                   float cx = 0.0f) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> gauss(0.0f, 1.0f);
    std::vector<fusion::PointData> out;
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

inline std::map<int32_t, fusion::Vertices> byViewId(const std::vector<fusion::Vertices>& vs) {
    std::map<int32_t, fusion::Vertices> out;
    for (const fusion::Vertices& v : vs) out[v.view_id] = v;
    return out;
}

// Equal in every field a vertex defines (its three reserved bytes are
// never written).
inline bool sameVertex(const fusion::Vertices& a, const fusion::Vertices& b) {
    return std::memcmp(&a, &b, offsetof(fusion::Vertices, reserved)) == 0 &&
           std::memcmp(&a.scan_level, &b.scan_level, 4) == 0;
}

// Feeds frames [first, last) of a short simulated sweep through the
// pipeline, each one (second stage included) finished before the next.
// Non-blocking frames, so every change is reported to the host.
inline bool runFrames(fusion::HashTable& engine, kelvane_sim::Shape shape, uint32_t seed,
                      int first = 0, int last = 12) {
    kelvane_sim::SweepOptions o;
    o.shape = shape;
    o.seed = seed;
    o.frames = 12;
    o.rows = 80;
    o.columns = 100;
    const kelvane_sim::Scanner scanner(o);
    kelvane_sim::Frame frame;
    for (int i = first; i < last; ++i) {
        scanner.frameAt(i, frame);
        const int count = static_cast<int>(frame.points.size());
        if (count > 0 && engine.process(frame.points.data(), count, frame.views, frame.pose,
                                        false) != 0) {
            return false;
        }
        engine.waitUntilIdle(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace fusion_test
