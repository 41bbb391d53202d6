#ifdef KELVANE_HAVE_FUSE_CORE

// The command-line tool plays the simulator's sweeps through its frame
// source: the handheld option must reach the simulator whole, or the tool
// would fuse a different scan from the one the benchmarks measure.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fuse/FrameSource.h"
#include "sim/Simulator.h"

namespace {

TEST(FrameSourceTest, HandheldOptionPlaysTheHandheldSweep) {
    kelvane_fuse::FuseOptions options;
    options.handheld = true;
    options.object = "bumpy";
    options.frames = 3;
    options.rows = 186;
    options.columns = 250;
    std::string error;
    auto source = kelvane_fuse::openFrameSource(options, error);
    ASSERT_TRUE(source) << error;
    EXPECT_NE(source->describe().find("bumpy (handheld), 3 frames of 186x250"), std::string::npos)
        << source->describe();
    EXPECT_EQ(source->frameCount(), 3);

    kelvane_sim::SweepOptions sweep = kelvane_sim::handheldSweep();
    sweep.frames = 3;
    kelvane_sim::Frame expected;
    const kelvane_sim::Scanner scanner(sweep);
    kelvane_fuse::SourceFrame frame;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(source->next(frame, error)) << error;
        scanner.frameAt(i, expected);
        ASSERT_EQ(frame.points.size(), expected.points.size());
        EXPECT_EQ(std::memcmp(frame.points.data(), expected.points.data(),
                              frame.points.size() * sizeof frame.points[0]),
                  0);
        EXPECT_EQ(frame.views, expected.views);
        EXPECT_EQ(std::memcmp(frame.pose, expected.pose, sizeof frame.pose), 0);
    }
    EXPECT_FALSE(source->next(frame, error));
    EXPECT_TRUE(error.empty());

    options.handheld = false;
    source = kelvane_fuse::openFrameSource(options, error);
    ASSERT_TRUE(source) << error;
    EXPECT_EQ(source->describe().find("handheld"), std::string::npos) << source->describe();
}

}  // namespace

#endif  // KELVANE_HAVE_FUSE_CORE
