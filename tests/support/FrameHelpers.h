#pragma once

// Builders for the frame and pipeline tests: records placed straight into
// the volume (so a test controls every field), and a way to hold the worker
// pool still.

#include <condition_variable>
#include <memory>
#include <mutex>

#include "engine/HashTable.h"

namespace fusion_test {

// Stores one observed record at the centre of voxel c in the first free side
// and returns its index, or -1. Single-threaded use only.
inline int32_t placeRecord(fusion::HashTable& engine, const fusion::Int3& c, const float normal[3],
                           int32_t stamp, uint64_t mask = 0) {
    const fusion::GlobalParams& params = *engine.m_global_params;
    const fusion::Int3 block = fusion::blockOf(c, params);
    fusion::HashEntry* entry = engine.findOrInsertBlock(block);
    fusion::Voxel* voxel =
        entry ? engine.voxelAt(entry->blockIndex(), fusion::localIndexOf(c, block, params)) : nullptr;
    if (voxel == nullptr || voxel->side(1) != -1) return -1;
    fusion::FusionPoint record = fusion::defaultFusionPoint();
    for (int i = 0; i < 3; ++i) {
        record.position[i] = static_cast<float>(c[i]) * engine.m_resolution;
        record.normal[i] = normal[i];
    }
    record.observation_count = 1;
    record.frame_stamp = stamp;
    record.sub_voxel_mask = mask;
    const int32_t index = engine.m_point_next.fetch_add(1);
    *engine.pointAt(index) = record;
    voxel->setSide(voxel->side(0) == -1 ? 0 : 1, index);
    return index;
}

// Holds every worker of `pool` in a task until release(); tasks committed
// meanwhile stay queued. The constructor returns once all workers are held,
// which also means every task committed before it has finished (one task
// at a time per worker, FIFO queue): construct and release to drain.
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

inline void drainPool(fusion::ThreadPool& pool) { PoolBlocker(pool).release(); }

}  // namespace fusion_test
