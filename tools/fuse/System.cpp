#include "fuse/System.h"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <io.h>
#include <windows.h>
// psapi.h needs the types windows.h declares.
#include <psapi.h>
#else
#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>
#endif

namespace kelvane_fuse {
namespace os {

bool isTerminal(std::FILE* stream) {
#if defined(_WIN32)
    return _isatty(_fileno(stream)) != 0;
#else
    return isatty(fileno(stream)) != 0;
#endif
}

int64_t peakResidentBytes() {
#if defined(_WIN32)
    PROCESS_MEMORY_COUNTERS counters;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
        return int64_t(counters.PeakWorkingSetSize);
    }
    return 0;
#else
    struct rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
#if defined(__APPLE__)
    return int64_t(usage.ru_maxrss);  // bytes there
#else
    return int64_t(usage.ru_maxrss) * 1024;  // kilobytes on Linux
#endif
#endif
}

bool seekTo(std::FILE* file, uint64_t offset) {
#if defined(_WIN32)
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

void removeFileInSignalHandler(const char* path) {
#if defined(_WIN32)
    (void)_unlink(path);
#else
    (void)unlink(path);
#endif
}

}  // namespace os
}  // namespace kelvane_fuse
