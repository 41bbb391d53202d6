#pragma once

// Reading scanner frames from PLY files and writing the fused cloud as PLY.
//
// Reading accepts ASCII and binary little-endian files. The vertex element
// must have float-convertible properties x y z nx ny nz (any order, any
// numeric type); every other property and element is skipped by its
// declared type. Optional vertex properties scan_level and protected fill
// the attribute word; without them a point gets scan level 8.

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

// The fused cloud as binary little-endian PLY: x y z nx ny nz (float),
// quality (ushort, the four 4-bit grades), scan_level and protected (uchar),
// view_id (int).
std::vector<uint8_t> encodeFusedPly(const std::vector<fusion::Vertices>& vertices);
// `progress`, when given, hears the vertices written so far.
bool writeFusedPly(const std::string& path, const std::vector<fusion::Vertices>& vertices,
                   std::string& error,
                   const std::function<void(uint64_t, uint64_t)>& progress = {});

// A whole file, read into a buffer sized once; `progress`, when given,
// hears the bytes read so far.
bool readFileWithProgress(const std::string& path, std::vector<uint8_t>& bytes, std::string& error,
                          const std::function<void(uint64_t, uint64_t)>& progress = {});

}  // namespace kelvane_fuse
