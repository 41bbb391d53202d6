// Reading the whole fused cloud: the two extraction forms, the vertex id
// bound and the memory estimate. Extraction takes no lock; a frame being
// integrated meanwhile may show old and new values of a record.

#include "output/Extraction.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "platform/platform.h"
#include "volume/SharedFields.h"

namespace fusion {

namespace {

// A record the host knows as a vertex: it holds data and has a view id.
inline bool isLive(const FusionPoint& record) noexcept {
    return record.observation_count != 0 && record.view_id != -1;
}

}  // namespace

int extractLivePoints(const Volume& volume, PointRawData& out) {
    // Sized by every record in use, not by the live ones, so one pass fills
    // them without counting first.
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

    int32_t count = 0;
    for (int32_t i = 0; i < total; ++i) {
        const FusionPoint record = relaxedCopy(*volume.pointAt(i));
        if (!isLive(record)) continue;
        std::memcpy(positions + 3 * count, record.position, sizeof(record.position));
        std::memcpy(normals + 3 * count, record.normal, sizeof(record.normal));
        attributes[count] = attributeWord(record);
        ++count;
    }
    out.positions = positions;
    out.normals = normals;
    out.attributes = attributes;
    out.count = count;
    out.resolution = volume.resolution();
    return 0;
}

Outcome extractLiveVertices(const Volume& volume, Vertices** out, int& count) {
    if (out == nullptr) return Outcome::failed(1);
    const int32_t total = volume.readablePointCount();
    // The working list grows by half through the library's guarded
    // allocation, so a lack of memory anywhere ends the call with a status.
    std::unique_ptr<Vertices[]> list;
    std::size_t size = 0;
    std::size_t capacity = 0;
    for (int32_t i = 0; i < total; ++i) {
        const FusionPoint record = relaxedCopy(*volume.pointAt(i));
        if (!isLive(record) || record.absorbed_flag == 1) continue;
        if (size == capacity) {
            const std::size_t grown = capacity + std::max<std::size_t>(capacity / 2, 1);
            Vertices* bigger = platform::tryNewArray<Vertices>(grown);
            if (bigger == nullptr) return Outcome::failed(1);  // the working list could not grow
            if (size != 0) std::memcpy(bigger, list.get(), size * sizeof(Vertices));
            list.reset(bigger);
            capacity = grown;
        }
        Vertices& v = list[size++];
        std::memcpy(v.position, record.position, sizeof(v.position));
        std::memcpy(v.normal, record.normal, sizeof(v.normal));
        v.view_id = record.view_id;
        v.state = 0;
        v.scan_level = record.scan_level;
        v.protected_flag = record.protected_flag;
        v.quality_code = record.quality_code;
    }

    count = static_cast<int>(size);
    Vertices* array = platform::tryNewArray<Vertices>(size);
    *out = array;
    if (array == nullptr) return Outcome::failed(1, "memory is lacked!");
    if (size != 0) std::memcpy(array, list.get(), size * sizeof(Vertices));
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
