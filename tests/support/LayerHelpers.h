#pragma once

// Builders for hand-made volumes used by the normal, layer-merging and
// reorganisation tests: records placed whole at chosen voxels, with chosen
// positions, weights, levels, protection and host ids.

#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/HashTable.h"

namespace fusion_test {

// A confirmed record. Its position is stored as given even when it lies
// outside the voxel it is placed in; tests use that to build cases a scan
// cannot reach.
inline fusion::FusionPoint recordTemplate(const float position[3], const float normal[3],
                                          uint16_t count = 1, uint8_t level = 8,
                                          uint8_t protected_flag = 0) {
    fusion::FusionPoint r = fusion::defaultFusionPoint();
    for (int k = 0; k < 3; ++k) {
        r.position[k] = position[k];
        r.normal[k] = normal[k];
    }
    r.observation_count = count;
    r.scan_level = level;
    r.protected_flag = protected_flag;
    r.confirmed_flag = 1;
    return r;
}

// Places `record` into the voxel containing `at` (its facing side must be
// empty), optionally with a host id. Returns the record index, or -1.
inline int32_t placeRecord(fusion::HashTable& engine, const float at[3],
                           const fusion::FusionPoint& record, bool give_view_id = true) {
    int32_t index = -1;
    fusion::FusionPoint* stored = nullptr;
    if (engine.addObservation(at, record.normal, record, index, stored) != 0 || !stored) return -1;
    *stored = record;  // placement may have marked a sub-cell
    if (give_view_id) stored->view_id = engine.getOrAllocateViewId(*stored);
    return index;
}

inline int32_t placeAt(fusion::HashTable& engine, float x, float y, float z, const float normal[3],
                       uint16_t count = 1, uint8_t level = 8, uint8_t protected_flag = 0,
                       bool give_view_id = true) {
    const float p[3] = {x, y, z};
    return placeRecord(engine, p, recordTemplate(p, normal, count, level, protected_flag),
                       give_view_id);
}

inline bool sameBytes(const fusion::FusionPoint& a, const fusion::FusionPoint& b) {
    return std::memcmp(&a, &b, sizeof(a)) == 0;
}

// An update buffer and count, as a pipeline stage hands them to merging.
struct UpdateSink {
    std::vector<fusion::Vertices> records;
    std::atomic<int32_t> count{0};
    explicit UpdateSink(std::size_t capacity = 64) : records(capacity) {}
    fusion::Vertices* data() { return records.data(); }
    std::vector<fusion::Vertices> written() const {
        return std::vector<fusion::Vertices>(records.begin(), records.begin() + count.load());
    }
};

}  // namespace fusion_test
