#pragma once

// The only place where the library talks to the operating system: thread
// priority and large zero-filled memory regions. One POSIX and one Windows
// implementation; everything else in the library is portable C++.

#include <cstddef>
#include <new>
#include <thread>

namespace fusion {
namespace platform {

// Raises the calling thread to the highest ordinary scheduling priority
// (Windows: THREAD_PRIORITY_HIGHEST; Linux: two steps above the nice value
// the thread had at its first raise, left alone at -2 or below). Best
// effort: false when the system refused (a process without the right keeps
// the priority it has); callers carry on either way.
bool raiseCurrentThreadPriority();
// Raises another thread by its handle where the system can (Windows); false
// where it cannot, and each thread raises itself instead.
bool raiseThreadPriority(std::thread& thread);
// Whether the calling thread runs at the priority raiseCurrentThreadPriority
// gives it, as the system reports it now.
bool currentThreadPriorityRaised();

// The calling thread's scheduling priority, to be put back later with
// setCurrentThreadPriority (a raise is undone so: on POSIX systems, threads
// a raised thread starts inherit its priority). `known` is false where the
// system cannot tell; setting an unknown priority does nothing.
struct ThreadPriority {
    int value = 0;
    bool known = false;
};
ThreadPriority currentThreadPriority();
void setCurrentThreadPriority(const ThreadPriority& priority);

// Reserves `bytes` of address space whose pages read as zero until first
// written and cost physical memory only once touched. Returns null when the
// reservation fails (or when the test hook below says so). `dense` asks for
// large pages where the system offers them: use it for storage that is
// filled front to back, not for storage touched at random.
void* reserveZeroed(std::size_t bytes, bool dense = false);
// Returns a region from reserveZeroed to the system.
void releaseZeroed(void* region, std::size_t bytes);
// Gives the pages of a sub-range back to the system; afterwards the range
// reads as zero again. Costs in proportion to the pages that were resident.
void discardZeroed(void* region, std::size_t bytes);

// Bytes of physical memory the process holds right now (resident set), or 0
// where the system cannot tell.
std::size_t residentBytes();
// Peak resident set of the process, or 0 where unknown.
std::size_t peakResidentBytes();

// Allocation-failure injection for tests: after `successes` more successful
// guarded allocations, every further guarded allocation fails until the hook
// is cleared with a negative value. Guarded allocations are reserveZeroed and
// tryNewArray. Cheap enough to stay in release builds (one relaxed load).
void failAllocationsAfter(long successes);
// Consumes one allocation from the hook; false means "fail this one".
bool allocationAllowed();

// The non-throwing array new of the library, guarded by the hook. Arrays
// handed to the host are made with it, so the host frees them with delete[].
template <class T>
T* tryNewArray(std::size_t count) {
    if (!allocationAllowed()) return nullptr;
    return new (std::nothrow) T[count];
}

}  // namespace platform
}  // namespace fusion
