// The depth frame file is how the depth fusion peer gets the very frames the
// engine fused: a value written at the wrong width or offset would have the
// peer fuse something else and make every comparison meaningless.

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "sim/DepthFrames.h"
#include "sim/Simulator.h"
#include "support/FuseHelpers.h"

namespace {

using kelvane_sim::Frame;

std::vector<Frame> twoFrames() {
    kelvane_sim::SweepOptions o = kelvane_sim::handheldSweep();
    o.rows = 30;  // small images keep the file small; the layout is the same
    o.columns = 40;
    std::vector<Frame> frames(2);
    const kelvane_sim::Scanner scanner(o);
    scanner.frameAt(0, frames[0]);
    scanner.frameAt(5, frames[1]);
    return frames;
}

TEST(DepthFrames, RoundTripKeepsDepthIntrinsicsPoseAndPositions) {
    fuse_test::TempDir dir;
    const std::vector<Frame> frames = twoFrames();
    ASSERT_GT(frames[1].points.size(), 100u);
    std::string error;
    ASSERT_TRUE(kelvane_sim::writeDepthFrames(dir.file("f.kvd"), frames, error)) << error;

    std::vector<Frame> back;
    ASSERT_TRUE(kelvane_sim::readDepthFrames(dir.file("f.kvd"), back, error)) << error;
    ASSERT_EQ(back.size(), frames.size());
    for (std::size_t f = 0; f < frames.size(); ++f) {
        const Frame &a = frames[f], &b = back[f];
        EXPECT_EQ(b.intrinsics.width, a.intrinsics.width);
        EXPECT_EQ(b.intrinsics.height, a.intrinsics.height);
        EXPECT_EQ(b.intrinsics.fx, a.intrinsics.fx);
        EXPECT_EQ(b.intrinsics.fy, a.intrinsics.fy);
        EXPECT_EQ(b.intrinsics.cx, a.intrinsics.cx);
        EXPECT_EQ(b.intrinsics.cy, a.intrinsics.cy);
        EXPECT_EQ(std::memcmp(a.pose, b.pose, sizeof a.pose), 0);
        EXPECT_EQ(a.depth, b.depth);
        ASSERT_EQ(b.points.size(), a.points.size());
        for (std::size_t i = 0; i < a.points.size(); ++i)
            ASSERT_EQ(std::memcmp(a.points[i].position, b.points[i].position, sizeof a.points[i].position), 0);
        ASSERT_EQ(b.views.size(), 1u);
        EXPECT_EQ(b.views[0], std::vector<int>{static_cast<int>(a.points.size())});
    }

    // The layout is fixed: header, then per frame 168 bytes of numbers, the
    // depths and the positions. A reader in another language relies on it.
    std::size_t expected = 16;
    for (const auto& f : frames) expected += 168 + 4 * f.depth.size() + 4 + 12 * f.points.size();
    const std::vector<uint8_t> bytes = fuse_test::readBytes(dir.file("f.kvd"));
    EXPECT_EQ(bytes.size(), expected);
    ASSERT_GE(bytes.size(), 24u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "KVDEPTH1");
    EXPECT_EQ(bytes[8], 2);  // frame count, little-endian
    EXPECT_EQ(bytes[16], 40);  // first frame's width
}

TEST(DepthFrames, DamagedFilesAreRefused) {
    fuse_test::TempDir dir;
    std::string error;
    ASSERT_TRUE(kelvane_sim::writeDepthFrames(dir.file("f.kvd"), twoFrames(), error)) << error;
    std::vector<uint8_t> bytes = fuse_test::readBytes(dir.file("f.kvd"));

    std::vector<Frame> back;
    std::vector<uint8_t> cut(bytes.begin(), bytes.end() - 5);
    fuse_test::writeBytes(dir.file("cut.kvd"), cut);
    EXPECT_FALSE(kelvane_sim::readDepthFrames(dir.file("cut.kvd"), back, error));
    EXPECT_TRUE(back.empty());

    std::vector<uint8_t> huge = bytes;
    huge[19] = 0x7f;  // width of the first frame beyond the file
    fuse_test::writeBytes(dir.file("huge.kvd"), huge);
    EXPECT_FALSE(kelvane_sim::readDepthFrames(dir.file("huge.kvd"), back, error));
    EXPECT_NE(error.find("frame 0"), std::string::npos) << error;

    std::vector<uint8_t> foreign = bytes;
    foreign[0] = 'X';
    fuse_test::writeBytes(dir.file("foreign.kvd"), foreign);
    EXPECT_FALSE(kelvane_sim::readDepthFrames(dir.file("foreign.kvd"), back, error));
    EXPECT_FALSE(kelvane_sim::readDepthFrames(dir.file("missing.kvd"), back, error));

    // A depth image that does not match its intrinsics is not written.
    std::vector<Frame> wrong = twoFrames();
    wrong[1].depth.pop_back();
    EXPECT_FALSE(kelvane_sim::writeDepthFrames(dir.file("wrong.kvd"), wrong, error));
}

}  // namespace
