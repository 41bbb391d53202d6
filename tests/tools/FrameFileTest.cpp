#ifdef KELVANE_HAVE_FUSE_CORE

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fuse/FrameFile.h"
#include "support/FuseHelpers.h"

namespace {

using fuse_test::point;

std::vector<std::vector<fusion::PointData>> sampleFrames() {
    return {
        {point(1, 2, 3, 0, 0, 1, 8), point(-1, 0.5f, 7, 1, 0, 0, 16 | 1 << 8)},
        {},  // an empty frame is kept as recorded
        {point(4, 5, 6, 0, 1, 0, 0x7FFF0008)},
    };
}

std::string recordFrames(const fuse_test::TempDir& dir, const std::string& name) {
    kelvane_fuse::FrameFileWriter writer;
    const std::string path = dir.file(name);
    EXPECT_TRUE(writer.open(path));
    for (const auto& frame : sampleFrames()) {
        EXPECT_TRUE(writer.append(frame.data(), int32_t(frame.size())));
    }
    EXPECT_TRUE(writer.commit()) << writer.error();
    return path;
}

TEST(FrameFileTest, RecordedFramesReplayBitForBit) {
    fuse_test::TempDir dir;
    const std::string path = recordFrames(dir, "scan.kfr");
    // The layout is the documented one: count, then 28-byte records.
    EXPECT_EQ(fuse_test::readBytes(path).size(), 3 * 4 + 3 * 28u);

    kelvane_fuse::FrameFileReader reader;
    std::string error;
    ASSERT_TRUE(reader.open(path, error)) << error;
    const auto frames = sampleFrames();
    ASSERT_EQ(reader.frameCount(), 3);
    EXPECT_EQ(reader.largestFrame(), 2);
    // Frames can be read in any order.
    for (int f : {2, 0, 1}) {
        std::vector<fusion::PointData> points;
        ASSERT_TRUE(reader.readFrame(f, points, error)) << error;
        ASSERT_EQ(points.size(), frames[size_t(f)].size());
        for (size_t i = 0; i < points.size(); ++i) {
            EXPECT_EQ(0, std::memcmp(&points[i], &frames[size_t(f)][i], sizeof(fusion::PointData)));
        }
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

struct Damage {
    const char* name;
    size_t keep;          // bytes of the good file to keep (before `tail`)
    std::vector<uint8_t> tail;
    const char* expected;
};

class DamagedFrameFileTest : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedFrameFileTest, IsRefusedBeforeAnyFrameIsRead) {
    fuse_test::TempDir dir;
    const std::string good = recordFrames(dir, "good.kfr");
    std::vector<uint8_t> bytes = fuse_test::readBytes(good);
    bytes.resize(GetParam().keep);
    bytes.insert(bytes.end(), GetParam().tail.begin(), GetParam().tail.end());
    const std::string path = dir.file("bad.kfr");
    fuse_test::writeBytes(path, bytes);

    kelvane_fuse::FrameFileReader reader;
    std::string error;
    EXPECT_FALSE(reader.open(path, error));
    EXPECT_EQ(error.rfind(path + ": ", 0), 0u) << error;
    EXPECT_NE(error.find(GetParam().expected), std::string::npos) << error;
}

// Good file: frame 0 at 0 (4 + 56 bytes), frame 1 at 60 (4), frame 2 at 64 (4 + 28).
INSTANTIATE_TEST_SUITE_P(
    Cases, DamagedFrameFileTest,
    ::testing::Values(
        Damage{"cut_inside_records", 90, {}, "frame 2 declares 1 points (28 bytes) but only 22 bytes remain"},
        Damage{"cut_inside_count", 62, {}, "the point count of frame 1 has only 2 of 4 bytes"},
        Damage{"negative_count", 60, {0xFB, 0xFF, 0xFF, 0xFF}, "frame 1 has a negative point count (-5)"},
        Damage{"absurd_count", 0, {0xFF, 0xFF, 0xFF, 0x7F}, "frame 0 declares 2147483647 points"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

#endif  // KELVANE_HAVE_FUSE_CORE
