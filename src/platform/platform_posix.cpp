#if !defined(_WIN32)

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/whole_pages.h"

namespace fusion {
namespace platform {

namespace {
// Two steps above the current nice value mirrors "highest" among the normal
// priority classes without entering real-time scheduling, which could starve
// the host's other threads on a small machine.
void raiseTid(long tid) {
    errno = 0;
    int current = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    if (current == -1 && errno != 0) return;
    if (current <= -2) return;
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(tid), current - 2);
}
}  // namespace

void raiseCurrentThreadPriority() {
#if defined(__linux__)
    raiseTid(syscall(SYS_gettid));
#endif
}

void raiseThreadPriority(std::thread& thread) {
    // POSIX offers no portable way to renice another thread by handle; the
    // pool's workers call raiseCurrentThreadPriority() themselves instead.
    (void)thread;
}

void* reserveZeroed(std::size_t bytes, bool dense) {
    if (!allocationAllowed()) return nullptr;
    if (bytes == 0) bytes = 1;
    void* region = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (region == MAP_FAILED) return nullptr;
#if defined(MADV_HUGEPAGE)
    if (dense) (void)madvise(region, bytes, MADV_HUGEPAGE);
#else
    (void)dense;
#endif
    return region;
}

void releaseZeroed(void* region, std::size_t bytes) {
    if (region == nullptr) return;
    if (bytes == 0) bytes = 1;
    munmap(region, bytes);
}

void discardZeroed(void* region, std::size_t bytes) {
    if (region == nullptr || bytes == 0) return;
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const WholePages whole = zeroRaggedEnds(region, bytes, page);
    if (whole.bytes == 0) return;
    if (madvise(whole.begin, whole.bytes, MADV_DONTNEED) != 0)
        std::memset(whole.begin, 0, whole.bytes);
}

std::size_t residentBytes() {
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0;
    unsigned long size = 0, resident = 0;
    int got = std::fscanf(f, "%lu %lu", &size, &resident);
    std::fclose(f);
    if (got != 2) return 0;
    return static_cast<std::size_t>(resident) * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

std::size_t peakResidentBytes() {
    struct rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
    return static_cast<std::size_t>(usage.ru_maxrss) * 1024u;
}

}  // namespace platform
}  // namespace fusion

#endif
