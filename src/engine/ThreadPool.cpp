#include "engine/ThreadPool.h"

#include "platform/platform.h"

namespace fusion {

ThreadPool::ThreadPool(uint16_t thread_count) {
    m_run.store(true, std::memory_order_release);
    try {
        while (m_threads.size() < static_cast<std::size_t>(POOL_MAX_THREADS) && thread_count > 0) {
            m_threads.emplace_back(&ThreadPool::workerLoop, this);
            // Where the system can raise another thread by handle this does
            // it; elsewhere each worker raises itself as it starts.
            platform::raiseThreadPriority(m_threads.back());
            --thread_count;
        }
    } catch (...) {
        // Threads already started must be joined before the exception leaves,
        // or their destructors would terminate the process.
        stop();
        for (std::thread& thread : m_threads) {
            if (thread.joinable()) thread.join();
        }
        throw;
    }
}

ThreadPool::~ThreadPool() {
    stop();
    for (std::thread& thread : m_threads) {
        if (thread.joinable()) thread.join();
    }
}

void ThreadPool::stop() {
    {
        // Storing under the lock closes the gap between a worker's predicate
        // check and its wait; otherwise the wake-up below could be lost and
        // the join would hang.
        std::lock_guard<std::mutex> guard(m_lock);
        m_run.store(false, std::memory_order_release);
    }
    m_task_cv.notify_all();
}

void ThreadPool::workerLoop() {
    platform::raiseCurrentThreadPriority();
    while (m_run.load(std::memory_order_acquire)) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(m_lock);
            m_idle_workers.fetch_add(1, std::memory_order_release);
            m_task_cv.wait(lock, [this] {
                return !m_run.load(std::memory_order_acquire) || !m_tasks.empty();
            });
            m_idle_workers.fetch_sub(1, std::memory_order_release);
            if (!m_run.load(std::memory_order_acquire) && m_tasks.empty()) return;
            task = std::move(m_tasks.front());
            m_tasks.pop();
        }
        // Committed tasks are packaged: their exceptions go to the future.
        task();
    }
}

}  // namespace fusion
