#pragma once

// The team of a frame's loops: the thread that called process() and a few
// helper threads of the engine. Between loops the helpers sleep on a
// condition variable, so an idle engine takes no processor time (an OpenMP
// team's idle members keep spinning for milliseconds after every parallel
// region, on the processor the second stage of the previous frame needs).
//
// A helper joins a loop only while no second stage runs and steps back
// between chunks as soon as one starts: on a machine whose processors are
// all in use the second stage then has its processor to itself, and the
// caller finishes the loop. So the engine never runs more threads than
// there are processors, whatever the pace of the frames.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "volume/Team.h"

namespace fusion {

class FrameTeam final : public Team {
public:
    // `helpers` threads besides the caller, raised to the engine's priority.
    // Throws std::system_error when a thread cannot be started (init turns
    // that into its failure status).
    explicit FrameTeam(int helpers);
    ~FrameTeam() override;
    FrameTeam(const FrameTeam&) = delete;
    FrameTeam& operator=(const FrameTeam&) = delete;

    int size() const noexcept override { return 1 + static_cast<int>(m_threads.size()); }
    bool keepGoing(int member) const noexcept override {
        return member == 0 || m_stages_running.load(std::memory_order_acquire) == 0;
    }

    // A second stage starts or ends on a worker: while one runs, helpers
    // neither join nor take more work.
    void stageStarted() noexcept;
    void stageEnded() noexcept;

protected:
    void runErased(void (*body)(void*, int), void* context) override;

private:
    void helperLoop(int member);

    std::vector<std::thread> m_threads;
    std::mutex m_lock;               // guards everything below but m_stages_running
    std::condition_variable m_wake;  // a loop opened, a stage ended, or stop
    std::condition_variable m_done;  // the last member of a closed loop left
    void (*m_body)(void*, int) = nullptr;
    void* m_context = nullptr;
    uint64_t m_generation = 0;  // loops opened so far
    bool m_open = false;        // the current loop still takes members
    int m_active = 0;           // helpers inside the current loop's body
    bool m_stop = false;
    std::atomic<int> m_stages_running{0};
};

}  // namespace fusion
