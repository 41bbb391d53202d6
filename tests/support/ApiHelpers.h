#pragma once

// Helpers for tests that drive the library through its public wrapper.

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fusion/Kelvane.h"

namespace fusion_test {

// The message the wrapper reports when its own half is `wrapper` and the
// engine's half is `engine`.
inline std::string composedMessage(const std::string& wrapper, const std::string& engine) {
    return "[interface] : " + wrapper + " | [impl] : " + engine;
}

// The engine's half of a composed message.
inline std::string engineHalf(const std::string& composed) {
    const std::string marker = " | [impl] : ";
    const std::size_t at = composed.find(marker);
    return at == std::string::npos ? std::string() : composed.substr(at + marker.size());
}

// The wrapper's half of a composed message.
inline std::string wrapperHalf(const std::string& composed) {
    const std::string head = "[interface] : ";
    const std::size_t end = composed.find(" | [impl] : ");
    if (composed.compare(0, head.size(), head) != 0 || end == std::string::npos) return {};
    return composed.substr(head.size(), end - head.size());
}

// Out-parameters preset to recognisable values, so a test can tell whether
// an operation wrote any of them.
struct SentinelOutputs {
    fusion::Vertices* vertices = reinterpret_cast<fusion::Vertices*>(0x1234);
    int vertex_count = -777;
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
        return vertices == fresh.vertices && vertex_count == fresh.vertex_count &&
               polygons == fresh.polygons && polygon_count == fresh.polygon_count &&
               bytes == fresh.bytes && std::memcmp(&mesh, &fresh.mesh, sizeof(mesh)) == 0 &&
               std::memcmp(&raw, &fresh.raw, sizeof(raw)) == 0;
    }
};

// `count` well separated points on a plane facing +z, one per voxel at any
// resolution up to 1.
inline std::vector<fusion::PointData> separatedPoints(int count, float spacing = 3.0f) {
    std::vector<fusion::PointData> points(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        fusion::PointData& p = points[static_cast<std::size_t>(i)];
        p.position[0] = spacing * static_cast<float>(i % 16) + 1.0f;
        p.position[1] = spacing * static_cast<float>(i / 16) + 1.0f;
        p.position[2] = 5.0f;
        p.normal[0] = 0.0f;
        p.normal[1] = 0.0f;
        p.normal[2] = 1.0f;
        p.attributes = 8;
    }
    return points;
}

}  // namespace fusion_test
