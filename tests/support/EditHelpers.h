#pragma once

// Builders and comparators for the snapshot, area-marking, deletion and
// building tests: host-owned streams, seeded synthetic surfaces, reads of
// the whole record store, and the stream's records as comparable byte sets.

#include <chrono>
#include <cmath>
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
// host's and is released with the stream.
inline std::shared_ptr<fusion::RealTimeByteStream> hostStream() {
    return std::shared_ptr<fusion::RealTimeByteStream>(
        new fusion::RealTimeByteStream{nullptr, 0}, [](fusion::RealTimeByteStream* s) {
            delete[] s->data;
            delete s;
        });
}

// A stream holding a copy of `bytes` (for hand-damaged streams).
inline std::shared_ptr<fusion::RealTimeByteStream> streamOf(const std::vector<uint8_t>& bytes) {
    auto s = hostStream();
    s->data = new uint8_t[bytes.empty() ? 1 : bytes.size()];
    if (!bytes.empty()) std::memcpy(s->data, bytes.data(), bytes.size());
    s->size = bytes.size();
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

// Every pending update record; empty when nothing was queued.
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

// All records of the store below the readable bound that pass `keep`.
template <class Keep>
std::vector<fusion::FusionPoint> recordsWhere(const fusion::HashTable& engine, Keep keep) {
    std::vector<fusion::FusionPoint> out;
    const int32_t n = engine.readablePointCount();
    for (int32_t i = 0; i < n; ++i) {
        const fusion::FusionPoint& p = *engine.pointAt(i);
        if (keep(p)) out.push_back(p);
    }
    return out;
}

inline std::vector<fusion::FusionPoint> liveRecords(const fusion::HashTable& engine) {
    return recordsWhere(engine, isLive);
}

inline std::vector<fusion::FusionPoint> markRecords(const fusion::HashTable& engine) {
    return recordsWhere(engine, isMark);
}

// Identity of a record for matching across a save and load: its exact
// position and normal bits.
inline std::string geometryKey(const float position[3], const float normal[3]) {
    std::string key(24, '\0');
    std::memcpy(&key[0], position, 12);
    std::memcpy(&key[12], normal, 12);
    return key;
}

// The stream's records as a multiset of their 48 bytes: the record order
// depends on thread timing, the set does not.
inline std::multiset<std::string> streamRecordSet(const fusion::RealTimeByteStream& s) {
    std::multiset<std::string> out;
    const uint64_t n = (s.size - fusion::snapshot::kEmptyStreamBytes) /
                       fusion::snapshot::kRecordBytes;
    for (uint64_t k = 0; k < n; ++k) {
        const char* at = reinterpret_cast<const char*>(s.data) + fusion::snapshot::kHeaderBytes +
                         k * fusion::snapshot::kRecordBytes;
        out.insert(std::string(at, fusion::snapshot::kRecordBytes));
    }
    return out;
}

inline fusion::PointData pointData(const float p[3], const float n[3], int32_t attributes = 8) {
    fusion::PointData d;
    for (int k = 0; k < 3; ++k) {
        d.position[k] = p[k];
        d.normal[k] = n[k];
    }
    d.attributes = attributes;
    return d;
}

// The host's selection of a stored vertex: its position and normal.
inline fusion::PointData selectionOf(const fusion::Vertices& v, int32_t attributes = 8) {
    return pointData(v.position, v.normal, attributes);
}

// Noisy samples of a sphere with outward normals.
inline std::vector<fusion::PointData> spherePoints(int count, float radius, uint32_t seed,
                                                   float cx = 0.0f, float cy = 0.0f,
                                                   float cz = 0.0f) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> gauss(0.0f, 1.0f);
    std::vector<fusion::PointData> out;
    out.reserve(static_cast<std::size_t>(count));
    while (static_cast<int>(out.size()) < count) {
        float n[3] = {gauss(rng), gauss(rng), gauss(rng)};
        const float len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
        if (len < 1e-3f) continue;
        for (float& c : n) c /= len;
        const float r = radius + 0.01f * gauss(rng);
        const float p[3] = {cx + r * n[0], cy + r * n[1], cz + r * n[2]};
        out.push_back(pointData(p, n));
    }
    return out;
}

// A plate thinner than one voxel: both faces land in the same voxels, one
// record per face (normals +z and -z), so every voxel holds two sides.
inline std::vector<fusion::PointData> thinPlatePoints(int per_side, float extent, float z,
                                                      uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> coord(-extent, extent);
    std::vector<fusion::PointData> out;
    for (int i = 0; i < per_side; ++i) {
        const float x = coord(rng), y = coord(rng);
        const float top[3] = {x, y, z + 0.001f}, up[3] = {0, 0, 1};
        const float bottom[3] = {x, y, z - 0.001f}, down[3] = {0, 0, -1};
        out.push_back(pointData(top, up));
        out.push_back(pointData(bottom, down));
    }
    return out;
}

inline std::map<int32_t, fusion::Vertices> byViewId(const std::vector<fusion::Vertices>& vs) {
    std::map<int32_t, fusion::Vertices> out;
    for (const fusion::Vertices& v : vs) out[v.view_id] = v;
    return out;
}

inline bool sameVertex(const fusion::Vertices& a, const fusion::Vertices& b) {
    return std::memcmp(a.position, b.position, 12) == 0 &&
           std::memcmp(a.normal, b.normal, 12) == 0 && a.scan_level == b.scan_level &&
           a.protected_flag == b.protected_flag && a.quality_code == b.quality_code;
}

inline bool quietNaNBits(float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof(bits));
    return bits == 0xFFC00000u;
}

inline uint32_t vertexWord(const fusion::Vertices& v) {
    uint32_t word;
    std::memcpy(&word, &v.scan_level, sizeof(word));
    return word;
}

// A short simulated sweep, small enough for a unit test.
inline kelvane_sim::SweepOptions smallSweep(kelvane_sim::Shape shape, uint32_t seed) {
    kelvane_sim::SweepOptions o;
    o.shape = shape;
    o.seed = seed;
    o.frames = 12;
    o.rows = 80;
    o.columns = 100;
    return o;
}

// Feeds frames [first, last) of a sweep through the pipeline, each one
// (second stage included) finished before the next; returns false when a
// frame is refused. Non-blocking frames, so every change is reported.
inline bool runFrames(fusion::HashTable& engine, const kelvane_sim::SweepOptions& options,
                      int first = 0, int last = -1) {
    const kelvane_sim::Scanner scanner(options);
    if (last < 0) last = scanner.frameCount();
    kelvane_sim::Frame frame;
    for (int i = first; i < last; ++i) {
        scanner.frameAt(i, frame);
        const int count = static_cast<int>(frame.points.size());
        if (count == 0) continue;
        if (engine.process(frame.points.data(), count, frame.views, frame.pose, false) != 0) {
            return false;
        }
        engine.waitUntilIdle(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace fusion_test
