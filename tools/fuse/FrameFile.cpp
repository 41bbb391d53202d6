#include "fuse/FrameFile.h"

#include <filesystem>
#include <system_error>

#include "fuse/ByteOrder.h"
#include "fuse/System.h"

namespace kelvane_fuse {

void encodePointRecord(const fusion::PointData& point, uint8_t* out) {
    for (int k = 0; k < 3; ++k) storeLEFloat(out + 4 * k, point.position[k]);
    for (int k = 0; k < 3; ++k) storeLEFloat(out + 12 + 4 * k, point.normal[k]);
    storeLE32(out + 24, uint32_t(point.attributes));
}

fusion::PointData decodePointRecord(const uint8_t* in) {
    fusion::PointData point;
    for (int k = 0; k < 3; ++k) point.position[k] = loadLEFloat(in + 4 * k);
    for (int k = 0; k < 3; ++k) point.normal[k] = loadLEFloat(in + 12 + 4 * k);
    point.attributes = int32_t(loadLE32(in + 24));
    return point;
}

FrameFileReader::~FrameFileReader() {
    if (m_file != nullptr) std::fclose(m_file);
}

bool FrameFileReader::open(const std::string& path, std::string& error) {
    m_path = path;
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        error = path + ": is a directory, not a frame file";
        return false;
    }
    const uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec) {
        error = path + ": cannot open file (" + ec.message() + ")";
        return false;
    }
    m_file = std::fopen(path.c_str(), "rb");
    if (m_file == nullptr) {
        error = path + ": cannot open file";
        return false;
    }
    auto readCount = [this](uint64_t offset, int32_t& count) {
        uint8_t word[4];
        if (!os::seekTo(m_file, offset)) return false;
        if (std::fread(word, 1, 4, m_file) != 4) return false;
        count = int32_t(loadLE32(word));
        return true;
    };
    std::string problem;
    if (!indexFrames(uint64_t(size), readCount, m_index, problem)) {
        error = path + ": " + problem;
        return false;
    }
    return true;
}

bool FrameFileReader::readFrame(int frame, std::vector<fusion::PointData>& points,
                                std::string& error) {
    if (m_file == nullptr || frame < 0 || frame >= frameCount()) {
        error = m_path + ": no frame " + std::to_string(frame + 1);
        return false;
    }
    const size_t count = size_t(m_index.counts[size_t(frame)]);
    std::vector<uint8_t> bytes(count * kPointRecordBytes);
    if (!os::seekTo(m_file, m_index.offsets[size_t(frame)]) ||
        std::fread(bytes.data(), 1, bytes.size(), m_file) != bytes.size()) {
        error = m_path + ": read error in frame " + std::to_string(frame + 1);
        return false;
    }
    points.resize(count);
    for (size_t i = 0; i < count; ++i)
        points[i] = decodePointRecord(bytes.data() + i * kPointRecordBytes);
    return true;
}

bool FrameFileWriter::append(const fusion::PointData* points, int32_t count) {
    if (count < 0) return false;
    m_buffer.resize(4 + size_t(count) * kPointRecordBytes);
    storeLE32(m_buffer.data(), uint32_t(count));
    for (int32_t i = 0; i < count; ++i) {
        encodePointRecord(points[i], m_buffer.data() + 4 + size_t(i) * kPointRecordBytes);
    }
    return m_out.write(m_buffer.data(), m_buffer.size());
}

}  // namespace kelvane_fuse
