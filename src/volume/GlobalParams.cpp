#include "volume/GlobalParams.h"

#include <array>
#include <cstring>

namespace fusion {

namespace {

using TuningRow = std::array<int32_t, 32>;
using TuningTable = std::array<TuningRow, kDeviceTypes * kDeviceSubtypes>;

// Four quality tiers of eight words each, shared by every device unless the
// table below says otherwise.
constexpr TuningRow kDefaultTuning = {10, 2, 10, 4, 20, 32, 25, 56,  //
                                      10, 2, 10, 4, 20, 24, 25, 56,  //
                                      10, 2, 10, 2, 10, 24, 10, 32,  //
                                      2,  1, 10, 2, 10, 16, 10, 32};

constexpr TuningTable makeTuningTable() {
    TuningTable table{};
    for (int row = 0; row < kDeviceTypes * kDeviceSubtypes; ++row) table[row] = kDefaultTuning;
    // Type 3, sub-types 2 and 3 need a stricter first step in tier 1.
    table[3 * kDeviceSubtypes + 2][8] = 12;
    table[3 * kDeviceSubtypes + 3][8] = 12;
    // Every type 5 device grades tier 2 with a wider first step.
    for (int subtype = 0; subtype < kDeviceSubtypes; ++subtype) {
        table[5 * kDeviceSubtypes + subtype][16] = 15;
        table[5 * kDeviceSubtypes + subtype][17] = 1;
    }
    return table;
}

constexpr TuningTable kTuningTable = makeTuningTable();

constexpr int32_t kDefaultFramePointLimit = 60000;
constexpr uint32_t kLargestFramePointLimit = 999999;
constexpr float kDefaultPointSpacing = 0.001f;

}  // namespace

GlobalParams defaultGlobalParams() noexcept {
    GlobalParams p;
    std::memset(&p, 0, sizeof(p));
    p.max_build_point_num = 45000000;
    p.max_frame_point_num = kDefaultFramePointLimit;
    p.block_size = 8;
    p.block_size_inv = 0.125f;
    p.block_size_sq = 64;
    p.block_voxel_num = 512;
    p.hash_bucket_num = 1 << 26;
    p.hash_mask = (1 << 26) - 1;
    p.hash_excess_list_size = 500000;
    p.voxel_chunk_max = 50000;
    p.voxel_chunk_init = 8;
    p.chunk_block_num = 1 << 12;
    p.chunk_block_shift = 12;
    p.point_chunk_max = 10000;
    p.point_chunk_init = 4;
    p.chunk_point_num = 1 << 19;
    p.chunk_point_shift = 19;
    p.normal_min_neighbours = 12;
    p.carried_b = 16;
    p.carried_c = 60000;
    std::memcpy(p.device_tuning, kDefaultTuning.data(), sizeof(p.device_tuning));
    p.fusion_enabled = 1;
    return p;
}

GlobalParams compactGlobalParams(int bucket_shift, int block_shift, int point_shift) noexcept {
    GlobalParams p = defaultGlobalParams();
    p.hash_bucket_num = 1 << bucket_shift;
    p.hash_mask = (1 << bucket_shift) - 1;
    p.hash_excess_list_size = 1 << bucket_shift;
    p.voxel_chunk_init = 1;
    p.chunk_block_shift = block_shift;
    p.chunk_block_num = 1 << block_shift;
    p.point_chunk_init = 1;
    p.chunk_point_shift = point_shift;
    p.chunk_point_num = 1 << point_shift;
    return p;
}

const int32_t* deviceTuningRow(int device_type, int device_subtype) noexcept {
    return kTuningTable[static_cast<std::size_t>(device_type * kDeviceSubtypes + device_subtype)]
        .data();
}

void deriveGlobalParams(GlobalParams& params, DeviceInfo& device, float resolution) noexcept {
    // Unsigned comparisons throughout: a negative value reads as huge and
    // falls back like any other out-of-range value.
    const uint32_t frame_points = static_cast<uint32_t>(device.frame_point_num);
    params.max_frame_point_num = (frame_points >= 1u && frame_points <= kLargestFramePointLimit)
                                     ? static_cast<int32_t>(frame_points)
                                     : kDefaultFramePointLimit;

    // Points sparser than a voxel cannot be fused. Only init switches fusion
    // back on: a later, coarser resolution does not.
    const float spacing = (device.point_spacing > 0.0f && device.point_spacing < 1.0f)
                              ? device.point_spacing
                              : kDefaultPointSpacing;
    if (spacing > resolution) params.fusion_enabled = 0;

    if (static_cast<uint32_t>(device.device_type) > static_cast<uint32_t>(kDeviceTypes - 1)) {
        device.device_type = 0;
    }
    if (static_cast<uint32_t>(device.device_subtype) > static_cast<uint32_t>(kDeviceSubtypes - 1)) {
        device.device_subtype = 0;
    }

    std::memcpy(params.device_tuning, deviceTuningRow(device.device_type, device.device_subtype),
                sizeof(params.device_tuning));
}

}  // namespace fusion
