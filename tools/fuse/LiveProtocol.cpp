#include "fuse/LiveProtocol.h"

#include <cstring>

#include "fuse/ByteOrder.h"

namespace kelvane_fuse {

uint32_t mixViewId(int32_t view_id) {
    // An offset (the finaliser alone maps 0 to 0, and id 0 must count),
    // then the finaliser of a well-known 32-bit hash: every input bit
    // reaches every output bit, so a missing or extra id changes the sum.
    uint32_t h = uint32_t(view_id) + 0x9E3779B9u;
    h ^= h >> 16;
    h *= 0x85EBCA6Bu;
    h ^= h >> 13;
    h *= 0xC2B2AE35u;
    h ^= h >> 16;
    return h;
}

uint32_t viewIdDigest(const fusion::Vertices* records, int count) {
    uint32_t sum = 0;
    for (int i = 0; i < count; ++i) sum += mixViewId(records[i].view_id);
    return sum;
}

std::vector<uint8_t> encodeLiveMessage(LiveMessageKind kind, const fusion::Vertices* records,
                                       int count, const LiveStats& stats) {
    if (records == nullptr || count < 0) count = 0;
    const bool with_records = kind != LiveMessageKind::Final;
    std::vector<uint8_t> bytes(kLiveHeaderBytes +
                               (with_records ? size_t(count) * kLiveRecordBytes : 0));
    uint8_t* h = bytes.data();
    std::memcpy(h, "KLV1", 4);
    storeLE32(h + 4, uint32_t(kind));
    storeLE32(h + 8, uint32_t(stats.frame));
    storeLE32(h + 12, uint32_t(stats.frames));
    storeLEFloat(h + 16, stats.fps);
    storeLE32(h + 20, uint32_t(stats.dropped));
    storeLE32(h + 24, uint32_t(count));
    storeLE32(h + 28, with_records ? 0u : viewIdDigest(records, count));
    storeLEFloat(h + 32, stats.resolution);
    if (!with_records) return bytes;
    uint8_t* out = h + kLiveHeaderBytes;
    for (int i = 0; i < count; ++i, out += kLiveRecordBytes) {
        const fusion::Vertices& v = records[i];
        for (int k = 0; k < 3; ++k) {
            storeLEFloat(out + 4 * k, v.position[k]);
            storeLEFloat(out + 12 + 4 * k, v.normal[k]);
        }
        storeLE32(out + 24, uint32_t(v.view_id));
        out[28] = v.state;
        out[29] = out[30] = out[31] = 0;
        out[32] = v.scan_level;
        out[33] = v.protected_flag;
        storeLE16(out + 34, v.quality_code);
    }
    return bytes;
}

}  // namespace kelvane_fuse
