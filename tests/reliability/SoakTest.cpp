// A short randomized session of host operations on the public interface,
// with every invariant of the soak checked after each step. The long
// version runs from scripts/soak.sh.

#include <gtest/gtest.h>

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
    // The host's table was compared after every step, and it had been fed.
    EXPECT_EQ(report.mirror_checks, options.operations);
    EXPECT_GT(report.updates_applied, 1000);
}

INSTANTIATE_TEST_SUITE_P(Seeds, Soak, ::testing::Values(1u, 2u),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                             return "Seed" + std::to_string(info.param);
                         });

// The checks can fail: a host that loses one record in forty is caught, at
// a step that reports records.
TEST(SoakChecks, AHostThatLosesRecordsIsCaught) {
    kelvane_soak::SoakOptions options;
    options.seed = 3;
    options.operations = 40;
    options.only = {"frame", "streamed frames"};
    options.lose_update_every = 40;
    const kelvane_soak::SoakReport report = kelvane_soak::SoakSession(options).run();
    EXPECT_NE(report.failure.find("host"), std::string::npos) << report.failure;
    EXPECT_GE(report.failed_step, 0);
    EXPECT_TRUE(report.failed_kind == "frame" || report.failed_kind == "streamed frames")
        << report.failed_kind;
    EXPECT_LT(report.operations, options.operations);
}

}  // namespace
