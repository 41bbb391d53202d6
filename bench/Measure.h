#pragma once

// What every benchmark measures with, whether it reaches the engine's
// internals or only the public interface: clocks, process counters and the
// reporting of sample statistics as counters.
//
// Every benchmark runs its own repetitions (frames of a sweep, calls of an
// operation) and reports, per measured quantity, `<name>_med` and `<name>_p95`
// counters (linear interpolation between order statistics), plus plain
// counters for totals and ratios. The "Time" column of Google Benchmark is
// the wall time of the whole measured part and matters less than those.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

#include "Workloads.h"

#if defined(__unix__)
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace kelvane_bench {

using Clock = std::chrono::steady_clock;

inline double msBetween(Clock::time_point begin, Clock::time_point end) {
    return std::chrono::duration<double, std::milli>(end - begin).count();
}
inline double msSince(Clock::time_point begin) { return msBetween(begin, Clock::now()); }

inline double mib(double bytes) { return bytes / (1024.0 * 1024.0); }

// Minor page faults of the process so far: each is a fresh zero page touched
// for the first time (about 10 us apiece on the machines we measure on), the
// hidden cost of storage reserved as zero pages. 0 where unknown.
inline double minorFaults() {
#if defined(__unix__)
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) == 0) return static_cast<double>(usage.ru_minflt);
#endif
    return 0;
}

// Processor time of the whole process (every thread), in milliseconds. Less
// disturbed than wall time by other processes competing for the cores.
inline double processCpuMs() { return 1000.0 * static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

// Resident bytes of the process now; 0 where unknown.
inline double residentBytesNow() {
#if defined(__linux__)
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0;
    unsigned long size = 0, resident = 0;
    const int got = std::fscanf(f, "%lu %lu", &size, &resident);
    std::fclose(f);
    return got == 2 ? static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE))
                    : 0;
#else
    return 0;
#endif
}

inline void report(benchmark::State& state, const std::string& name, double value) {
    state.counters[name] = benchmark::Counter(value);
}
inline void report(benchmark::State& state, const std::string& name, const Samples& samples) {
    report(state, name + "_med", samples.median());
    report(state, name + "_p95", samples.p95());
}

}  // namespace kelvane_bench
