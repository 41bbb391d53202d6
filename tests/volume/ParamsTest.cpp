// Deriving the parameter block from the device and the resolution.

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <limits>
#include <tuple>

#include "volume/GlobalParams.h"

namespace {

using fusion::DeviceInfo;
using fusion::GlobalParams;

GlobalParams derive(DeviceInfo& d, float resolution) {
    GlobalParams p = fusion::defaultGlobalParams();
    fusion::deriveGlobalParams(p, d, resolution);
    return p;
}

TEST(DeriveParams, FrameLimitHonoursOnlyOneToUnderAMillion) {
    const std::pair<int, int> cases[] = {{0, 60000},       {1, 1},      {999999, 999999},
                                         {1000000, 60000}, {-5, 60000}, {INT_MIN, 60000}};
    for (const auto& [given, limit] : cases) {
        DeviceInfo d = {0, 0, 0, 0, given, 0, 0.001f};
        EXPECT_EQ(derive(d, 0.5f).max_frame_point_num, limit) << given;
    }
}

TEST(DeriveParams, SparserThanAVoxelSwitchesFusionOffForGood) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // Out-of-range spacings count as 0.001.
    const std::tuple<float, float, bool> cases[] = {
        {0.0f, 0.0009f, false},  {0.0f, 0.5f, true}, {1.0f, 0.0009f, false},
        {-0.2f, 0.0005f, false}, {5.0f, 0.5f, true}, {nan, 0.0009f, false},
        {0.6f, 0.5f, false},     {0.5f, 0.5f, true}, {0.999f, 0.998f, false}};
    for (const auto& [spacing, resolution, enabled] : cases) {
        DeviceInfo d = {0, 0, 0, 0, 60000, 0, spacing};
        EXPECT_EQ(derive(d, resolution).fusion_enabled, enabled ? 1 : 0)
            << spacing << " at " << resolution;
        EXPECT_EQ(std::memcmp(&d.point_spacing, &spacing, sizeof(float)), 0)
            << "the host's value is kept";
    }
    DeviceInfo sparse = {0, 0, 0, 0, 60000, 0, 0.6f};
    GlobalParams p = derive(sparse, 0.5f);
    DeviceInfo dense = {0, 0, 0, 0, 60000, 0, 0.001f};
    fusion::deriveGlobalParams(p, dense, 1.0f);
    EXPECT_EQ(p.fusion_enabled, 0) << "only init switches fusion back on";
}

// Out-of-range types read as zero; nothing but the limit, the switch and the
// tuning words moves, and the device's own words are carried unchanged.
TEST(DeriveParams, DeviceCorrectionAndTuningRows) {
    const std::tuple<int, int, int, int> cases[] = {{9, 7, 0, 0}, {-1, -1, 0, 0}, {8, 6, 0, 6},
                                                    {5, 7, 5, 0}, {7, 6, 7, 6},   {3, 3, 3, 3}};
    for (const auto& [type, subtype, stored_type, stored_subtype] : cases) {
        DeviceInfo d = {0xA1A2A3A4u, 0xB1B2B3B4u, type, 0xC1C2C3C4u, 4321, subtype, 0.9f};
        DeviceInfo expected = d;
        expected.device_type = stored_type;
        expected.device_subtype = stored_subtype;
        const GlobalParams p = derive(d, 0.25f);
        EXPECT_EQ(std::memcmp(&d, &expected, sizeof(d)), 0) << type << "/" << subtype;

        GlobalParams reference = fusion::defaultGlobalParams();
        reference.max_frame_point_num = 4321;
        reference.fusion_enabled = 0;
        // Every row is the default but two: type 3 sub-types 2 and 3 start
        // tier 1 at 12; type 5 starts tier 2 with 15, 1.
        if (stored_type == 3 && (stored_subtype == 2 || stored_subtype == 3))
            reference.device_tuning[8] = 12;
        if (stored_type == 5) {
            reference.device_tuning[16] = 15;
            reference.device_tuning[17] = 1;
        }
        EXPECT_EQ(std::memcmp(&p, &reference, sizeof(p)), 0) << type << "/" << subtype;
    }
}

}  // namespace
