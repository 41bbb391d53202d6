#include "host/VoxelRounding.h"

#include <cmath>

namespace kelvane_host {

int32_t roundVoxelComponent(float quotient) {
    constexpr double kFar = 1073741824.0;  // 2^30
    double v = quotient;
    if (!(v > -kFar)) v = -kFar;
    if (v > kFar) v = kFar;
    return static_cast<int32_t>(v < 0 ? std::trunc(v - 0.49999988079071045) : std::trunc(v + 0.5));
}

VoxelKey voxelOf(const float position[3], float resolution) {
    VoxelKey k;
    k.x = roundVoxelComponent(position[0] / resolution);
    k.y = roundVoxelComponent(position[1] / resolution);
    k.z = roundVoxelComponent(position[2] / resolution);
    return k;
}

}  // namespace kelvane_host
