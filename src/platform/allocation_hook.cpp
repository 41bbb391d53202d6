#include <atomic>

#include "platform/platform.h"

namespace fusion {
namespace platform {

namespace {
// Negative: no injection. Otherwise the number of allocations still allowed.
std::atomic<long> g_allocations_left{-1};
}  // namespace

void failAllocationsAfter(long successes) { g_allocations_left.store(successes); }

bool allocationAllowed() {
    long left = g_allocations_left.load(std::memory_order_relaxed);
    while (left >= 0) {
        if (left == 0) return false;
        if (g_allocations_left.compare_exchange_weak(left, left - 1)) return true;
    }
    return true;
}

}  // namespace platform
}  // namespace fusion
