#pragma once

// Reads a saved byte stream the way a host that keeps its own copy of the
// saved state would: the documented layout only, little-endian throughout.
//
//   header (148 bytes)  "HASH" at 0, uint64 total size at 8, int32 record
//                       count at 20, int32 count to load at 24, float
//                       resolution at 72
//   records (48 bytes each, from 148)
//                       position and normal (6 floats), uint64 sub-cell mask
//                       at 24, uint16 observation count at 32, uint32
//                       attribute word at 36, uint8 normal updates at 40,
//                       uint8 absorbed flag at 41, int32 frame stamp at 44
//   trailer             "HASH" in the last four bytes
//
// The checks are those a loader makes before it touches anything: size, both
// magics, the size field and the record count against the size.

#include <cstdint>
#include <vector>

#include "fusion/Kelvane.h"

namespace kelvane_host {

struct SnapshotRecord {
    float position[3];
    float normal[3];
    uint64_t sub_cell_mask;
    uint16_t observation_count;
    uint32_t attribute_word;  // scan_level | protected_flag << 8 | quality_code << 16
    uint8_t normal_updates;
    uint8_t absorbed;
    int32_t frame_stamp;

    // A point a load turns back into a vertex (the others are placeholders
    // of marked areas or records emptied by merging).
    bool live() const { return observation_count > 0 && absorbed == 0; }
};

struct Snapshot {
    bool valid = false;
    // What failed first, for messages; empty when valid.
    const char* problem = "";
    // Header values, read whenever the stream is long enough to hold a
    // header, even when a later check fails.
    uint64_t total_size = 0;
    int32_t count = 0;
    int32_t load_count = 0;
    float resolution = 0.0f;
    // Every record of a valid stream, in stream order (which depends on the
    // saving threads' timing: compare as sets).
    std::vector<SnapshotRecord> records;
};

Snapshot readSnapshot(const uint8_t* data, uint64_t size);
Snapshot readSnapshot(const fusion::RealTimeByteStream& stream);

}  // namespace kelvane_host
