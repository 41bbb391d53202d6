#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

namespace fusion {

// The task slots of non-blocking frames' second stages. A slot holds 1
// exactly while a stage that took it is queued or running; m_task_num counts
// such stages. A slot is taken before its stage is queued and given back
// when the stage ends, so waiting for the slots also waits for stages that
// have not started yet.
//
//   m_mutex       guards m_task_num and every take and give.
//   m_task_slots  atomic so that waitUntilFree polls them without the mutex.
//   m_dropped     stages skipped because every slot was taken; counted
//                 under the mutex, read without it.
class SecondStageSlots {
public:
    // `count` slots, all free; throws std::bad_alloc when memory is lacking.
    void allocate(int count);
    void release();

    // A free slot for a new stage, or -1 when every slot is taken (the stage
    // is then counted as dropped).
    int take();
    void give(int slot);

    // Polls every `poll` until no slot is held.
    void waitUntilFree(std::chrono::milliseconds poll) const;

    int held() const;
    int dropped() const { return m_dropped.load(std::memory_order_relaxed); }
    void resetDropped() { m_dropped.store(0, std::memory_order_relaxed); }

private:
    mutable std::mutex m_mutex;
    int32_t m_task_num = 0;
    int m_count = 0;
    std::unique_ptr<std::atomic<int32_t>[]> m_task_slots;
    std::atomic<int32_t> m_dropped{0};
};

}  // namespace fusion
