// STUB: replaced by the parameter block implementation.
#include "volume/GlobalParams.h"
#include <cstring>
namespace fusion {
GlobalParams defaultGlobalParams() noexcept {
    GlobalParams p;
    std::memset(&p, 0, sizeof(p));
    p.max_build_point_num = 45000000; p.max_frame_point_num = 60000; p.block_size = 8; p.block_size_inv = 0.125f;
    p.block_size_sq = 64; p.block_voxel_num = 512; p.hash_bucket_num = 1 << 26; p.hash_mask = (1 << 26) - 1;
    p.hash_excess_list_size = 500000; p.voxel_chunk_max = 50000; p.voxel_chunk_init = 8; p.chunk_block_num = 4096;
    p.chunk_block_shift = 12; p.point_chunk_max = 10000; p.point_chunk_init = 4; p.chunk_point_num = 1 << 19;
    p.chunk_point_shift = 19; p.normal_min_neighbours = 12; p.carried_b = 16; p.carried_c = 60000; p.fusion_enabled = 1;
    const int32_t tuning[32] = {10, 2, 10, 4, 20, 32, 25, 56, 10, 2, 10, 4, 20, 24, 25, 56, 10, 2, 10, 2, 10, 24, 10, 32, 2, 1, 10, 2, 10, 16, 10, 32};
    std::memcpy(p.device_tuning, tuning, sizeof(tuning));
    return p;
}
const int32_t* deviceTuningRow(int, int) noexcept { static GlobalParams p = defaultGlobalParams(); return p.device_tuning; }
void deriveGlobalParams(GlobalParams&, DeviceInfo&, float) noexcept {}
}  // namespace fusion
