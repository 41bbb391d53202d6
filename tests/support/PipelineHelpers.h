#pragma once

// Helpers that make the worker pool deterministic for pipeline tests: hold
// every worker busy, and wait until everything queued so far has run.

#include <cmath>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/ThreadPool.h"
#include "fusion/Kelvane.h"

namespace fusion_test {

// Occupies every worker of `pool` with a task that waits for release(), so
// tasks committed meanwhile stay queued. Returns once all workers are held.
class PoolBlocker {
public:
    explicit PoolBlocker(fusion::ThreadPool& pool) : m_state(std::make_shared<State>()) {
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

// Returns once every task committed to `pool` before the call has finished:
// one barrier task per worker, each waiting until all of them run at once.
// A worker finishes its task before taking the next, and the queue is FIFO,
// so by then every earlier task is done.
inline void drainPool(fusion::ThreadPool& pool) {
    struct Barrier {
        std::mutex mutex;
        std::condition_variable all_in;
        int arrived = 0;
    };
    auto barrier = std::make_shared<Barrier>();
    const int workers = pool.threadCount();
    std::vector<std::future<void>> done;
    for (int i = 0; i < workers; ++i) {
        done.push_back(pool.commit([barrier, workers]() {
            std::unique_lock<std::mutex> lock(barrier->mutex);
            ++barrier->arrived;
            barrier->all_in.notify_all();
            barrier->all_in.wait(lock, [&] { return barrier->arrived == workers; });
        }));
    }
    for (std::future<void>& f : done) f.get();
}

// A flat patch of points on z = height, `count` points spaced `step` apart,
// normals towards +z.
inline std::vector<fusion::PointData> patch(int count, float step, float height = 10.0f) {
    std::vector<fusion::PointData> points;
    points.reserve(static_cast<std::size_t>(count));
    const int side = 1 + static_cast<int>(std::sqrt(static_cast<double>(count)));
    for (int i = 0; i < count; ++i) {
        fusion::PointData p{};
        p.position[0] = 1.0f + step * static_cast<float>(i % side);
        p.position[1] = 1.0f + step * static_cast<float>(i / side);
        p.position[2] = height;
        p.normal[2] = 1.0f;
        p.attributes = 8;
        points.push_back(p);
    }
    return points;
}

}  // namespace fusion_test
