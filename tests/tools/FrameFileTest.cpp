#ifdef KELVANE_HAVE_FUSE_CORE

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "fuse/FrameFile.h"
#include "support/FuseHelpers.h"

namespace {

using fuse_test::point;

// Frame 0 at byte 0 (4 + 56 bytes), an empty frame (kept as recorded) at 60,
// frame 2 at 64 (4 + 28).
const std::vector<std::vector<fusion::PointData>> kFrames = {
    {point(1, 2, 3, 0, 0, 1, 8), point(-1, 0.5f, 7, 1, 0, 0, 16 | 1 << 8)}, {},
    {point(4, 5, 6, 0, 1, 0, 0x7FFF0008)}};

std::string recordFrames(const fuse_test::TempDir& dir) {
    kelvane_fuse::FrameFileWriter writer;
    const std::string path = dir.file("good.kfr");
    EXPECT_TRUE(writer.open(path));
    for (const auto& frame : kFrames) EXPECT_TRUE(writer.append(frame.data(), int32_t(frame.size())));
    EXPECT_TRUE(writer.commit()) << writer.error();
    return path;
}

TEST(FrameFileTest, RecordedFramesReplayBitForBitInAnyOrder) {
    fuse_test::TempDir dir;
    const std::string path = recordFrames(dir);
    EXPECT_EQ(fuse_test::readBytes(path).size(), 3 * 4 + 3 * 28u);
    kelvane_fuse::FrameFileReader reader;
    std::string error;
    ASSERT_TRUE(reader.open(path, error)) << error;
    ASSERT_EQ(reader.frameCount(), 3);
    EXPECT_EQ(reader.largestFrame(), 2);
    for (size_t f : {2, 0, 1}) {
        std::vector<fusion::PointData> points;
        ASSERT_TRUE(reader.readFrame(int(f), points, error)) << error;
        ASSERT_EQ(points.size(), kFrames[f].size());
        EXPECT_TRUE(points.empty() || std::memcmp(points.data(), kFrames[f].data(), points.size() * 28) == 0);
    }
}

TEST(FrameFileTest, PointRecordIsLittleEndianInFieldOrder) {
    uint8_t bytes[28];
    kelvane_fuse::encodePointRecord(point(1.0f, 0, 0, 0, 0, -2.0f, 0x01020304), bytes);
    EXPECT_EQ(bytes[3], 0x3F);   // 1.0f = 0x3F800000, high byte last
    EXPECT_EQ(bytes[2], 0x80);
    EXPECT_EQ(bytes[23], 0xC0);  // -2.0f = 0xC0000000
    EXPECT_EQ(bytes[24], 0x04);
    EXPECT_EQ(bytes[27], 0x01);
}

TEST(FrameFileTest, DamagedFileIsRefusedBeforeAnyFrameIsRead) {
    fuse_test::TempDir dir;
    const std::vector<uint8_t> good = fuse_test::readBytes(recordFrames(dir));
    // Bytes of the good file to keep, bytes to put after them, the problem.
    const std::tuple<size_t, std::vector<uint8_t>, const char*> cases[] = {
        {90, {}, "frame 2 declares 1 points (28 bytes) but only 22 bytes remain"},
        {62, {}, "the point count of frame 1 has only 2 of 4 bytes"},
        {60, {0xFB, 0xFF, 0xFF, 0xFF}, "frame 1 has a negative point count (-5)"},
        {0, {0xFF, 0xFF, 0xFF, 0x7F}, "frame 0 declares 2147483647 points"}};
    const std::string path = dir.file("bad.kfr");
    for (const auto& [keep, tail, expected] : cases) {
        std::vector<uint8_t> bytes(good.begin(), good.begin() + long(keep));
        bytes.insert(bytes.end(), tail.begin(), tail.end());
        fuse_test::writeBytes(path, bytes);
        kelvane_fuse::FrameFileReader reader;
        std::string error;
        EXPECT_FALSE(reader.open(path, error));
        EXPECT_EQ(error.rfind(path + ": ", 0), 0u) << error;
        EXPECT_NE(error.find(expected), std::string::npos) << error;
    }
}

}  // namespace

#endif  // KELVANE_HAVE_FUSE_CORE
