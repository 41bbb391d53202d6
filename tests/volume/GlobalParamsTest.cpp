#include "volume/GlobalParams.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <limits>
#include <vector>

namespace {

using fusion::DeviceInfo;
using fusion::GlobalParams;

// The tuning row each device must get, written out independently of the
// table's construction.
std::vector<int32_t> expectedRow(int type, int subtype) {
    std::vector<int32_t> row = {10, 2, 10, 4, 20, 32, 25, 56, 10, 2, 10, 4, 20, 24, 25, 56,
                                10, 2, 10, 2, 10, 24, 10, 32, 2,  1, 10, 2, 10, 16, 10, 32};
    if (type == 3 && (subtype == 2 || subtype == 3)) row[8] = 12;
    if (type == 5) row[16] = 15, row[17] = 1;
    return row;
}

std::vector<int32_t> tuningOf(const GlobalParams& p) { return {p.device_tuning, p.device_tuning + 32}; }

GlobalParams derive(DeviceInfo& d, float resolution) {
    GlobalParams p = fusion::defaultGlobalParams();
    fusion::deriveGlobalParams(p, d, resolution);
    return p;
}

class DeviceTuningTable : public ::testing::TestWithParam<int> {};

TEST_P(DeviceTuningTable, DerivationCopiesTheDevicesRow) {
    const int type = GetParam() / 7, subtype = GetParam() % 7;
    const int32_t* row = fusion::deviceTuningRow(type, subtype);
    EXPECT_EQ(std::vector<int32_t>(row, row + 32), expectedRow(type, subtype));
    DeviceInfo d = {0, 0, type, 0, 60000, subtype, 0.001f};
    EXPECT_EQ(tuningOf(derive(d, 0.5f)), expectedRow(type, subtype));
}

INSTANTIATE_TEST_SUITE_P(AllRows, DeviceTuningTable, ::testing::Range(0, 56));

class DeriveFrameLimit : public ::testing::TestWithParam<std::pair<int32_t, int32_t>> {};

TEST_P(DeriveFrameLimit, HonoursOnlyOneToUnderAMillion) {
    DeviceInfo d = {0, 0, 0, 0, GetParam().first, 0, 0.001f};
    EXPECT_EQ(derive(d, 0.5f).max_frame_point_num, GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Limits, DeriveFrameLimit,
                         ::testing::Values(std::make_pair(0, 60000), std::make_pair(1, 1),
                                           std::make_pair(999999, 999999), std::make_pair(1000000, 60000),
                                           std::make_pair(-5, 60000), std::make_pair(INT_MIN, 60000)));

// spacing, resolution, fusion stays on
class DeriveFusionSwitch : public ::testing::TestWithParam<std::tuple<float, float, bool>> {};

TEST_P(DeriveFusionSwitch, SparserThanAVoxelSwitchesFusionOff) {
    const auto [spacing, resolution, enabled] = GetParam();
    DeviceInfo d = {0, 0, 0, 0, 60000, 0, spacing};
    EXPECT_EQ(derive(d, resolution).fusion_enabled, enabled ? 1 : 0);
    EXPECT_EQ(std::memcmp(&d.point_spacing, &spacing, sizeof(float)), 0) << "the host's value is kept";
}

const float kNaN = std::numeric_limits<float>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Spacings, DeriveFusionSwitch,
    ::testing::Values(  // out-of-range spacings count as 0.001
        std::make_tuple(0.0f, 0.0009f, false), std::make_tuple(0.0f, 0.5f, true),
        std::make_tuple(1.0f, 0.0009f, false), std::make_tuple(-0.2f, 0.0005f, false),
        std::make_tuple(5.0f, 0.5f, true), std::make_tuple(kNaN, 0.0009f, false),
        std::make_tuple(0.6f, 0.5f, false), std::make_tuple(0.5f, 0.5f, true),
        std::make_tuple(0.999f, 0.998f, false)));

TEST(DeriveGlobalParams, FusionOnceOffStaysOff) {
    DeviceInfo sparse = {0, 0, 0, 0, 60000, 0, 0.6f};
    GlobalParams p = derive(sparse, 0.5f);
    ASSERT_EQ(p.fusion_enabled, 0);
    DeviceInfo dense = {0, 0, 0, 0, 60000, 0, 0.001f};
    fusion::deriveGlobalParams(p, dense, 1.0f);
    EXPECT_EQ(p.fusion_enabled, 0);
}

// type, subtype -> stored type, stored subtype
class DeriveDeviceCorrection : public ::testing::TestWithParam<std::tuple<int, int, int, int>> {};

TEST_P(DeriveDeviceCorrection, OutOfRangeTypesReadAsZero) {
    const auto [type, subtype, stored_type, stored_subtype] = GetParam();
    DeviceInfo d = {0xA1A2A3A4u, 0xB1B2B3B4u, type, 0xC1C2C3C4u, 4321, subtype, 0.9f};
    DeviceInfo expected = d;
    expected.device_type = stored_type;
    expected.device_subtype = stored_subtype;
    const GlobalParams p = derive(d, 0.25f);
    EXPECT_EQ(std::memcmp(&d, &expected, sizeof(d)), 0);

    // Nothing but the limit, the switch and the tuning words moves.
    GlobalParams reference = fusion::defaultGlobalParams();
    reference.max_frame_point_num = 4321;
    reference.fusion_enabled = 0;
    const std::vector<int32_t> row = expectedRow(stored_type, stored_subtype);
    std::memcpy(reference.device_tuning, row.data(), sizeof(reference.device_tuning));
    EXPECT_EQ(std::memcmp(&p, &reference, sizeof(p)), 0);
}

INSTANTIATE_TEST_SUITE_P(Devices, DeriveDeviceCorrection,
                         ::testing::Values(std::make_tuple(9, 7, 0, 0), std::make_tuple(-1, -1, 0, 0),
                                           std::make_tuple(8, 6, 0, 6), std::make_tuple(5, 7, 5, 0),
                                           std::make_tuple(7, 6, 7, 6), std::make_tuple(3, 3, 3, 3)));

}  // namespace
