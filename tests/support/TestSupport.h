#pragma once

// Builders and harnesses shared by the whole suite.

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "engine/HashTable.h"
#include "platform/platform.h"
#include "volume/Placement.h"
#include "volume/SharedFields.h"
#include "volume/Volume.h"

namespace fusion_test {

using fusion::FoundPoint;
using fusion::FusionPoint;
using fusion::GlobalParams;
using fusion::HashTable;
using fusion::Int3;
using fusion::PointData;
using fusion::Vertices;
using fusion::Volume;

// 4096 buckets and excess entries, voxel chunks of 64 blocks, point chunks of
// 1024 records: limits reached after a few hundred blocks.
inline GlobalParams smallParams() {
    GlobalParams p = fusion::compactGlobalParams(12, 6, 10);
    p.voxel_chunk_max = 1024;
    p.point_chunk_max = 1024;
    return p;
}

struct TestVolume {
    explicit TestVolume(float resolution = 0.5f, const GlobalParams& params = smallParams()) {
        ok = volume.allocate(params);
        volume.setResolution(resolution);
    }
    Volume volume;
    bool ok = false;
};

inline PointData makePoint(float x, float y, float z, float nx, float ny, float nz,
                           int attributes = 8) {
    return PointData{{x, y, z}, {nx, ny, nz}, attributes};
}

// The record frame intake prepares for one input point.
inline FusionPoint observation(float x, float y, float z, float nx, float ny, float nz,
                               uint8_t level = 8, uint8_t protected_flag = 0, uint16_t count = 1) {
    FusionPoint p = fusion::defaultFusionPoint();
    p.position[0] = x;
    p.position[1] = y;
    p.position[2] = z;
    p.normal[0] = nx;
    p.normal[1] = ny;
    p.normal[2] = nz;
    p.scan_level = level;
    p.protected_flag = protected_flag;
    p.observation_count = count;
    return p;
}

inline FoundPoint place(Volume& volume, const FusionPoint& p, fusion::PlacementRules rules = {}) {
    return fusion::addObservation(volume, rules, p.position, p);
}

// One observed record at the centre of voxel c, stamped and masked as given.
inline FoundPoint placeAt(Volume& volume, const Int3& c, const float normal[3], int32_t stamp,
                          uint64_t mask = 0) {
    const float r = volume.resolution();
    FusionPoint p = observation(c.x * r, c.y * r, c.z * r, normal[0], normal[1], normal[2]);
    p.frame_stamp = stamp;
    p.sub_voxel_mask = mask;
    fusion::PlacementRules rules;
    rules.mark_sub_cells = false;
    return place(volume, p, rules);
}

// A record of `count` observations at (x, y, z), known to the host by a view id.
inline FusionPoint* putRecord(Volume& volume, float x, float y, float z, const float normal[3],
                              int count = 1, uint8_t level = 8, bool protect = false) {
    const FoundPoint found = place(volume, observation(x, y, z, normal[0], normal[1], normal[2],
                                                       level, protect ? 1 : 0, uint16_t(count)));
    if (!found) return nullptr;
    found.record->view_id = volume.viewIds().allocate();
    return found.record;
}

inline bool sameBytes(const FusionPoint& a, const FusionPoint& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

struct EngineOptions {
    float resolution = 0.5f;
    int frame_points = 60000;
    bool small = false;  // the small volume of smallParams()
    int threads = 0;     // thread count of init (setInitThreadCount); 0 the processor rule
};

// An initialised engine with a neutral device (spacing 0.001): fusion is on.
inline std::unique_ptr<HashTable> makeEngine(const EngineOptions& options = {}) {
    auto engine = std::make_unique<HashTable>();
    if (options.small) engine->setInitParams(smallParams());
    if (options.threads > 0) engine->setInitThreadCount(options.threads);
    if (engine->init() != 0) return nullptr;
    fusion::DeviceInfo device{};
    device.point_spacing = 0.001f;
    device.frame_point_num = options.frame_points;
    engine->setResolution(options.resolution);
    engine->setDeviceInfo(device);
    return engine;
}

// Every guarded allocation after the first `successes` fails while it lives.
class FailingAllocations {
public:
    explicit FailingAllocations(long successes) {
        fusion::platform::failAllocationsAfter(successes);
    }
    ~FailingAllocations() { fusion::platform::failAllocationsAfter(-1); }
    FailingAllocations(const FailingAllocations&) = delete;
    FailingAllocations& operator=(const FailingAllocations&) = delete;
};

// Holds every worker of a pool until release(), so that tasks committed
// meanwhile stay queued; constructed once all are held (earlier tasks done).
class PoolBlocker {
public:
    explicit PoolBlocker(fusion::ThreadPool& pool) : m_state(std::make_shared<State>()) {
        const int workers = pool.threadCount();
        for (int i = 0; i < workers; ++i) {
            (void)pool.commit([state = m_state]() {
                std::unique_lock<std::mutex> lock(state->mutex);
                ++state->held;
                state->changed.notify_all();
                state->changed.wait(lock, [&] { return state->released; });
            });
        }
        std::unique_lock<std::mutex> lock(m_state->mutex);
        m_state->changed.wait(lock, [&] { return m_state->held == workers; });
    }
    ~PoolBlocker() { release(); }
    PoolBlocker(const PoolBlocker&) = delete;
    PoolBlocker& operator=(const PoolBlocker&) = delete;
    void release() {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->released = true;
        m_state->changed.notify_all();
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        int held = 0;
        bool released = false;
    };
    std::shared_ptr<State> m_state;
};

// A stream object as a host holds it (optionally holding `bytes`).
inline std::shared_ptr<fusion::RealTimeByteStream> hostStream(
    const std::vector<uint8_t>& bytes = {}) {
    auto s = std::shared_ptr<fusion::RealTimeByteStream>(new fusion::RealTimeByteStream{nullptr, 0},
                                                         [](fusion::RealTimeByteStream* p) {
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

inline std::vector<Vertices> adopt(Vertices* array, int count) {
    std::vector<Vertices> out;
    if (array != nullptr && count > 0) out.assign(array, array + count);
    delete[] array;
    return out;
}

template <class Engine>
std::vector<Vertices> liveVertices(Engine& engine) {
    Vertices* array = nullptr;
    int count = 0;
    if (engine.extractLivePoints(&array, count) != 0) return {};
    return adopt(array, count);
}

template <class Engine>
std::vector<Vertices> drainUpdates(Engine& engine) {
    Vertices* array = nullptr;
    int count = 0;
    if (engine.getUpdateVertices(&array, count) != 0) return {};
    return adopt(array, count);
}

template <class Engine>
int vertexNum(Engine& engine) {
    int count = -1;
    engine.getVertexNum(count);
    return count;
}

// Empty when every view id is unique and below `vertex_num`.
inline std::string idProblem(const std::vector<Vertices>& live, int vertex_num) {
    std::set<int32_t> seen;
    for (const Vertices& v : live) {
        if (v.view_id < 0 || v.view_id >= vertex_num)
            return "view id " + std::to_string(v.view_id) + " outside [0, " +
                   std::to_string(vertex_num) + ")";
        if (!seen.insert(v.view_id).second)
            return "view id " + std::to_string(v.view_id) + " twice";
    }
    return "";
}

inline double identityPose[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

}  // namespace fusion_test
