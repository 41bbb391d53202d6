#pragma once

// Shared by the frame and edit fuzz targets: a small engine kept for the
// whole run, a byte reader that turns exhausted input into zeros, and the
// properties every state of the engine must have. A violated property
// aborts with its name, which libFuzzer reports as a crash.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <set>
#include <vector>

#include "engine/HashTable.h"

namespace fuzzcheck {

using fusion::FusionPoint;
using fusion::HashTable;
using fusion::PointData;
using fusion::Vertices;

inline void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "property violated: %s\n", what);
        std::abort();
    }
}

// Reads the input front to back; past its end every read gives zero, so any
// prefix of an input is itself a complete input.
class Reader {
public:
    Reader(const uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool empty() const { return m_at >= m_size; }
    uint8_t u8() { return m_at < m_size ? m_data[m_at++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
    int8_t i8() { return static_cast<int8_t>(u8()); }
    int16_t i16() { return static_cast<int16_t>(u16()); }
    uint32_t u32() { return static_cast<uint32_t>(u16()) | (static_cast<uint32_t>(u16()) << 16); }
    bool flag() { return (u8() & 1) != 0; }
    template <class T, std::size_t N>
    T pick(const T (&choices)[N]) {
        return choices[u8() % N];
    }

private:
    const uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

// Values that input points carry to break things: non-finite, signed
// zeros, denormals, the edges of float, and coordinates at and beyond the
// range the voxel grid can address.
inline float extremeValue(uint8_t k, float resolution) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float table[] = {nan,
                           -nan,
                           inf,
                           -inf,
                           0.0f,
                           -0.0f,
                           1e-45f,
                           1.17549e-38f,
                           1e-7f,
                           1.1920929e-7f,
                           1e9f,
                           -1.2e9f,
                           3.4e38f,
                           -3.4e38f,
                           1e30f,
                           16777200.0f * resolution,
                           -16777300.0f * resolution,
                           2.5e5f};
    return table[k % (sizeof(table) / sizeof(table[0]))];
}

// A volume that fills in a few hundred blocks and a few thousand records,
// so that growth, chunk boundaries and the excess list are reached.
inline fusion::GlobalParams smallParams() {
    fusion::GlobalParams p = fusion::compactGlobalParams(10, 4, 9);
    p.voxel_chunk_max = 256;
    p.point_chunk_max = 64;
    return p;
}

// One engine for the whole run, kept initialised between inputs. Diagnostics
// go to standard output; libFuzzer reports on standard error, so standard
// output is silenced once.
inline HashTable& engine() {
    static HashTable* instance = [] {
        if (std::freopen("/dev/null", "w", stdout) == nullptr)
            std::fprintf(stderr, "stdout kept\n");
        auto* e = new HashTable();
        e->setInitParams(smallParams());
        check(e->init() == 0, "engine init");
        return e;
    }();
    return *instance;
}

// Starts an input from an empty volume with the given settings, so that
// every input replays the same way on its own.
inline void restart(HashTable& e, float resolution, float spacing, int frame_points, bool judge) {
    check(e.reset() == 0, "reset");
    check(e.volume().blocks().blockCount() == 0 && e.volume().points().nextIndex() == 0 &&
              e.volume().viewIds().next() == 0 && !e.updatesPending(),
          "reset left something behind");
    // The frame counter, and fusion once a coarse device switched it off,
    // go back to their start only through init (the small volume set by
    // setInitParams stays).
    if (e.frameCounter() != 0 || e.volume().params().fusion_enabled == 0) {
        check(e.deInit() == 0, "deInit");
        check(e.init() == 0, "engine init");
        check(e.frameCounter() == 0 && e.volume().params().fusion_enabled == 1,
              "init did not start afresh");
    }
    fusion::DeviceInfo device{};
    device.point_spacing = spacing;
    device.frame_point_num = frame_points;
    e.setResolution(resolution);
    e.setDeviceInfo(device);
    e.setQualityJudge(judge);
}

inline std::vector<Vertices> adopt(Vertices* array, int count) {
    std::vector<Vertices> out;
    if (array != nullptr && count > 0) out.assign(array, array + count);
    delete[] array;
    return out;
}

inline bool finite3(const float v[3]) {
    return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

inline bool removalWord(const Vertices& v) {
    uint32_t word;
    std::memcpy(&word, &v.scan_level, 4);
    return word == 8 && std::isnan(v.position[0]) && std::isnan(v.normal[2]);
}

// Every queued update, each well formed.
inline std::vector<Vertices> drainChecked(HashTable& e) {
    Vertices* array = nullptr;
    int count = 0;
    std::vector<Vertices> updates;
    if (e.getUpdateVertices(&array, count) == 0) updates = adopt(array, count);
    const int32_t ids = e.volume().viewIds().next();
    for (const Vertices& v : updates) {
        check(v.view_id >= 0 && v.view_id < ids, "an update names an id never handed out");
        if (v.state == 255) {
            check(removalWord(v), "a removal without NaN position and word 8");
        } else {
            check(v.state == 0 || v.state == 1, "an update with an unknown state");
            check(finite3(v.position), "an update at a non-finite position");
        }
    }
    return updates;
}

// The live cloud in both forms, which must agree record for record; ids
// unique and below the vertex count, positions finite.
inline std::vector<Vertices> liveChecked(HashTable& e) {
    Vertices* array = nullptr;
    int count = 0;
    check(e.extractLivePoints(&array, count) == 0, "vertex extraction failed");
    std::vector<Vertices> live = adopt(array, count);
    fusion::PointRawData raw{};
    check(e.extractLivePoints(raw) == 0, "raw extraction failed");
    check(raw.count == static_cast<int32_t>(live.size()), "the two extractions differ in size");
    std::set<int32_t> ids;
    const int32_t bound = e.volume().viewIds().next();
    for (std::size_t i = 0; i < live.size(); ++i) {
        const Vertices& v = live[i];
        check(v.state == 0, "an extracted vertex with a state");
        check(v.view_id >= 0 && v.view_id < bound, "a live id outside the vertex count");
        check(ids.insert(v.view_id).second, "two live vertices share an id");
        check(finite3(v.position), "a live vertex at a non-finite position");
        check(std::memcmp(raw.positions + 3 * i, v.position, 12) == 0 &&
                  std::memcmp(raw.normals + 3 * i, v.normal, 12) == 0 &&
                  std::memcmp(raw.attributes + i, &v.scan_level, 4) == 0,
              "the two extractions disagree");
    }
    delete[] raw.positions;
    delete[] raw.normals;
    delete[] raw.attributes;
    return live;
}

// Voxel sides name readable records, no record sits in two sides, every
// live record sits in one.
inline void volumeChecked(const HashTable& e) {
    const fusion::Volume& volume = e.volume();
    const fusion::GlobalParams& p = volume.params();
    const int32_t readable = volume.readablePointCount();
    std::vector<uint8_t> owners(static_cast<std::size_t>(readable > 0 ? readable : 0), 0);
    const int64_t capacity = volume.voxels().blockCapacity();
    const int64_t blocks = std::min<int64_t>(volume.blocks().blockCount(), capacity);
    for (int64_t b = 0; b < blocks; ++b) {
        for (int32_t local = 0; local < p.block_voxel_num; ++local) {
            const fusion::Voxel* v = volume.voxels().find(static_cast<int32_t>(b), local);
            check(v != nullptr, "an allocated block without voxels");
            for (int s = 0; s < 2; ++s) {
                const int32_t index = v->side(s);
                if (index == -1) continue;
                check(index >= 0 && index < readable, "a voxel side names no readable record");
                check(++owners[static_cast<std::size_t>(index)] == 1, "a record in two sides");
            }
        }
    }
    for (int32_t i = 0; i < readable; ++i) {
        const FusionPoint& r = *volume.pointAt(i);
        if (r.observation_count == 0 || r.view_id == -1 || r.absorbed_flag == 1) continue;
        check(owners[static_cast<std::size_t>(i)] == 1, "a live record in no voxel side");
    }
}

// Saves, checks the stream's framing, loads it back and checks the result:
// nothing gained, ids renumbered from 0.
inline void roundTripChecked(HashTable& e) {
    const std::size_t before = liveChecked(e).size();
    auto stream = std::shared_ptr<fusion::RealTimeByteStream>(
        new fusion::RealTimeByteStream{nullptr, 0}, [](fusion::RealTimeByteStream* s) {
            delete[] s->data;
            delete s;
        });
    check(e.saveRealTimeBytesData(stream) == 0, "save failed");
    check(stream->size >= 152 && (stream->size - 152) % 48 == 0, "saved size off the layout");
    check(std::memcmp(stream->data, "HASH", 4) == 0 &&
              std::memcmp(stream->data + stream->size - 4, "HASH", 4) == 0,
          "saved stream without its magic");
    Vertices* array = nullptr;
    int count = 0;
    check(e.loadRealTimeBytesData_points(stream, &array, count) == 0,
          "a saved stream did not load");
    const std::vector<Vertices> loaded = adopt(array, count);
    check(loaded.size() <= before, "loading gained points");
    check(e.volume().viewIds().next() == static_cast<int32_t>(loaded.size()),
          "ids after a load are not numbered from 0");
    check(drainChecked(e).empty(), "updates pending after a load");
}

}  // namespace fuzzcheck
