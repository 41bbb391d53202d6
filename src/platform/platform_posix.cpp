#if !defined(_WIN32)

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/whole_pages.h"

namespace fusion {
namespace platform {

namespace {
// Two steps above the thread's nice value mirrors "highest" among the normal
// priority classes without entering real-time scheduling, which could starve
// the host's other threads on a small machine. The level is fixed at the
// thread's first raise, so raising again (every frame) changes nothing.
#if defined(__linux__)
constexpr int kNotRaised = INT_MIN;
thread_local int t_raised_nice = kNotRaised;

long currentTid() { return syscall(SYS_gettid); }

bool niceOf(long tid, int& nice) {
    errno = 0;
    nice = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    return !(nice == -1 && errno != 0);
}
#endif
}  // namespace

bool raiseCurrentThreadPriority() {
#if defined(__linux__)
    const long tid = currentTid();
    int current = 0;
    if (!niceOf(tid, current)) return false;
    if (t_raised_nice == kNotRaised) t_raised_nice = current <= -2 ? current : current - 2;
    if (current <= t_raised_nice) return true;
    return setpriority(PRIO_PROCESS, static_cast<id_t>(tid), t_raised_nice) == 0;
#else
    return false;
#endif
}

ThreadPriority currentThreadPriority() {
    ThreadPriority priority;
#if defined(__linux__)
    errno = 0;
    priority.value = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
    priority.known = !(priority.value == -1 && errno != 0);
#endif
    return priority;
}

void setCurrentThreadPriority(const ThreadPriority& priority) {
#if defined(__linux__)
    if (priority.known)
        (void)setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), priority.value);
#else
    (void)priority;
#endif
}

bool raiseThreadPriority(std::thread& thread) {
    // POSIX offers no portable way to renice another thread by handle; the
    // pool's workers call raiseCurrentThreadPriority() themselves instead.
    (void)thread;
    return false;
}

bool currentThreadPriorityRaised() {
#if defined(__linux__)
    int current = 0;
    return t_raised_nice != kNotRaised && niceOf(currentTid(), current) && current <= t_raised_nice;
#else
    return false;
#endif
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
