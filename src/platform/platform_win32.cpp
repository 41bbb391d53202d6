#if defined(_WIN32)

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// psapi.h needs the types windows.h declares.
#include <psapi.h>

#if !defined(_MSC_VER)
// MinGW's std::thread runs on winpthreads, whose handles are not the
// system's; pthread_gethandle translates.
#include <pthread.h>
#endif

#include <cstring>

#include "platform/platform.h"
#include "platform/whole_pages.h"

namespace fusion {
namespace platform {

bool raiseCurrentThreadPriority() {
    return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST) != 0;
}

ThreadPriority currentThreadPriority() {
    ThreadPriority priority;
    priority.value = GetThreadPriority(GetCurrentThread());
    priority.known = priority.value != THREAD_PRIORITY_ERROR_RETURN;
    return priority;
}

void setCurrentThreadPriority(const ThreadPriority& priority) {
    if (priority.known) SetThreadPriority(GetCurrentThread(), priority.value);
}

bool raiseThreadPriority(std::thread& thread) {
#if defined(_MSC_VER)
    const HANDLE handle = static_cast<HANDLE>(thread.native_handle());
#else
    const HANDLE handle = pthread_gethandle(thread.native_handle());
#endif
    return handle != nullptr && SetThreadPriority(handle, THREAD_PRIORITY_HIGHEST) != 0;
}

bool currentThreadPriorityRaised() {
    const int priority = GetThreadPriority(GetCurrentThread());
    return priority != THREAD_PRIORITY_ERROR_RETURN && priority >= THREAD_PRIORITY_HIGHEST;
}

void* reserveZeroed(std::size_t bytes, bool dense) {
    (void)dense;  // large pages need a privilege hosts rarely grant
    if (!allocationAllowed()) return nullptr;
    if (bytes == 0) bytes = 1;
    // Committed pages are demand-zero: they take physical memory on first touch.
    return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void releaseZeroed(void* region, std::size_t bytes) {
    (void)bytes;
    if (region != nullptr) VirtualFree(region, 0, MEM_RELEASE);
}

void discardZeroed(void* region, std::size_t bytes) {
    if (region == nullptr || bytes == 0) return;
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const WholePages whole = zeroRaggedEnds(region, bytes, info.dwPageSize);
    if (whole.bytes == 0) return;
    // Decommit then recommit: the pages come back demand-zero.
    if (!VirtualFree(whole.begin, whole.bytes, MEM_DECOMMIT) ||
        VirtualAlloc(whole.begin, whole.bytes, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
        std::memset(whole.begin, 0, whole.bytes);
    }
}

std::size_t residentBytes() {
    PROCESS_MEMORY_COUNTERS counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) return 0;
    return counters.WorkingSetSize;
}

std::size_t peakResidentBytes() {
    PROCESS_MEMORY_COUNTERS counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) return 0;
    return counters.PeakWorkingSetSize;
}

}  // namespace platform
}  // namespace fusion

#endif
