// The operating-system layer: priorities, zero pages, resident memory.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "platform/platform.h"

namespace {

namespace platform = fusion::platform;

// The failure hook refuses guarded allocations until cleared; reserved
// regions cost memory only where touched.
TEST(Platform, FailureHookAndReservedRegions) {
    platform::failAllocationsAfter(1);
    void* first = platform::reserveZeroed(4096);
    int* second = platform::tryNewArray<int>(4);
    platform::failAllocationsAfter(-1);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    int* third = platform::tryNewArray<int>(4);
    EXPECT_NE(third, nullptr);
    delete[] third;
    platform::releaseZeroed(first, 4096);

    constexpr std::size_t kRegion = std::size_t{1} << 30;
    constexpr std::size_t kTouched = std::size_t{48} << 20;
    const std::size_t before = platform::residentBytes();
    if (before == 0) GTEST_SKIP() << "resident size not available";
    auto* region = static_cast<unsigned char*>(platform::reserveZeroed(kRegion));
    ASSERT_NE(region, nullptr);
    EXPECT_LT(platform::residentBytes(), before + (std::size_t{16} << 20))
        << "a gigabyte reserved, nothing paid";
    for (std::size_t at = 0; at < kRegion; at += kRegion / 8)
        EXPECT_EQ(region[at], 0) << "reads as zero";
    std::memset(region, 1, kTouched);
    const std::size_t touched = platform::residentBytes();
    EXPECT_GE(touched, before + kTouched - (std::size_t{4} << 20))
        << "touched pages count in bytes";
    EXPECT_GE(platform::peakResidentBytes(), touched - (std::size_t{4} << 20));
    platform::discardZeroed(region + 1, kTouched - 2);
    EXPECT_EQ(region[kTouched / 2], 0) << "a discarded range reads as zero again";
    EXPECT_EQ(region[0], 1) << "outside the range nothing changes";
    EXPECT_LT(platform::residentBytes(), touched - kTouched / 2) << "and its pages went back";
    platform::releaseZeroed(region, kRegion);
}

// Windows raises the pool's workers by handle; elsewhere they raise themselves
// (ThreadPool.WorkersRunAtTheRaisedPriority).
TEST(Platform, RaisesAnotherThreadByItsHandle) {
    std::atomic<int> stage{0};  // 1: the thread looked, 2: it may look again
    bool before = true, after = false;
    std::thread thread([&] {
        before = platform::currentThreadPriorityRaised();
        stage.store(1);
        while (stage.load() != 2) std::this_thread::yield();
        after = platform::currentThreadPriorityRaised();
    });
    while (stage.load() != 1) std::this_thread::yield();
    const bool by_handle = platform::raiseThreadPriority(thread);
    stage.store(2);
    thread.join();
    EXPECT_FALSE(before);
    if (!by_handle)
        GTEST_SKIP() << "this system raises a thread only from inside it (the pool's workers "
                        "raise themselves)";
    EXPECT_TRUE(after);
}

}  // namespace
