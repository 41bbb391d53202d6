#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace fusion {

// A 32-bit test-and-set lock; 0 is free, so zero-filled storage holds
// released locks. Not re-entrant. Waiters yield instead of spinning hot
// because the engine runs more threads than the machine has cores.
struct SpinLock {
    std::atomic<uint32_t> word{0};

    void lock() noexcept {
        while (word.fetch_or(1u, std::memory_order_acquire) & 1u) std::this_thread::yield();
    }
    bool try_lock() noexcept { return (word.fetch_or(1u, std::memory_order_acquire) & 1u) == 0; }
    void unlock() noexcept { word.store(0u, std::memory_order_release); }
    // Forces the lock free; only for clearing storage nobody else uses.
    void clear() noexcept { word.store(0u, std::memory_order_relaxed); }
};
static_assert(sizeof(SpinLock) == 4, "SpinLock is one 32-bit word");

// Scoped holder, so early returns cannot leave a lock taken.
class SpinGuard {
public:
    explicit SpinGuard(SpinLock& lock) noexcept : m_lock(lock) { m_lock.lock(); }
    ~SpinGuard() { m_lock.unlock(); }
    SpinGuard(const SpinGuard&) = delete;
    SpinGuard& operator=(const SpinGuard&) = delete;

private:
    SpinLock& m_lock;
};

}  // namespace fusion
