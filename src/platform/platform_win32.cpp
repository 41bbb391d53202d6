#if defined(_WIN32)

#define NOMINMAX
#include <windows.h>
#include <psapi.h>

#include <cstring>

#include "platform/platform.h"

namespace fusion {
namespace platform {

void raiseCurrentThreadPriority() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST); }

void raiseThreadPriority(std::thread& thread) {
    SetThreadPriority(static_cast<HANDLE>(thread.native_handle()), THREAD_PRIORITY_HIGHEST);
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
    const std::size_t page = info.dwPageSize;
    auto* begin = static_cast<unsigned char*>(region);
    auto* end = begin + bytes;
    auto* aligned_begin = reinterpret_cast<unsigned char*>(
        (reinterpret_cast<std::uintptr_t>(begin) + page - 1) & ~(page - 1));
    auto* aligned_end =
        reinterpret_cast<unsigned char*>(reinterpret_cast<std::uintptr_t>(end) & ~(page - 1));
    if (aligned_begin >= aligned_end) {
        std::memset(begin, 0, bytes);
        return;
    }
    std::memset(begin, 0, static_cast<std::size_t>(aligned_begin - begin));
    std::memset(aligned_end, 0, static_cast<std::size_t>(end - aligned_end));
    const std::size_t middle = static_cast<std::size_t>(aligned_end - aligned_begin);
    // Decommit then recommit: the pages come back demand-zero.
    if (!VirtualFree(aligned_begin, middle, MEM_DECOMMIT) ||
        VirtualAlloc(aligned_begin, middle, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
        std::memset(aligned_begin, 0, middle);
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
