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
    // The host's table was compared after every step, and it had been fed.
    EXPECT_EQ(report.mirror_checks, options.operations);
    EXPECT_GT(report.updates_applied, 1000);
    std::printf(
        "[ soak     ] seed %u: %d steps, peak %zu live, %d snapshots, %ld updates applied, "
        "%d fused on reload\n",
        options.seed, report.operations, report.peak_live, report.snapshots_checked,
        report.updates_applied, report.fused_on_reload);
}

INSTANTIATE_TEST_SUITE_P(Seeds, Soak, ::testing::Values(1u, 2u),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                             return "Seed" + std::to_string(info.param);
                         });

// Frames handed in back to back, with deletions between the bursts: second
// stages overlap, and the host's table must still be exact once settled.
TEST(SoakChecks, StreamedFramesKeepTheHostTableExact) {
    kelvane_soak::SoakOptions options;
    options.seed = 7;
    options.operations = 30;
    options.only = {"streamed frames", "delete"};
    const kelvane_soak::SoakReport report = kelvane_soak::SoakSession(options).run();
    EXPECT_EQ(report.failure, "") << "step " << report.failed_step << " (" << report.failed_kind
                                  << ")";
    EXPECT_EQ(report.kinds.size(), 2u);
    EXPECT_GT(report.kinds.count("streamed frames"), 0u);
    EXPECT_EQ(report.mirror_checks, options.operations);
    EXPECT_GT(report.updates_applied, 1000);
}

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
    std::printf("[ soak     ] the lost records were noticed at step %d (%s): %s\n",
                report.failed_step, report.failed_kind.c_str(), report.failure.c_str());
}

TEST(SoakChecks, AnUnknownOperationFailsTheSessionAtOnce) {
    kelvane_soak::SoakOptions options;
    options.only = {"frame", "teleport"};
    const kelvane_soak::SoakReport report = kelvane_soak::SoakSession(options).run();
    EXPECT_NE(report.failure.find("teleport"), std::string::npos) << report.failure;
    EXPECT_EQ(report.operations, 0);
}

}  // namespace
