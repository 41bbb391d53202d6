#pragma once

// The recorded frame file: for each frame, a little-endian int32 point count
// followed by that many 28-byte point records (x y z nx ny nz as float32,
// then the int32 attribute word), frames back to back, nothing else.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuse/AtomicOutput.h"
#include "fusion/Kelvane.h"

namespace kelvane_fuse {

constexpr size_t kPointRecordBytes = 28;

void encodePointRecord(const fusion::PointData& point, uint8_t* out);
fusion::PointData decodePointRecord(const uint8_t* in);

// Where each frame of a frame file lies. Built by checking every count
// against the bytes that remain, so a damaged file is refused before the
// first frame is played.
struct FrameFileIndex {
    std::vector<uint64_t> offsets;  // of each frame's first point record
    std::vector<int32_t> counts;
    int32_t largest = 0;
};

// Indexes a file of `size` bytes whose count words are read through
// `readCount(offset, word)`. On failure `problem` names the frame at fault.
template <typename ReadCount>
bool indexFrames(uint64_t size, ReadCount readCount, FrameFileIndex& index, std::string& problem);

class FrameFileReader {
public:
    FrameFileReader() = default;
    ~FrameFileReader();
    FrameFileReader(const FrameFileReader&) = delete;
    FrameFileReader& operator=(const FrameFileReader&) = delete;

    // Opens and indexes the file; `error` is "<path>: <problem>".
    bool open(const std::string& path, std::string& error);
    int frameCount() const { return int(m_index.counts.size()); }
    int32_t largestFrame() const { return m_index.largest; }
    // `frame` counts from 0; messages name it counted from 1.
    bool readFrame(int frame, std::vector<fusion::PointData>& points, std::string& error);

private:
    std::FILE* m_file = nullptr;
    std::string m_path;
    FrameFileIndex m_index;
};

// Appends frames to a new frame file; it appears under its name on commit().
class FrameFileWriter {
public:
    bool open(const std::string& path) { return m_out.open(path); }
    bool append(const fusion::PointData* points, int32_t count);
    bool commit() { return m_out.commit(); }
    const std::string& error() const { return m_out.error(); }

private:
    AtomicOutput m_out;
    std::vector<uint8_t> m_buffer;
};

template <typename ReadCount>
bool indexFrames(uint64_t size, ReadCount readCount, FrameFileIndex& index, std::string& problem) {
    index = FrameFileIndex{};
    uint64_t offset = 0;
    while (offset < size) {
        const size_t frame = index.counts.size() + 1;  // counted from 1, as everywhere
        if (size - offset < 4) {
            problem = "truncated: the point count of frame " + std::to_string(frame) +
                      " has only " + std::to_string(size - offset) + " of 4 bytes";
            return false;
        }
        int32_t count = 0;
        if (!readCount(offset, count)) {
            problem = "read error at byte " + std::to_string(offset);
            return false;
        }
        if (count < 0) {
            problem = "frame " + std::to_string(frame) + " has a negative point count (" +
                      std::to_string(count) + ")";
            return false;
        }
        const uint64_t need = uint64_t(count) * kPointRecordBytes;
        const uint64_t remain = size - offset - 4;
        if (need > remain) {
            problem = "truncated: frame " + std::to_string(frame) + " declares " +
                      std::to_string(count) + " points (" + std::to_string(need) +
                      " bytes) but only " + std::to_string(remain) + " bytes remain";
            return false;
        }
        index.offsets.push_back(offset + 4);
        index.counts.push_back(count);
        if (count > index.largest) index.largest = count;
        offset += 4 + need;
    }
    return true;
}

}  // namespace kelvane_fuse
