#pragma once

// Builders and checkers for the reliability tests: allocation-failure
// injection, small volumes that reach their limits quickly, host-side copies
// of the model, and integrity checks of the whole volume.

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "engine/HashTable.h"
#include "platform/platform.h"
#include "sim/Simulator.h"

namespace reliability {

using fusion::FusionPoint;
using fusion::GlobalParams;
using fusion::HashTable;
using fusion::PointData;
using fusion::RealTimeByteStream;
using fusion::Vertices;

// Makes every guarded allocation after the first `successes` fail while it
// lives; clears the injection when it goes out of scope, whatever happens.
class FailingAllocations {
public:
    explicit FailingAllocations(long successes) {
        fusion::platform::failAllocationsAfter(successes);
    }
    ~FailingAllocations() { fusion::platform::failAllocationsAfter(-1); }
    FailingAllocations(const FailingAllocations&) = delete;
    FailingAllocations& operator=(const FailingAllocations&) = delete;
};

// Number of guarded allocations `action` makes: it runs under a large
// budget, and what is left of the budget afterwards is counted off.
template <class Action>
long guardedAllocations(Action&& action) {
    constexpr long kBudget = 100000;
    long left = 0;
    {
        FailingAllocations budget(kBudget);
        action();
        while (fusion::platform::allocationAllowed()) ++left;
    }
    return kBudget - left;
}

// A volume that reaches its limits after a few hundred blocks and a few
// thousand records: 4096 buckets and excess entries, voxel chunks of 64
// blocks, point chunks of 1024 records, one of each allocated by init.
inline GlobalParams smallParams() {
    GlobalParams p = fusion::defaultGlobalParams();
    p.hash_bucket_num = 1 << 12;
    p.hash_mask = (1 << 12) - 1;
    p.hash_excess_list_size = 1 << 12;
    p.voxel_chunk_init = 1;
    p.chunk_block_num = 64;
    p.chunk_block_shift = 6;
    p.voxel_chunk_max = 1024;
    p.chunk_point_shift = 10;
    p.chunk_point_num = 1 << 10;
    p.point_chunk_init = 1;
    p.point_chunk_max = 1024;
    return p;
}

// Guarded allocations of a successful init with `p`: the parameter block,
// the hash entries and their block index, the two chunk tables with their
// initial chunks, and the two free lists.
inline long initAllocations(const GlobalParams& p) {
    return 1 + 2 + 1 + p.voxel_chunk_init + 1 + p.point_chunk_init + 2;
}

// An initialised engine on `params`, with resolution and a neutral device
// (spacing 0.001) so that fusion is on. `frame_points` sets the per-frame
// limit and with it the update buffers (3 * frame_points records).
inline std::unique_ptr<HashTable> makeEngine(const GlobalParams& params, float resolution = 0.5f,
                                             int frame_points = 60000) {
    auto engine = std::make_unique<HashTable>();
    engine->m_init_params_override = std::make_unique<GlobalParams>(params);
    if (engine->init() != 0) return nullptr;
    fusion::DeviceInfo device{};
    device.point_spacing = 0.001f;
    device.frame_point_num = frame_points;
    engine->setResolution(resolution);
    engine->setDeviceInfo(device);
    return engine;
}

inline std::unique_ptr<HashTable> makeSmallEngine(float resolution = 0.5f,
                                                  int frame_points = 60000) {
    return makeEngine(smallParams(), resolution, frame_points);
}

// Keeps every worker of a pool busy until release(), so that second stages
// committed meanwhile stay queued. Returns from construction once all
// workers are held.
class HeldWorkers {
public:
    explicit HeldWorkers(fusion::ThreadPool& pool) : m_state(std::make_shared<State>()) {
        const int workers = pool.threadCount();
        for (int i = 0; i < workers; ++i) {
            auto state = m_state;
            (void)pool.commit([state]() {
                std::unique_lock<std::mutex> lock(state->mutex);
                ++state->held;
                state->changed.notify_all();
                state->changed.wait(lock, [&] { return state->released; });
            });
        }
        std::unique_lock<std::mutex> lock(m_state->mutex);
        m_state->changed.wait(lock, [&] { return m_state->held == workers; });
    }
    ~HeldWorkers() { release(); }
    HeldWorkers(const HeldWorkers&) = delete;
    HeldWorkers& operator=(const HeldWorkers&) = delete;

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

// Spins (yielding) until `condition` holds.
template <class Condition>
void yieldUntil(Condition condition) {
    while (!condition()) std::this_thread::yield();
}

// A stream object as a host holds it; the buffer a save allocates goes with it.
inline std::shared_ptr<RealTimeByteStream> hostStream() {
    return std::shared_ptr<RealTimeByteStream>(new RealTimeByteStream{nullptr, 0},
                                               [](RealTimeByteStream* s) {
                                                   delete[] s->data;
                                                   delete s;
                                               });
}

inline std::vector<Vertices> adopt(Vertices* array, int count) {
    std::vector<Vertices> out;
    if (array != nullptr && count > 0) out.assign(array, array + count);
    delete[] array;
    return out;
}

inline std::vector<Vertices> liveVertices(HashTable& engine) {
    Vertices* array = nullptr;
    int count = 0;
    if (engine.extractLivePoints(&array, count) != 0) return {};
    return adopt(array, count);
}

inline std::vector<Vertices> drainUpdates(HashTable& engine) {
    Vertices* array = nullptr;
    int count = 0;
    if (engine.getUpdateVertices(&array, count) != 0) return {};
    return adopt(array, count);
}

inline int vertexNum(HashTable& engine) {
    int count = -1;
    engine.getVertexNum(count);
    return count;
}

// Empty when every view id is unique and below `vertex_num`.
inline std::string idProblem(const std::vector<Vertices>& live, int vertex_num) {
    std::set<int32_t> seen;
    for (const Vertices& v : live) {
        if (v.view_id < 0 || v.view_id >= vertex_num) {
            return "view id " + std::to_string(v.view_id) + " outside [0, " +
                   std::to_string(vertex_num) + ")";
        }
        if (!seen.insert(v.view_id).second)
            return "view id " + std::to_string(v.view_id) + " twice";
    }
    return "";
}

// Empty when the volume is consistent: every voxel side of every allocated
// block is -1 or names a readable record, no record sits in two sides, and
// every live record sits in exactly one side with a view id of its own.
inline std::string volumeProblem(const HashTable& engine) {
    const GlobalParams& p = *engine.m_global_params;
    const int32_t readable = engine.readablePointCount();
    std::vector<uint8_t> owners(static_cast<std::size_t>(std::max(readable, 0)), 0);
    const int64_t blocks = std::min<int64_t>(
        engine.m_block_count.load(),
        static_cast<int64_t>(engine.m_voxel_chunk_num.load()) * p.chunk_block_num);
    for (int64_t b = 0; b < blocks; ++b) {
        for (int32_t local = 0; local < p.block_voxel_num; ++local) {
            const fusion::Voxel* v = engine.voxelIfAllocated(static_cast<int32_t>(b), local);
            if (v == nullptr) return "allocated block without voxels";
            for (int s = 0; s < 2; ++s) {
                const int32_t index = v->side(s);
                if (index == -1) continue;
                if (index < 0 || index >= readable) {
                    return "side names record " + std::to_string(index) + " of " +
                           std::to_string(readable);
                }
                if (++owners[static_cast<std::size_t>(index)] > 1) {
                    return "record " + std::to_string(index) + " in two sides";
                }
            }
        }
    }
    std::set<int32_t> ids;
    for (int32_t i = 0; i < readable; ++i) {
        const FusionPoint& r = *engine.pointAt(i);
        const bool live = r.observation_count != 0 && r.view_id != -1 && r.absorbed_flag != 1;
        if (!live) continue;
        if (owners[static_cast<std::size_t>(i)] != 1) {
            return "live record " + std::to_string(i) + " in no voxel side";
        }
        if (!ids.insert(r.view_id).second) return "two live records share an id";
    }
    return "";
}

// The host's copy of the model, kept from update records alone.
struct HostMirror {
    std::unordered_map<int32_t, Vertices> table;

    void apply(const std::vector<Vertices>& updates) {
        for (const Vertices& v : updates) {
            if (v.state == 255) {
                table.erase(v.view_id);
            } else {
                table[v.view_id] = v;
            }
        }
    }
    void reread(const std::vector<Vertices>& live) {
        table.clear();
        for (const Vertices& v : live) table[v.view_id] = v;
    }
};

struct MirrorDifference {
    int missing = 0;  // live, not in the mirror
    int stale = 0;    // in the mirror, not live
    int far = 0;      // in both, a voxel edge or more apart on some axis
};

inline MirrorDifference compareMirror(const HostMirror& mirror, const std::vector<Vertices>& live,
                                      float resolution) {
    MirrorDifference d;
    std::set<int32_t> live_ids;
    for (const Vertices& v : live) {
        live_ids.insert(v.view_id);
        const auto found = mirror.table.find(v.view_id);
        if (found == mirror.table.end()) {
            ++d.missing;
            continue;
        }
        for (int k = 0; k < 3; ++k) {
            if (!(std::fabs(found->second.position[k] - v.position[k]) < resolution)) {
                ++d.far;
                break;
            }
        }
    }
    for (const auto& entry : mirror.table) {
        if (live_ids.count(entry.first) == 0) ++d.stale;
    }
    return d;
}

// The frames of a short simulated sweep around a small object: a few
// hundred to a couple of thousand points each, dense enough at resolution
// 0.5 that frames confirm one another and layers merge.
inline std::vector<kelvane_sim::Frame> sweep(kelvane_sim::Shape shape, int frames, uint32_t seed,
                                             int rows = 48, int columns = 60,
                                             float object_size = 16.0f) {
    kelvane_sim::SweepOptions o;
    o.shape = shape;
    o.frames = frames;
    o.rows = rows;
    o.columns = columns;
    o.object_size = object_size;
    o.seed = seed;
    kelvane_sim::Scanner scanner(o);
    std::vector<kelvane_sim::Frame> out(static_cast<std::size_t>(frames));
    for (auto& f : out) scanner.next(f);
    return out;
}

inline int process(HashTable& engine, kelvane_sim::Frame& frame, bool blocking) {
    return engine.process(frame.points.data(), static_cast<int>(frame.points.size()), frame.views,
                          frame.pose, blocking);
}

// The selection a host makes from extracted vertices.
inline std::vector<PointData> selectionOf(const std::vector<Vertices>& vertices,
                                          int attributes = 8) {
    std::vector<PointData> out;
    out.reserve(vertices.size());
    for (const Vertices& v : vertices) {
        PointData p;
        std::memcpy(p.position, v.position, sizeof(p.position));
        std::memcpy(p.normal, v.normal, sizeof(p.normal));
        p.attributes = attributes;
        out.push_back(p);
    }
    return out;
}

// One record of a saved stream, as the 48-byte layout stores it.
struct SavedRecord {
    float position[3];
    float normal[3];
    uint64_t sub_voxel_mask;
    uint16_t observation_count;
    uint32_t attributes;
    uint8_t normal_update_count;
    uint8_t absorbed_flag;
    int32_t frame_stamp;
};

inline std::vector<SavedRecord> savedRecords(const RealTimeByteStream& stream) {
    constexpr std::size_t kHeader = 148, kRecord = 48, kFrame = 152;
    std::vector<SavedRecord> out;
    if (stream.data == nullptr || stream.size < kFrame) return out;
    const std::size_t n = (stream.size - kFrame) / kRecord;
    out.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const uint8_t* r = stream.data + kHeader + kRecord * i;
        SavedRecord& s = out[i];
        std::memcpy(s.position, r, 12);
        std::memcpy(s.normal, r + 12, 12);
        std::memcpy(&s.sub_voxel_mask, r + 24, 8);
        std::memcpy(&s.observation_count, r + 32, 2);
        std::memcpy(&s.attributes, r + 36, 4);
        s.normal_update_count = r[40];
        s.absorbed_flag = r[41];
        std::memcpy(&s.frame_stamp, r + 44, 4);
    }
    return out;
}

}  // namespace reliability
