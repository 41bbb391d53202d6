#include "volume/GlobalParams.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

using fusion::DeviceInfo;
using fusion::GlobalParams;

const std::vector<int32_t> kDefaultTuning = {10, 2, 10, 4, 20, 32, 25, 56, 10, 2, 10,
                                             4,  20, 24, 25, 56, 10, 2, 10, 2, 10, 24,
                                             10, 32, 2,  1,  10, 2, 10, 16, 10, 32};

std::vector<int32_t> tuningOf(const GlobalParams& p) {
    return std::vector<int32_t>(p.device_tuning, p.device_tuning + 32);
}

// The row the table must hold for a device, written out independently of
// the table's construction.
std::vector<int32_t> expectedRow(int type, int subtype) {
    std::vector<int32_t> row = kDefaultTuning;
    if (type == 3 && (subtype == 2 || subtype == 3)) row[8] = 12;
    if (type == 5) {
        row[16] = 15;
        row[17] = 1;
    }
    return row;
}

DeviceInfo device(int32_t type, int32_t subtype, int32_t frame_points, float spacing) {
    DeviceInfo d{};
    d.word0 = 0xA1A2A3A4u;
    d.word1 = 0xB1B2B3B4u;
    d.device_type = type;
    d.word3 = 0xC1C2C3C4u;
    d.frame_point_num = frame_points;
    d.device_subtype = subtype;
    d.point_spacing = spacing;
    return d;
}

TEST(GlobalParamsDefaults, SizesAreMutuallyConsistent) {
    const GlobalParams p = fusion::defaultGlobalParams();
    // Indices are split with these shifts and masks, so a mismatch would
    // address the wrong chunk or bucket.
    EXPECT_EQ(p.chunk_block_num, 1 << p.chunk_block_shift);
    EXPECT_EQ(p.chunk_point_num, 1 << p.chunk_point_shift);
    EXPECT_EQ(p.hash_mask, p.hash_bucket_num - 1);
    EXPECT_EQ(p.hash_bucket_num & p.hash_mask, 0) << "bucket count must be a power of two";
    EXPECT_FLOAT_EQ(p.block_size_inv * static_cast<float>(p.block_size), 1.0f);
    EXPECT_EQ(p.block_size_sq, p.block_size * p.block_size);
    EXPECT_EQ(p.block_voxel_num, p.block_size * p.block_size * p.block_size);
    EXPECT_LE(p.voxel_chunk_init, p.voxel_chunk_max);
    EXPECT_LE(p.point_chunk_init, p.point_chunk_max);
}

TEST(GlobalParamsDefaults, MatchTheStandardBlock) {
    const GlobalParams p = fusion::defaultGlobalParams();
    const int32_t* words = reinterpret_cast<const int32_t*>(&p);
    const std::vector<int32_t> expected_sizes = {
        45000000, 60000, 8, 0 /* float word, checked below */, 64, 512, 67108864, 67108863,
        500000,   50000, 8, 4096, 12, 10000, 4, 524288, 19, 12, 16, 60000};
    for (std::size_t i = 0; i < expected_sizes.size(); ++i) {
        if (i == 3) continue;
        EXPECT_EQ(words[i], expected_sizes[i]) << "word " << i;
    }
    EXPECT_EQ(p.block_size_inv, 0.125f);
    EXPECT_EQ(tuningOf(p), kDefaultTuning);
    EXPECT_EQ(p.fusion_enabled, 1);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(&p)[52 * 4], 1) << "the flag is the low byte of word 52";
    EXPECT_EQ(p.padding[0] | p.padding[1] | p.padding[2], 0);
}

class DeviceTuningTable : public ::testing::TestWithParam<int> {};

TEST_P(DeviceTuningTable, EveryRowIsTheDefaultExceptTheKnownDevices) {
    const int type = GetParam() / fusion::kDeviceSubtypes;
    const int subtype = GetParam() % fusion::kDeviceSubtypes;
    const int32_t* row = fusion::deviceTuningRow(type, subtype);
    EXPECT_EQ(std::vector<int32_t>(row, row + 32), expectedRow(type, subtype))
        << "type " << type << " subtype " << subtype;

    // The derivation copies exactly that row into words 20-51.
    GlobalParams p = fusion::defaultGlobalParams();
    DeviceInfo d = device(type, subtype, 60000, 0.001f);
    fusion::deriveGlobalParams(p, d, 0.5f);
    EXPECT_EQ(tuningOf(p), expectedRow(type, subtype));
}

INSTANTIATE_TEST_SUITE_P(AllRows, DeviceTuningTable, ::testing::Range(0, 56));

struct FrameLimitCase {
    int32_t given;
    int32_t expected;
};

class DeriveFrameLimit : public ::testing::TestWithParam<FrameLimitCase> {};

TEST_P(DeriveFrameLimit, HonoursOnlyOneToUnderAMillion) {
    GlobalParams p = fusion::defaultGlobalParams();
    p.max_frame_point_num = 123;  // must be replaced whatever the input
    DeviceInfo d = device(0, 0, GetParam().given, 0.001f);
    fusion::deriveGlobalParams(p, d, 0.5f);
    EXPECT_EQ(p.max_frame_point_num, GetParam().expected);
    EXPECT_EQ(d.frame_point_num, GetParam().given) << "the device record keeps its own value";
}

INSTANTIATE_TEST_SUITE_P(Limits, DeriveFrameLimit,
                         ::testing::Values(FrameLimitCase{0, 60000}, FrameLimitCase{1, 1},
                                           FrameLimitCase{2, 2}, FrameLimitCase{999999, 999999},
                                           FrameLimitCase{1000000, 60000},
                                           FrameLimitCase{-5, 60000},
                                           FrameLimitCase{INT_MIN, 60000},
                                           FrameLimitCase{INT_MAX, 60000}));

struct SpacingCase {
    float spacing;
    float resolution;
    bool enabled;
};

class DeriveFusionSwitch : public ::testing::TestWithParam<SpacingCase> {};

TEST_P(DeriveFusionSwitch, SparserThanAVoxelSwitchesFusionOff) {
    const SpacingCase c = GetParam();
    GlobalParams p = fusion::defaultGlobalParams();
    DeviceInfo d = device(0, 0, 60000, c.spacing);
    fusion::deriveGlobalParams(p, d, c.resolution);
    EXPECT_EQ(p.fusion_enabled, c.enabled ? 1 : 0)
        << "spacing " << c.spacing << " resolution " << c.resolution;
    // The host's value is kept, not the stand-in used for the decision.
    EXPECT_EQ(std::memcmp(&d.point_spacing, &c.spacing, sizeof(float)), 0);
}

const float kNaN = std::numeric_limits<float>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Spacings, DeriveFusionSwitch,
    ::testing::Values(
        // Out-of-range spacings count as 0.001.
        SpacingCase{0.0f, 0.0009f, false}, SpacingCase{0.0f, 0.5f, true},
        SpacingCase{1.0f, 0.0009f, false}, SpacingCase{1.0f, 0.5f, true},
        SpacingCase{-0.2f, 0.0005f, false}, SpacingCase{-0.2f, 0.5f, true},
        SpacingCase{5.0f, 0.5f, true}, SpacingCase{kNaN, 0.5f, true},
        SpacingCase{kNaN, 0.0009f, false},
        // In-range spacings are compared as given; equal is not sparser.
        SpacingCase{0.6f, 0.5f, false}, SpacingCase{0.5f, 0.5f, true},
        SpacingCase{0.001f, 0.001f, true}, SpacingCase{0.999f, 0.998f, false},
        SpacingCase{0.05f, 0.1f, true}));

TEST(DeriveGlobalParams, FusionOnceOffStaysOffUntilTheDefaultsAreRestored) {
    GlobalParams p = fusion::defaultGlobalParams();
    DeviceInfo d = device(0, 0, 60000, 0.6f);
    fusion::deriveGlobalParams(p, d, 0.5f);
    ASSERT_EQ(p.fusion_enabled, 0);
    fusion::deriveGlobalParams(p, d, 1.0f);
    EXPECT_EQ(p.fusion_enabled, 0);
    DeviceInfo dense = device(0, 0, 60000, 0.001f);
    fusion::deriveGlobalParams(p, dense, 1.0f);
    EXPECT_EQ(p.fusion_enabled, 0);
}

struct DeviceCorrectionCase {
    int32_t type, subtype;
    int32_t stored_type, stored_subtype;
};

class DeriveDeviceCorrection : public ::testing::TestWithParam<DeviceCorrectionCase> {};

TEST_P(DeriveDeviceCorrection, OutOfRangeTypesReadAsZero) {
    const DeviceCorrectionCase c = GetParam();
    GlobalParams p = fusion::defaultGlobalParams();
    DeviceInfo d = device(c.type, c.subtype, 60000, 0.001f);
    const DeviceInfo given = d;
    fusion::deriveGlobalParams(p, d, 0.5f);
    EXPECT_EQ(d.device_type, c.stored_type);
    EXPECT_EQ(d.device_subtype, c.stored_subtype);
    EXPECT_EQ(d.word0, given.word0);
    EXPECT_EQ(d.word1, given.word1);
    EXPECT_EQ(d.word3, given.word3);
    EXPECT_EQ(tuningOf(p), expectedRow(c.stored_type, c.stored_subtype));
}

INSTANTIATE_TEST_SUITE_P(
    Devices, DeriveDeviceCorrection,
    ::testing::Values(DeviceCorrectionCase{9, 7, 0, 0}, DeviceCorrectionCase{-1, -1, 0, 0},
                      DeviceCorrectionCase{8, 6, 0, 6}, DeviceCorrectionCase{5, 7, 5, 0},
                      DeviceCorrectionCase{7, 6, 7, 6}, DeviceCorrectionCase{3, 3, 3, 3},
                      DeviceCorrectionCase{INT_MIN, 2, 0, 2}));

TEST(DeriveGlobalParams, TouchesOnlyTheLimitTheSwitchAndTheTuning) {
    GlobalParams p = fusion::defaultGlobalParams();
    const GlobalParams before = p;
    DeviceInfo d = device(5, 1, 4321, 0.9f);
    fusion::deriveGlobalParams(p, d, 0.25f);

    GlobalParams expected = before;
    expected.max_frame_point_num = 4321;
    expected.fusion_enabled = 0;
    const std::vector<int32_t> row = expectedRow(5, 1);
    std::memcpy(expected.device_tuning, row.data(), sizeof(expected.device_tuning));
    EXPECT_EQ(std::memcmp(&p, &expected, sizeof(GlobalParams)), 0);
}

}  // namespace
