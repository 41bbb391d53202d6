#pragma once

// Builders for the placement, extraction and update-drain tests.

#include <atomic>
#include <cstdint>
#include <memory>

#include "engine/HashTable.h"
#include "platform/platform.h"

namespace fusion_test {

// An engine whose point pool grows in chunks of 2^shift records, at most
// `max_chunks` of them, with update buffers of 3 * frame_points records.
inline std::unique_ptr<fusion::HashTable> makeSmallPoolEngine(float resolution, int32_t shift,
                                                              int32_t max_chunks,
                                                              int32_t frame_points = 60000) {
    fusion::GlobalParams p = fusion::defaultGlobalParams();
    p.chunk_point_shift = shift;
    p.chunk_point_num = 1 << shift;
    p.point_chunk_init = 1;
    p.point_chunk_max = max_chunks;
    p.voxel_chunk_init = 1;
    auto engine = std::make_unique<fusion::HashTable>();
    engine->m_init_params_override = std::make_unique<fusion::GlobalParams>(p);
    if (engine->init() != 0) return nullptr;
    fusion::DeviceInfo device{};
    device.point_spacing = 0.001f;
    device.frame_point_num = frame_points;
    engine->setResolution(resolution);
    engine->setDeviceInfo(device);
    return engine;
}

// The record frame intake prepares for one input point.
inline fusion::FusionPoint observation(float x, float y, float z, float nx, float ny, float nz,
                                       uint8_t level = 8, uint8_t protected_flag = 0,
                                       uint16_t count = 1) {
    fusion::FusionPoint p = fusion::defaultFusionPoint();
    p.position[0] = x; p.position[1] = y; p.position[2] = z;
    p.normal[0] = nx; p.normal[1] = ny; p.normal[2] = nz;
    p.scan_level = level;
    p.protected_flag = protected_flag;
    p.observation_count = count;
    return p;
}

inline int place(fusion::HashTable& engine, const fusion::FusionPoint& p, int32_t* index = nullptr,
                 fusion::FusionPoint** record = nullptr) {
    int32_t i = -1;
    fusion::FusionPoint* r = nullptr;
    const int result = engine.addObservation(p.position, p.normal, p, i, r);
    if (index) *index = i;
    if (record) *record = r;
    return result;
}

// An update buffer of the engine's capacity, freed unless a batch took it.
struct OwnedBuffer {
    fusion::Vertices* records = nullptr;
    std::atomic<int32_t> count{0};
    explicit OwnedBuffer(const fusion::HashTable& engine)
        : records(new fusion::Vertices[engine.updateBufferCapacity()]) {}
    ~OwnedBuffer() { delete[] records; }
};

// Clears the allocation-failure hook however a test ends.
struct AllocationFailures {
    explicit AllocationFailures(long successes) { fusion::platform::failAllocationsAfter(successes); }
    ~AllocationFailures() { fusion::platform::failAllocationsAfter(-1); }
};

}  // namespace fusion_test
