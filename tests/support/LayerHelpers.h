#pragma once

// Builders for hand-made volumes used by the normal, layer-merging and
// reorganisation tests: records placed whole at chosen voxels, with chosen
// positions, weights, levels, protection and host ids.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/HashTable.h"

namespace fusion_test {

// A stored record as frame intake would leave it once confirmed. The
// position is stored as given, even when it lies outside the voxel the
// record is placed in; tests use that to build cases a scan cannot reach.
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

// Places `record` into the voxel containing `at`; the voxel's facing side
// must still be empty. Gives the record a host id when asked. Returns the
// record index, or -1 when placement failed.
inline int32_t placeRecord(fusion::HashTable& engine, const float at[3],
                           const fusion::FusionPoint& record, bool give_view_id = true) {
    int32_t index = -1;
    fusion::FusionPoint* stored = nullptr;
    if (engine.addObservation(at, record.normal, record, index, stored) != 0 || stored == nullptr)
        return -1;
    // Placement may mark a sub-cell; keep the record exactly as built.
    *stored = record;
    if (give_view_id) stored->view_id = engine.getOrAllocateViewId(*stored);
    return index;
}

// Places a record at its own position.
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

inline bool isQuietNaN(float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof(bits));
    return bits == 0xFFC00000u;
}

// An update buffer of the stage's worst-case size, for calling merges the
// way the pipeline does.
struct UpdateSink {
    std::vector<fusion::Vertices> records;
    std::atomic<int32_t> count{0};
    explicit UpdateSink(std::size_t capacity = 64) : records(capacity) {}
    fusion::Vertices* data() { return records.data(); }
    std::vector<fusion::Vertices> written() const {
        return std::vector<fusion::Vertices>(records.begin(), records.begin() + count.load());
    }
};

inline float angleDegrees(const float a[3], const float b[3]) {
    const double dot = double(a[0]) * b[0] + double(a[1]) * b[1] + double(a[2]) * b[2];
    const double na = std::sqrt(double(a[0]) * a[0] + double(a[1]) * a[1] + double(a[2]) * a[2]);
    const double nb = std::sqrt(double(b[0]) * b[0] + double(b[1]) * b[1] + double(b[2]) * b[2]);
    double c = dot / (na * nb);
    if (c > 1.0) c = 1.0;
    if (c < -1.0) c = -1.0;
    return static_cast<float>(std::acos(c) * 180.0 / 3.14159265358979323846);
}

}  // namespace fusion_test
