// A short randomized session of host operations on the public interface,
// with every invariant of the soak checked after each step. The long
// version runs from scripts/soak.sh.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "soak/SoakSession.h"

namespace {

class Soak : public ::testing::TestWithParam<uint32_t> {};

TEST_P(Soak, EveryStepKeepsTheHostsView) {
    kelvane_soak::SoakOptions options;
    options.seed = GetParam();
    options.operations = 150;
    const kelvane_soak::SoakReport report = kelvane_soak::SoakSession(options).run();
    EXPECT_EQ(report.failure, "") << "step " << report.failed_step << " (" << report.failed_kind
                                  << "), seed " << options.seed;
    EXPECT_EQ(report.operations, options.operations);
    // The mix must have reached the operations it is meant to interleave.
    for (const char* kind : {"frame", "blocking frame", "delete", "save and load"}) {
        EXPECT_GT(report.kinds.count(kind), 0u) << kind;
    }
    EXPECT_GT(report.peak_live, 500u) << "the session never built a real model";
    EXPECT_GE(report.snapshots_checked, options.operations / options.snapshot_every);
    std::printf("[ soak     ] seed %u: %d steps, peak %zu live, %d snapshots, %d fused on reload\n",
                options.seed, report.operations, report.peak_live, report.snapshots_checked,
                report.fused_on_reload);
}

INSTANTIATE_TEST_SUITE_P(Seeds, Soak, ::testing::Values(1u, 2u),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                             return "Seed" + std::to_string(info.param);
                         });

}  // namespace
