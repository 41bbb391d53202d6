#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <queue>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace fusion {

// A fixed pool of at most POOL_MAX_THREADS workers with one FIFO queue.
// Thread-safe: commit() may be called from any thread. The destructor stops
// the pool: waiting workers wake, one more queued task may run, the rest are
// destroyed unrun. Never destroy the pool from one of its own workers.
class ThreadPool {
public:
    static constexpr int POOL_MAX_THREADS = 8;

    explicit ThreadPool(uint16_t thread_count);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // Queues f(args...) and returns its future. Throws std::runtime_error
    // "commit on ThreadPool is stopped." once the pool is stopping.
    template <class F, class... Args>
    auto commit(F&& f, Args&&... args) -> std::future<decltype(f(args...))> {
        using Result = decltype(f(args...));
        if (!m_run.load(std::memory_order_acquire)) {
            throw std::runtime_error("commit on ThreadPool is stopped.");
        }
        auto task = std::make_shared<std::packaged_task<Result()>>(
            std::bind(std::forward<F>(f), std::forward<Args>(args)...));
        std::future<Result> future = task->get_future();
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_tasks.emplace([task]() { (*task)(); });
        }
        m_task_cv.notify_one();
        return future;
    }

    // Stops the pool without waiting: every waiting worker wakes, and later
    // commits throw. Idempotent; the destructor calls it before joining.
    void stop();

    int threadCount() const { return static_cast<int>(m_threads.size()); }
    // Workers blocked waiting for a task right now. A worker counted here
    // runs one more queued task even when the pool stops meanwhile.
    int idleWorkers() const { return m_idle_workers.load(std::memory_order_acquire); }

private:
    void workerLoop();

    std::vector<std::thread> m_threads;
    std::queue<std::function<void()>> m_tasks;  // guarded by m_lock
    std::mutex m_lock;
    std::condition_variable m_task_cv;   // a task arrived or the pool stops
    std::atomic<bool> m_run{true};       // written under m_lock, read without it
    std::atomic<int> m_idle_workers{0};  // changed under m_lock
};

}  // namespace fusion
