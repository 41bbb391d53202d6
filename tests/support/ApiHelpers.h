#pragma once

// Helpers for tests that drive the library through its public wrapper.

#include <cstring>
#include <string>
#include <vector>

#include "fusion/Kelvane.h"

namespace fusion_test {

inline std::string composedMessage(const std::string& wrapper, const std::string& engine) {
    return "[interface] : " + wrapper + " | [impl] : " + engine;
}

// The two halves of a composed message.
inline std::string wrapperHalf(const std::string& composed) {
    const std::size_t end = composed.find(" | [impl] : ");
    return end == std::string::npos ? std::string() : composed.substr(14, end - 14);
}
inline std::string engineHalf(const std::string& composed) {
    const std::size_t at = composed.find(" | [impl] : ");
    return at == std::string::npos ? std::string() : composed.substr(at + 12);
}

// Out-parameters preset to recognisable values, to tell whether an
// operation wrote any of them.
struct SentinelOutputs {
    fusion::Vertices* vertices = reinterpret_cast<fusion::Vertices*>(0x1234);
    int count = -777;
    fusion::PolygonMesh* polygons = reinterpret_cast<fusion::PolygonMesh*>(0x5678);
    int polygon_count = -888;
    unsigned long long bytes = 0xDEADBEEFull;
    fusion::MeshRawData mesh;
    fusion::PointRawData raw;

    SentinelOutputs() {
        std::memset(&mesh, 0xAB, sizeof(mesh));
        std::memset(&raw, 0xCD, sizeof(raw));
    }
    bool untouched() const {
        const SentinelOutputs fresh;
        return vertices == fresh.vertices && count == fresh.count && polygons == fresh.polygons &&
               polygon_count == fresh.polygon_count && bytes == fresh.bytes &&
               std::memcmp(&mesh, &fresh.mesh, sizeof(mesh)) == 0 &&
               std::memcmp(&raw, &fresh.raw, sizeof(raw)) == 0;
    }
};

// `count` points facing +z, `spacing` apart: one voxel each at resolution <= 1.
inline std::vector<fusion::PointData> separatedPoints(int count, float spacing = 3.0f) {
    std::vector<fusion::PointData> points(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        points[i] = {{spacing * (i % 16) + 1.0f, spacing * (i / 16) + 1.0f, 5.0f}, {0, 0, 1}, 8};
    }
    return points;
}

}  // namespace fusion_test
