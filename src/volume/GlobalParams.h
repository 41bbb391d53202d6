#pragma once

#include <cstdint>

#include "fusion/Kelvane.h"

namespace fusion {

// Every size, shift and limit of the volume: 53 consecutive 32-bit words.
// The shift/count pairs must stay consistent (chunk_block_num is
// 2^chunk_block_shift, chunk_point_num is 2^chunk_point_shift, hash_mask is
// hash_bucket_num - 1): indices are split with shifts and masks.
struct GlobalParams {
    int32_t max_build_point_num;
    int32_t max_frame_point_num;
    int32_t block_size;
    float block_size_inv;
    int32_t block_size_sq;
    int32_t block_voxel_num;
    int32_t hash_bucket_num;
    int32_t hash_mask;
    int32_t hash_excess_list_size;
    int32_t voxel_chunk_max;
    int32_t voxel_chunk_init;
    int32_t chunk_block_num;
    int32_t chunk_block_shift;
    int32_t point_chunk_max;
    int32_t point_chunk_init;
    int32_t chunk_point_num;
    int32_t chunk_point_shift;
    int32_t normal_min_neighbours;
    int32_t carried_b;
    int32_t carried_c;
    int32_t device_tuning[32];  // four tiers of (e0, g0, e1, g1, e2, g2, e3, g3)
    uint8_t fusion_enabled;
    uint8_t padding[3];
};
static_assert(sizeof(GlobalParams) == 53 * 4, "GlobalParams is 53 words");

constexpr int kDeviceTypes = 8;
constexpr int kDeviceSubtypes = 7;

// The defaults written by init.
GlobalParams defaultGlobalParams() noexcept;

// The defaults with a smaller storage geometry, the shift/count pairs kept
// consistent: 2^bucket_shift buckets and as many excess entries, voxel chunks
// of 2^block_shift blocks, point chunks of 2^point_shift records, one chunk
// of each made at init. For volumes that must reach growth, chunk boundaries
// and the excess list after a few thousand records (tests, fuzzing).
GlobalParams compactGlobalParams(int bucket_shift, int block_shift, int point_shift) noexcept;

// Row type * 7 + subtype of the static device tuning table (32 words);
// type and subtype must already be in range.
const int32_t* deviceTuningRow(int device_type, int device_subtype) noexcept;

// Applies the resolution and device description to the block and corrects
// the device record in place (out-of-range type and subtype become 0).
void deriveGlobalParams(GlobalParams& params, DeviceInfo& device, float resolution) noexcept;

}  // namespace fusion
