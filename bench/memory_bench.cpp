// What the engine's memory costs around its lifecycle.
//
// BM_InitResidentDeInit: init of a fresh engine, the resident set right after
// it, and deInit of the unused engine, over several rounds. The engine
// reserves about 1.9 GB of address space but must only pay for what it
// touches.
//   init_ms_med/_p95          wall time of init()
//   rss_after_init_mib_med    resident set of the whole process after init
//   rss_growth_mib_med        what init added to the resident set
//   deinit_ms_med/_p95        wall time of deInit() on the unused engine
//   init_vs_50ms, growth_vs_64mib   ratios to the budgets (below 1 is good)
//
// BM_ResetAfterUse/<points>: reset() after building <points> points into
// the volume (a sheet, one point per voxel), repeated. reset must cost in
// proportion to what was used, not to the reservation: compare the rows.
//   reset_ms_med/_p95, reset_vs_50ms
//   rss_before_reset_mib_med / rss_after_reset_mib_med   resident set around it
//   reset_ms_per_mpoint       reset time per million points used

#include "BenchSupport.h"

namespace {

using kelvane_bench::Clock;
using kelvane_bench::mib;
using kelvane_bench::msSince;
using kelvane_bench::report;
using kelvane_bench::Samples;
namespace platform = fusion::platform;

constexpr int kLifecycleRounds = 10;

void BM_InitResidentDeInit(benchmark::State& state) {
    Samples init_ms, deinit_ms, rss_after, rss_growth;
    for (auto _ : state) {
        const auto started = Clock::now();
        for (int round = 0; round < kLifecycleRounds; ++round) {
            auto engine = std::make_unique<fusion::HashTable>();
            const double before = static_cast<double>(platform::residentBytes());
            auto t0 = Clock::now();
            const int status = engine->init();
            init_ms.add(msSince(t0));
            if (status != 0) {
                state.SkipWithError("init failed");
                return;
            }
            const double after = static_cast<double>(platform::residentBytes());
            rss_after.add(mib(after));
            rss_growth.add(mib(after - before));
            t0 = Clock::now();
            engine->deInit();
            deinit_ms.add(msSince(t0));
        }
        state.SetIterationTime(msSince(started) / 1000.0);
    }
    report(state, "init_ms", init_ms);
    report(state, "deinit_ms", deinit_ms);
    report(state, "rss_after_init_mib", rss_after);
    report(state, "rss_growth_mib", rss_growth);
    report(state, "init_vs_50ms", init_ms.median() / 50.0);
    report(state, "growth_vs_64mib", rss_growth.median() / 64.0);
}
BENCHMARK(BM_InitResidentDeInit)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_ResetAfterUse(benchmark::State& state) {
    const int points = static_cast<int>(state.range(0));
    const int rounds = points > 1000000 ? 3 : 8;
    const std::vector<fusion::PointData> sheet =
        kelvane_bench::sheetPoints(std::max(points, 1), 0.5f);
    Samples reset_ms, rss_before, rss_after;
    for (auto _ : state) {
        auto engine = kelvane_bench::makeEngine(0.5f);
        if (!engine) {
            state.SkipWithError("init failed");
            return;
        }
        double measured = 0;
        for (int round = 0; round < rounds; ++round) {
            if (points > 0 && engine->buildByExistingPoints(sheet.data(), points) != 0) {
                state.SkipWithError("building the volume failed");
                return;
            }
            rss_before.add(mib(static_cast<double>(platform::residentBytes())));
            const auto t0 = Clock::now();
            engine->reset();
            const double ms = msSince(t0);
            measured += ms;
            reset_ms.add(ms);
            rss_after.add(mib(static_cast<double>(platform::residentBytes())));
        }
        state.SetIterationTime(measured / 1000.0);
        engine->deInit();
    }
    report(state, "reset_ms", reset_ms);
    report(state, "rss_before_reset_mib_med", rss_before.median());
    report(state, "rss_after_reset_mib_med", rss_after.median());
    report(state, "reset_vs_50ms", reset_ms.median() / 50.0);
    if (points > 0) report(state, "reset_ms_per_mpoint", reset_ms.median() / (points / 1e6));
}
BENCHMARK(BM_ResetAfterUse)
    ->Arg(0)
    ->Arg(130000)   // a few frames' worth: a lightly used volume
    ->Arg(2000000)  // a large model
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
