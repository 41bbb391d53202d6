#pragma once

// Byte layout of a saved engine state and the little-endian codecs for it.
//
//   [0, 148)              header: magic, total size, record counts, volume block
//   [148, 148 + 48 n)     n point records (written in ascending record index;
//                         the reader does not rely on any order)
//   [148 + 48 n, +4)      trailer, the magic again
//
// Every byte the writer does not fill with a value is written as zero, so
// two saves of the same volume are the same bytes. The reader
// checks every size against the bytes it was given before reading them.

#include <cstdint>
#include <cstring>

#include "volume/Records.h"

namespace fusion {
namespace snapshot {

constexpr char kMagic[4] = {'H', 'A', 'S', 'H'};

constexpr uint64_t kHeaderBytes = 148;
constexpr uint64_t kRecordBytes = 48;
constexpr uint64_t kTrailerBytes = 4;
// A stream holding no record: header plus trailer.
constexpr uint64_t kEmptyStreamBytes = kHeaderBytes + kTrailerBytes;

// Header fields.
constexpr std::size_t kSizeOffset = 8;          // uint64 total stream size
constexpr std::size_t kVersionOffset = 16;      // uint32, always 1, not checked
constexpr std::size_t kCountOffset = 20;        // int32 records the size is checked against
constexpr std::size_t kLoadCountOffset = 24;    // int32 records to load
constexpr std::size_t kVolumeBlockOffset = 72;  // 76-byte volume block
constexpr std::size_t kVolumeBlockBytes = 76;

// The volume block: the resolution is the only value read back; the four
// constants after it are kept so that older readers of the format find
// what they expect there.
constexpr float kVolumeConstants[4] = {5.0f, 0.5f, 150.0f, 1500.0f};

// Point record fields.
constexpr std::size_t kRecPosition = 0;
constexpr std::size_t kRecNormal = 12;
constexpr std::size_t kRecMask = 24;
constexpr std::size_t kRecCount = 32;
constexpr std::size_t kRecAttributes = 36;
constexpr std::size_t kRecNormalUpdates = 40;
constexpr std::size_t kRecAbsorbed = 41;
constexpr std::size_t kRecFrameStamp = 44;

inline uint64_t streamBytesFor(uint64_t records) {
    return kEmptyStreamBytes + kRecordBytes * records;
}

// Explicit little-endian codecs: the format must not depend on the byte
// order of the machine that wrote it.
inline void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void putFloat(uint8_t* p, float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof(bits));
    put32(p, bits);
}
inline uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t get32(const uint8_t* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
inline uint64_t get64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
inline float getFloat(const uint8_t* p) {
    const uint32_t bits = get32(p);
    float f;
    std::memcpy(&f, &bits, sizeof(f));
    return f;
}

// Writes all 48 bytes of one record, zeros in the unused ones.
inline void encodeRecord(uint8_t* out, const FusionPoint& point) {
    std::memset(out, 0, kRecordBytes);
    for (int i = 0; i < 3; ++i) {
        putFloat(out + kRecPosition + 4 * i, point.position[i]);
        putFloat(out + kRecNormal + 4 * i, point.normal[i]);
    }
    put64(out + kRecMask, point.sub_voxel_mask);
    put16(out + kRecCount, point.observation_count);
    put32(out + kRecAttributes, attributeWord(point));
    out[kRecNormalUpdates] = point.normal_update_count;
    out[kRecAbsorbed] = point.absorbed_flag;
    put32(out + kRecFrameStamp, static_cast<uint32_t>(point.frame_stamp));
}

// The stored fields of one record, as read back.
struct StoredRecord {
    float position[3];
    float normal[3];
    uint64_t sub_voxel_mask;
    uint16_t observation_count;
    uint32_t attributes;
    uint8_t normal_update_count;
    uint8_t absorbed_flag;
    int32_t frame_stamp;
};

inline StoredRecord decodeRecord(const uint8_t* in) {
    StoredRecord r;
    for (int i = 0; i < 3; ++i) {
        r.position[i] = getFloat(in + kRecPosition + 4 * i);
        r.normal[i] = getFloat(in + kRecNormal + 4 * i);
    }
    r.sub_voxel_mask = get64(in + kRecMask);
    r.observation_count = get16(in + kRecCount);
    r.attributes = get32(in + kRecAttributes);
    r.normal_update_count = in[kRecNormalUpdates];
    r.absorbed_flag = in[kRecAbsorbed];
    r.frame_stamp = static_cast<int32_t>(get32(in + kRecFrameStamp));
    return r;
}

// What the reader takes from a stream that passed validation.
struct StreamHeader {
    float resolution = 0.0f;
    int32_t record_count = 0;  // records the size was checked against
    int32_t load_count = 0;    // records to load, never above record_count
};

enum class StreamCheck { Valid, Missing, Invalid };

// Constant-time validation: size, magic, size field, trailer, record count,
// then the one value the reader relies on beyond the format: a load count
// within the records present (a larger one would read past the stream).
inline StreamCheck checkStream(const uint8_t* data, uint64_t size, StreamHeader& header) {
    if (data == nullptr || size == 0) return StreamCheck::Missing;
    if (size < kEmptyStreamBytes) return StreamCheck::Invalid;
    if (std::memcmp(data, kMagic, 4) != 0) return StreamCheck::Invalid;
    if (get64(data + kSizeOffset) != size) return StreamCheck::Invalid;
    if (std::memcmp(data + size - kTrailerBytes, kMagic, 4) != 0) return StreamCheck::Invalid;
    const int32_t count = static_cast<int32_t>(get32(data + kCountOffset));
    if (count < 0 || streamBytesFor(static_cast<uint64_t>(count)) != size) {
        return StreamCheck::Invalid;
    }
    int32_t load = static_cast<int32_t>(get32(data + kLoadCountOffset));
    if (load > count) return StreamCheck::Invalid;
    if (load < 0) load = 0;
    // Any resolution is taken as it is: one the engine cannot place points
    // at (usableResolution) loads an empty volume.
    header.resolution = getFloat(data + kVolumeBlockOffset);
    header.record_count = count;
    header.load_count = load;
    return StreamCheck::Valid;
}

}  // namespace snapshot
}  // namespace fusion
