// The long soak: seeded sessions of host operations, one after another,
// until the given time is up. Each session starts from fresh engines with
// the next seed, so a failure is replayed by its seed alone.
//
//   kelvane_soak <seconds> [first seed] [operations per session]
//
// Prints one line per session and a summary; exits 1 at the first session
// whose checks fail, naming its seed, step and operation.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "soak/SoakSession.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <seconds> [first seed] [operations per session]\n",
                     argv[0]);
        return 2;
    }
    const double seconds = std::atof(argv[1]);
    const uint32_t first_seed =
        argc > 2 ? static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)) : 1u;
    const int operations = argc > 3 ? std::atoi(argv[3]) : 2000;

    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const auto elapsed = [&] {
        return std::chrono::duration<double>(Clock::now() - start).count();
    };

    // 64 bits: an hours-long soak counts billions, and long is 32 bits on Windows.
    std::map<std::string, long long> kinds;
    long long steps = 0, points = 0, snapshots = 0, fused = 0, mirror_checks = 0, updates = 0;
    int sessions = 0;
    for (uint32_t seed = first_seed; elapsed() < seconds; ++seed) {
        kelvane_soak::SoakOptions options;
        options.seed = seed;
        options.operations = operations;
        const kelvane_soak::SoakReport report = kelvane_soak::SoakSession(options).run();
        ++sessions;
        steps += report.operations;
        points += report.points_in;
        snapshots += report.snapshots_checked;
        fused += report.fused_on_reload;
        mirror_checks += report.mirror_checks;
        updates += report.updates_applied;
        for (const auto& k : report.kinds) kinds[k.first] += k.second;
        std::printf(
            "session seed %u: %d steps, %lld points in, peak %zu live, %d snapshots, "
            "%d host tables checked after %lld update records, %d fused on reload, "
            "%d deleted in place of a facing neighbour (%.0f s)\n",
            seed, report.operations, static_cast<long long>(report.points_in), report.peak_live,
            report.snapshots_checked, report.mirror_checks,
            static_cast<long long>(report.updates_applied), report.fused_on_reload,
            report.taken_instead, elapsed());
        std::fflush(stdout);
        if (!report.failure.empty()) {
            std::printf("FAILED: seed %u, step %d (%s): %s\n", seed, report.failed_step,
                        report.failed_kind.c_str(), report.failure.c_str());
            return 1;
        }
    }
    std::printf(
        "soak passed: %d sessions, %lld steps, %lld points in, %lld snapshots checked, "
        "%lld host tables checked after %lld update records, %lld records fused on reload, %.0f "
        "s\n",
        sessions, steps, points, snapshots, mirror_checks, updates, fused, elapsed());
    for (const auto& k : kinds) std::printf("  %-18s %lld\n", k.first.c_str(), k.second);
    return 0;
}
