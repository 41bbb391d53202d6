#pragma once

// Little-endian encoding of the fixed-width values the tool's file formats
// use. Written byte by byte so the files read the same on any host.

#include <cstdint>
#include <cstring>

namespace kelvane_fuse {

inline uint32_t loadLE32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t loadLE64(const uint8_t* p) {
    return uint64_t(loadLE32(p)) | uint64_t(loadLE32(p + 4)) << 32;
}
inline uint16_t loadLE16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline float loadLEFloat(const uint8_t* p) {
    uint32_t bits = loadLE32(p);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}
inline double loadLEDouble(const uint8_t* p) {
    uint64_t bits = loadLE64(p);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

inline void storeLE16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void storeLE32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void storeLEFloat(uint8_t* p, float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    storeLE32(p, bits);
}

}  // namespace kelvane_fuse
