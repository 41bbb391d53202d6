#include "volume/Records.h"

#include <cstring>

namespace fusion {

float quietNaN() noexcept {
    const uint32_t bits = 0xFFC00000u;
    float value;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
}

FusionPoint defaultFusionPoint() noexcept {
    FusionPoint point;
    std::memset(&point, 0, sizeof(point));
    const float nan = quietNaN();
    for (int i = 0; i < 3; ++i) {
        point.position[i] = nan;
        point.normal[i] = nan;
    }
    point.scan_level = 8;
    point.frame_stamp = -1;
    point.view_id = -1;
    return point;
}

uint32_t attributeWord(const FusionPoint& point) noexcept {
    uint32_t word;
    std::memcpy(&word, &point.scan_level, sizeof(word));
    return word;
}

void setAttributeWord(FusionPoint& point, uint32_t word) noexcept {
    std::memcpy(&point.scan_level, &word, sizeof(word));
}

}  // namespace fusion
