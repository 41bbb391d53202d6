#include "engine/FrameTeam.h"

#include "platform/platform.h"

namespace fusion {

FrameTeam::FrameTeam(int helpers) {
    try {
        for (int member = 1; member <= helpers; ++member)
            m_threads.emplace_back(&FrameTeam::helperLoop, this, member);
    } catch (...) {
        // The helpers started so far must not outlive the team.
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_stop = true;
        }
        m_wake.notify_all();
        for (std::thread& t : m_threads) t.join();
        throw;
    }
}

FrameTeam::~FrameTeam() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    for (std::thread& t : m_threads) t.join();
}

void FrameTeam::stageStarted() noexcept {
    m_stages_running.fetch_add(1, std::memory_order_acq_rel);
}

void FrameTeam::stageEnded() noexcept {
    if (m_stages_running.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        // A helper waiting for the processor may now join an open loop.
        std::lock_guard<std::mutex> guard(m_lock);
        m_wake.notify_all();
    }
}

void FrameTeam::runErased(void (*body)(void*, int), void* context) {
    if (m_threads.empty()) {
        body(context, 0);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_body = body;
        m_context = context;
        ++m_generation;
        m_open = true;
    }
    m_wake.notify_all();
    body(context, 0);
    // Close the loop: helpers that have not joined yet never will, and the
    // ones inside finish the chunk they hold.
    std::unique_lock<std::mutex> lock(m_lock);
    m_open = false;
    m_done.wait(lock, [this] { return m_active == 0; });
}

void FrameTeam::helperLoop(int member) {
    platform::raiseCurrentThreadPriority();
    uint64_t seen = 0;
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_wake.wait(lock, [&] {
            return m_stop || (m_open && m_generation != seen &&
                              m_stages_running.load(std::memory_order_acquire) == 0);
        });
        if (m_stop) return;
        seen = m_generation;
        void (*body)(void*, int) = m_body;
        void* context = m_context;
        ++m_active;
        lock.unlock();
        body(context, member);
        lock.lock();
        if (--m_active == 0 && !m_open) m_done.notify_all();
    }
}

}  // namespace fusion
