// Reading the whole fused cloud: the two extraction forms, the vertex id
// bound and the memory estimate. Extraction takes no lock; a frame being
// integrated meanwhile may show old and new values of a record.

#include "output/Extraction.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#include "fusion/kelvane_status.h"
#include "output/OrderedGather.h"
#include "platform/platform.h"
#include "volume/SharedFields.h"

namespace fusion {

namespace {

// A record the host knows as a vertex: it holds data and has a view id.
inline bool isLive(const FusionPoint& record) noexcept {
    return relaxedLoad(record.observation_count) != 0 && relaxedLoad(record.view_id) != -1;
}
// The Vertices form also leaves out absorbed records (which carry no count
// and no id anyway, so both forms give the same set).
inline bool isLiveVertex(const FusionPoint& record) noexcept {
    return isLive(record) && relaxedLoad(record.absorbed_flag) != 1;
}

}  // namespace

int extractLivePoints(const Volume& volume, PointRawData& out, int threads) {
    // Sized by every record in use, not by the live ones: the arrays'
    // length is part of what the host is promised. Only the pages of the
    // live points' entries are ever touched.
    const int32_t total = volume.readablePointCount();
    const std::size_t n = static_cast<std::size_t>(std::max<int32_t>(total, 0));
    float* positions = platform::tryNewArray<float>(3 * n);
    float* normals = positions ? platform::tryNewArray<float>(3 * n) : nullptr;
    uint32_t* attributes = normals ? platform::tryNewArray<uint32_t>(n) : nullptr;
    if (attributes == nullptr) {
        delete[] normals;
        delete[] positions;
        return 1;
    }

    OrderedGather gather(total);
    gather.count(volume, threads, isLive);
    const int64_t count = gather.write(
        volume, threads, isLive,
        [&](const FusionPoint& shared, int64_t slot) {
            const FusionPoint record = relaxedCopy(shared);
            std::memcpy(positions + 3 * slot, record.position, sizeof(record.position));
            std::memcpy(normals + 3 * slot, record.normal, sizeof(record.normal));
            attributes[slot] = attributeWord(record);
        },
        [&](int64_t to, int64_t from, int64_t n_moved) {
            const std::size_t k = static_cast<std::size_t>(n_moved);
            std::memmove(positions + 3 * to, positions + 3 * from, 3 * k * sizeof(float));
            std::memmove(normals + 3 * to, normals + 3 * from, 3 * k * sizeof(float));
            std::memmove(attributes + to, attributes + from, k * sizeof(uint32_t));
        });
    out.positions = positions;
    out.normals = normals;
    out.attributes = attributes;
    out.count = static_cast<int>(count);
    out.resolution = volume.resolution();
    return 0;
}

Outcome extractLiveVertices(const Volume& volume, Vertices** out, int& count, int threads) {
    if (out == nullptr) return Outcome::failed(1);
    // Counted first, so the result is allocated once at its exact size and
    // written once: no working list to grow and copy, and no pages touched
    // beyond the result's own.
    OrderedGather gather(volume.readablePointCount());
    const int64_t live = gather.count(volume, threads, isLiveVertex);
    if (live > std::numeric_limits<int>::max()) return Outcome::failed(1);
    count = static_cast<int>(live);
    Vertices* array = platform::tryNewArray<Vertices>(static_cast<std::size_t>(live));
    *out = array;
    if (array == nullptr) return Outcome::failed(1, KELVANE_MSG_NO_MEMORY);
    const int64_t written = gather.write(
        volume, threads, isLiveVertex,
        [array](const FusionPoint& shared, int64_t slot) {
            const FusionPoint record = relaxedCopy(shared);
            Vertices& v = array[slot];
            std::memcpy(v.position, record.position, sizeof(v.position));
            std::memcpy(v.normal, record.normal, sizeof(v.normal));
            v.view_id = record.view_id;
            v.state = 0;
            std::memset(v.reserved, 0, sizeof(v.reserved));
            v.scan_level = record.scan_level;
            v.protected_flag = record.protected_flag;
            v.quality_code = record.quality_code;
        },
        [array](int64_t to, int64_t from, int64_t n) {
            std::memmove(array + to, array + from, static_cast<std::size_t>(n) * sizeof(Vertices));
        });
    // Records that stopped being live between the passes (a frame's second
    // stage running meanwhile) leave the tail of the array unused.
    count = static_cast<int>(written);
    return Outcome::done();
}

unsigned long long requiredExtractionBytes(const Volume& volume) {
    const int32_t next = volume.points().nextIndex();
    const unsigned long long n = next > 0 ? static_cast<unsigned long long>(next) : 0ull;
    // The larger of the records themselves and a snapshot of them, plus a
    // fixed gigabyte of headroom.
    const unsigned long long records = 56ull * n;
    const unsigned long long snapshot = 48ull * n + 152ull;
    return std::max(records, snapshot) + (1ull << 30);
}

}  // namespace fusion
