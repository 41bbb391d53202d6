#pragma once

// Reading scanner frames from PLY files and writing the fused cloud as PLY.
//
// Reading accepts ASCII and binary little-endian files. The vertex element
// must have float-convertible properties x y z nx ny nz (any order, any
// numeric type); every other property and element is skipped by its
// declared type. Optional vertex properties scan_level and protected fill
// the attribute word (also under the names scalar_scan_level and
// scalar_protected, as the fused cloud has them); without them a point gets
// scan level 8.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fusion/Kelvane.h"

namespace kelvane_fuse {

// Parses a whole PLY file held in memory. On failure `problem` says what is
// wrong, without the file name.
bool parsePlyPoints(const uint8_t* data, size_t size, std::vector<fusion::PointData>& points,
                    std::string& problem);

// Reads only the header and returns the vertex count; used to size the
// engine's per-frame limit before the frames are played.
bool parsePlyVertexCount(const uint8_t* data, size_t size, int64_t& count, std::string& problem);

// The whole file's bytes; `error` is "<path>: <problem>".
bool readWholeFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error);

// File forms of the above; `error` is "<path>: <problem>".
bool readPlyPoints(const std::string& path, std::vector<fusion::PointData>& points,
                   std::string& error);
bool readPlyVertexCount(const std::string& path, int64_t& count, std::string& error);

// The fused cloud as binary little-endian PLY, 37 bytes a vertex: x y z
// nx ny nz (float); quality (float), the grade 0-15 of the point's own scan
// level, as the preview colours it; scalar_quality_code (ushort), the four
// 4-bit grades; scalar_quality (uchar), the grade again;
// scalar_scan_level and scalar_protected (uchar); scalar_view_id (int).
// MeshLab shows "quality" as the vertex quality, CloudCompare every
// "scalar_" property as a scalar field.
std::vector<uint8_t> encodeFusedPly(const std::vector<fusion::Vertices>& vertices);
// `progress`, when given, hears the vertices written so far.
bool writeFusedPly(const std::string& path, const std::vector<fusion::Vertices>& vertices,
                   std::string& error,
                   const std::function<void(uint64_t, uint64_t)>& progress = {});

// Played frames as a directory of PLY files, one per frame (frame-0001.ply,
// frame-0002.ply, ...), which kelvane-fuse reads back as its input: x y z
// nx ny nz (float), scalar_scan_level and scalar_protected (uchar). Each
// file appears only when complete.
class PlyFrameWriter {
public:
    // Creates the directory when missing and tries a file in it. The frames
    // of an earlier recording there are removed; any other PLY file, which
    // a replay would mix in, makes it refuse the directory.
    bool open(const std::string& directory);
    // False once a file could not be written; later frames are not written.
    bool append(const fusion::PointData* points, int32_t count);
    // True when every frame was written.
    bool commit() const { return !m_failed; }
    const std::string& error() const { return m_error; }

private:
    std::string m_directory;
    std::string m_error;
    int m_frames = 0;
    bool m_failed = false;
};

std::vector<uint8_t> encodePlyFrame(const fusion::PointData* points, int32_t count);

// A whole file, read into a buffer sized once; `progress`, when given,
// hears the bytes read so far.
bool readFileWithProgress(const std::string& path, std::vector<uint8_t>& bytes, std::string& error,
                          const std::function<void(uint64_t, uint64_t)>& progress = {});

}  // namespace kelvane_fuse
