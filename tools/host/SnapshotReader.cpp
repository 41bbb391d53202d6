#include "host/SnapshotReader.h"

#include <cstring>

namespace kelvane_host {
namespace {

constexpr uint64_t kHeaderBytes = 148;
constexpr uint64_t kRecordBytes = 48;
constexpr uint64_t kTrailerBytes = 4;

// Byte by byte, so the stream reads the same on a big-endian host.
uint64_t le(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

float leFloat(const uint8_t* p) {
    const auto bits = static_cast<uint32_t>(le(p, 4));
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

SnapshotRecord recordAt(const uint8_t* r) {
    SnapshotRecord out{};
    for (int k = 0; k < 3; ++k) {
        out.position[k] = leFloat(r + 4 * k);
        out.normal[k] = leFloat(r + 12 + 4 * k);
    }
    out.sub_cell_mask = le(r + 24, 8);
    out.observation_count = static_cast<uint16_t>(le(r + 32, 2));
    out.attribute_word = static_cast<uint32_t>(le(r + 36, 4));
    out.normal_updates = r[40];
    out.absorbed = r[41];
    out.frame_stamp = static_cast<int32_t>(static_cast<uint32_t>(le(r + 44, 4)));
    return out;
}

}  // namespace

Snapshot readSnapshot(const uint8_t* data, uint64_t size) {
    Snapshot s;
    if (data == nullptr || size < kHeaderBytes + kTrailerBytes) {
        s.problem = "shorter than a header and a trailer";
        return s;
    }
    s.total_size = le(data + 8, 8);
    s.count = static_cast<int32_t>(static_cast<uint32_t>(le(data + 20, 4)));
    s.load_count = static_cast<int32_t>(static_cast<uint32_t>(le(data + 24, 4)));
    s.resolution = leFloat(data + 72);
    // The same order of checks as a loader's, so the first problem named is
    // the one a load would refuse the stream for.
    if (std::memcmp(data, "HASH", 4) != 0) {
        s.problem = "no magic at the start";
    } else if (s.total_size != size) {
        s.problem = "the size field differs from the size";
    } else if (std::memcmp(data + size - kTrailerBytes, "HASH", 4) != 0) {
        s.problem = "no magic at the end";
    } else if (s.count < 0 ||
               kHeaderBytes + kTrailerBytes + kRecordBytes * static_cast<uint64_t>(s.count) !=
                   size) {
        s.problem = "the record count does not fill the size";
    } else {
        s.valid = true;
        s.records.reserve(static_cast<std::size_t>(s.count));
        for (int32_t i = 0; i < s.count; ++i)
            s.records.push_back(
                recordAt(data + kHeaderBytes + kRecordBytes * static_cast<uint64_t>(i)));
    }
    return s;
}

Snapshot readSnapshot(const fusion::RealTimeByteStream& stream) {
    return readSnapshot(stream.data, stream.size);
}

}  // namespace kelvane_host
