#include "engine/SecondStageSlots.h"

#include <thread>

namespace fusion {

void SecondStageSlots::allocate(int count) {
    std::unique_ptr<std::atomic<int32_t>[]> slots(
        new std::atomic<int32_t>[static_cast<std::size_t>(count)]);
    for (int i = 0; i < count; ++i) slots[i].store(0);
    std::lock_guard<std::mutex> guard(m_mutex);
    m_task_slots = std::move(slots);
    m_count = count;
    m_task_num = 0;
    m_dropped.store(0);
}

void SecondStageSlots::release() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_task_slots.reset();
    m_count = 0;
    m_task_num = 0;
}

int SecondStageSlots::take() {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_task_num < m_count) {
        for (int i = 0; i < m_count; ++i) {
            if (m_task_slots[i].load(std::memory_order_relaxed) == 0) {
                m_task_slots[i].store(1, std::memory_order_release);
                ++m_task_num;
                return i;
            }
        }
    }
    m_dropped.fetch_add(1, std::memory_order_relaxed);
    return -1;
}

void SecondStageSlots::give(int slot) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (slot < 0 || slot >= m_count) return;
    --m_task_num;
    // Release: whoever sees the slot free also sees everything the stage did.
    m_task_slots[slot].store(0, std::memory_order_release);
}

void SecondStageSlots::waitUntilFree(std::chrono::milliseconds poll) const {
    int count;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        count = m_count;
    }
    for (int i = 0; i < count; ++i) {
        while (m_task_slots[i].load(std::memory_order_acquire) != 0)
            std::this_thread::sleep_for(poll);
    }
}

int SecondStageSlots::held() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_task_num;
}

}  // namespace fusion
