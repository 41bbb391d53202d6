#pragma once

// Builders shared by the engine tests.

#include <memory>

#include "engine/HashTable.h"

namespace fusion_test {

// An initialised engine with the given resolution and a neutral device
// (type 0, spacing 0.001), so parameters are derived and fusion is on.
inline std::unique_ptr<fusion::HashTable> makeEngine(float resolution = 0.5f) {
    auto engine = std::make_unique<fusion::HashTable>();
    if (engine->init() != 0) return nullptr;
    fusion::DeviceInfo device{};
    device.point_spacing = 0.001f;
    engine->setResolution(resolution);
    engine->setDeviceInfo(device);
    return engine;
}

inline fusion::PointData makePoint(float x, float y, float z, float nx, float ny, float nz,
                                   int attributes = 8) {
    fusion::PointData p;
    p.position[0] = x; p.position[1] = y; p.position[2] = z;
    p.normal[0] = nx; p.normal[1] = ny; p.normal[2] = nz;
    p.attributes = attributes;
    return p;
}

}  // namespace fusion_test
