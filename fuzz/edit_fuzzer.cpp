// Fuzz target for the region edits.
//
// An input builds one of four small fused models (a doubled plane, a
// sphere, a two-sided plate, a box corner) on an emptied volume, optionally
// fuses three frames of it, and then applies up to sixteen operations:
// deletion, fine-scan marks, protection and its removal, building more
// points, the reorganisation pass, blocking and non-blocking frames, and a
// save and load. Selections are taken from the live points and then
// shifted, flipped, duplicated, relabelled or replaced by non-finite and
// out-of-range values; counts may be zero, the array null, or the selection
// repeated past the update batch so that deletion compacts the store.
//
// After every operation: updates well formed, extractions agreeing, ids
// unique and below the vertex count, voxel sides consistent. Per operation:
// an in-place deletion reports a removal for every live point it took and
// touches nothing else; a compacting one reports nothing (and may make
// records live that were not reported yet); marks never add,
// remove or move a live point and report nothing; a build keeps every old
// vertex; the reorganisation pass reports nothing.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "engine_checks.h"

namespace {

using fusion::HashTable;
using fusion::PointData;
using fusion::Vertices;
using fuzzcheck::check;
using fuzzcheck::Reader;

constexpr float kResolutions[] = {0.5f, 1.0f, 0.1f, 0.05f};
constexpr int kFrameLimits[] = {40, 400, 2000};
constexpr uint8_t kLevels[] = {8, 16, 32, 64, 1, 0, 3, 128};

PointData makePoint(float x, float y, float z, float nx, float ny, float nz) {
    PointData p{};
    p.position[0] = x;
    p.position[1] = y;
    p.position[2] = z;
    p.normal[0] = nx;
    p.normal[1] = ny;
    p.normal[2] = nz;
    p.attributes = 8;
    return p;
}

// The models, in units of the resolution so every resolution gives the same
// shape in voxels.
std::vector<PointData> model(int kind, float r) {
    std::vector<PointData> out;
    switch (kind % 4) {
        case 0:  // a plane seen twice at slightly different depths
            for (int i = 0; i < 16; ++i)
                for (int j = 0; j < 16; ++j)
                    for (float dz : {0.0f, 0.6f})
                        out.push_back(makePoint(r * (0.7f * i + 0.3f), r * (0.7f * j + 0.2f),
                                                r * (3.1f + dz), 0.05f, -0.02f, 1.0f));
            break;
        case 1: {  // a sphere
            const int n = 400;
            for (int i = 0; i < n; ++i) {
                const float z = 1.0f - 2.0f * (i + 0.5f) / n;
                const float s = std::sqrt(1.0f - z * z);
                const float phi = 2.39996323f * i;
                const float nx = s * std::cos(phi), ny = s * std::sin(phi);
                out.push_back(makePoint(r * (7.0f * nx + 2.2f), r * (7.0f * ny - 1.3f),
                                        r * (7.0f * z + 0.4f), nx, ny, z));
            }
            break;
        }
        case 2:  // a thin plate with both faces in the same voxels
            for (int i = 0; i < 14; ++i)
                for (int j = 0; j < 14; ++j) {
                    out.push_back(makePoint(r * (0.8f * i + 1.1f), r * (0.8f * j - 5.0f), r * 2.05f,
                                            0, 0, 1));
                    out.push_back(makePoint(r * (0.8f * i + 1.1f), r * (0.8f * j - 5.0f), r * 1.95f,
                                            0, 0, -1));
                }
            break;
        default:  // three faces of a box meeting at a corner
            for (int i = 0; i < 10; ++i)
                for (int j = 0; j < 10; ++j) {
                    const float a = r * (0.75f * i + 0.4f), b = r * (0.75f * j + 0.4f);
                    out.push_back(makePoint(r * 0.4f, a, b, -1, 0, 0));
                    out.push_back(makePoint(a, r * 0.4f, b, 0, -1, 0));
                    out.push_back(makePoint(a, b, r * 0.4f, 0, 0, -1));
                }
            break;
    }
    return out;
}

// The model shifted by a fraction of a voxel, as another frame would see it.
std::vector<PointData> jittered(const std::vector<PointData>& points, float r, int seed,
                                int limit) {
    std::vector<PointData> out;
    for (std::size_t i = 0; i < points.size() && static_cast<int>(out.size()) < limit - 1; ++i) {
        PointData p = points[i];
        const int h =
            static_cast<int>((i * 2654435761u + static_cast<unsigned>(seed) * 40503u) >> 7);
        for (int a = 0; a < 3; ++a)
            p.position[a] += r * (static_cast<float>((h >> (3 * a)) % 7) - 3.0f) / 20.0f;
        out.push_back(p);
    }
    return out;
}

std::vector<PointData> readSelection(Reader& in, const std::vector<Vertices>& live,
                                     const std::vector<PointData>& base, float r, int limit) {
    const int count = in.u16() % 600;
    std::vector<PointData> out;
    for (int i = 0; i < count && !in.empty(); ++i) {
        const uint8_t mode = in.u8() % 16;
        PointData p{};
        if (mode == 13 && !out.empty()) {
            out.push_back(out.back());
            continue;
        }
        if (!live.empty() && mode < 12) {
            const Vertices& v = live[in.u16() % live.size()];
            std::memcpy(p.position, v.position, 12);
            std::memcpy(p.normal, v.normal, 12);
            p.attributes = 8;
        } else if (!base.empty()) {
            p = base[in.u16() % base.size()];
        }
        switch (mode) {
            case 8:
                for (float& n : p.normal) n = -n;
                break;
            case 9:
                for (float& c : p.position) c += static_cast<float>(in.i8()) * r / 8.0f;
                break;
            case 10:
                p.position[in.u8() % 3] = fuzzcheck::extremeValue(in.u8(), r);
                break;
            case 11:
                p.normal[in.u8() % 3] = fuzzcheck::extremeValue(in.u8(), r);
                break;
            case 12:
            case 14:
                break;
            case 15:
                for (float& c : p.position) c = static_cast<float>(in.i8()) * r / 4.0f;
                break;
            default:
                break;
        }
        const uint8_t level = in.u8();
        p.attributes =
            static_cast<int32_t>(kLevels[level % 8] | ((level >> 3) % 3 == 2 ? 0x100u : 0u));
        out.push_back(p);
    }
    // Repeated past the update batch, a deletion must compact the store.
    if (in.flag() && !out.empty()) {
        const std::size_t first = out.size();
        while (static_cast<int>(out.size()) <= 3 * limit + 1)
            out.push_back(out[out.size() % first]);
    }
    return out;
}

std::map<int32_t, Vertices> byId(const std::vector<Vertices>& live) {
    std::map<int32_t, Vertices> out;
    for (const Vertices& v : live) out[v.view_id] = v;
    return out;
}

bool sameVertex(const Vertices& a, const Vertices& b) {
    return std::memcmp(a.position, b.position, 24) == 0 && a.view_id == b.view_id &&
           std::memcmp(&a.scan_level, &b.scan_level, 4) == 0;
}

bool sameGeometry(const Vertices& a, const Vertices& b) {
    return std::memcmp(a.position, b.position, 24) == 0 && a.view_id == b.view_id;
}

// A record at the origin or without a normal is never reported to the host
// (no update is written for it), so its removal is silent by design.
bool reportable(const Vertices& v) {
    const float eps = 1.1920929e-7f;
    auto small = [&](const float* c) {
        return std::fabs(c[0]) < eps && std::fabs(c[1]) < eps && std::fabs(c[2]) < eps;
    };
    return !small(v.position) && !small(v.normal);
}

void deleteChecked(HashTable& e, const std::vector<PointData>& selection, bool null_array) {
    const std::map<int32_t, Vertices> before = byId(fuzzcheck::liveChecked(e));
    const int count = static_cast<int>(selection.size());
    // The deletion's own rule: in place only when the free list can take
    // every selected record and the removals fit one update batch (three
    // times the frame limit).
    const fusion::PointPool& pool = e.volume().points();
    const int64_t spare = static_cast<int64_t>(pool.freeCapacity()) - pool.freeCount();
    const bool compacting = spare < count || count > 3 * e.volume().params().max_frame_point_num;
    const int status = e.deleteSelectedArea(null_array ? nullptr : selection.data(), count);
    const std::vector<Vertices> updates = fuzzcheck::drainChecked(e);
    const std::map<int32_t, Vertices> after = byId(fuzzcheck::liveChecked(e));
    if (null_array || count < 1) {
        check(status == 1, "an empty deletion was not refused");
        check(updates.empty() && after.size() == before.size(),
              "an empty deletion changed something");
        return;
    }
    check(status == 0, "a deletion failed");
    if (compacting) {
        // Compaction gives ids to every record it re-inserts, so records
        // that were not yet reported may join the live set.
        check(updates.empty(), "a compacting deletion reported updates");
        return;
    }
    check(after.size() <= before.size(), "a deletion added points");
    std::map<int32_t, Vertices> expected = before;
    for (const Vertices& v : updates) {
        check(v.state == 255, "a deletion reported something other than a removal");
        check(expected.erase(v.view_id) == 1, "a removal of a point the host did not have");
    }
    for (const auto& entry : expected) {
        const auto found = after.find(entry.first);
        if (found == after.end()) {
            check(!reportable(entry.second), "a point vanished without a removal");
            continue;
        }
        check(sameVertex(found->second, entry.second), "a deletion changed a kept point");
    }
    check(after.size() <= expected.size(), "a deletion left a removed point live");
}

void markChecked(HashTable& e, int kind, const std::vector<PointData>& selection, bool null_array) {
    const std::map<int32_t, Vertices> before = byId(fuzzcheck::liveChecked(e));
    const PointData* points = null_array ? nullptr : selection.data();
    const int count = static_cast<int>(selection.size());
    const int status =
        kind == 1 ? e.setFineScanArea(points, count) : e.setProtectedArea(points, count, kind == 3);
    check(status == ((points == nullptr || count < 1) ? 1 : 0), "a mark answered wrongly");
    check(fuzzcheck::drainChecked(e).empty(), "a mark reported updates");
    const std::map<int32_t, Vertices> after = byId(fuzzcheck::liveChecked(e));
    check(after.size() == before.size(), "a mark added or removed a point");
    for (const auto& entry : before) {
        const auto found = after.find(entry.first);
        check(found != after.end() && sameGeometry(found->second, entry.second),
              "a mark moved a point or changed its id");
    }
}

void buildChecked(HashTable& e, const std::vector<PointData>& points, bool null_array) {
    const std::map<int32_t, Vertices> before = byId(fuzzcheck::liveChecked(e));
    const int status = e.buildByExistingPoints(null_array ? nullptr : points.data(),
                                               static_cast<int>(points.size()));
    check(status == ((null_array || points.empty()) ? 1 : 0), "a build answered wrongly");
    check(fuzzcheck::drainChecked(e).empty(), "a build reported updates");
    const std::map<int32_t, Vertices> after = byId(fuzzcheck::liveChecked(e));
    for (const auto& entry : before) {
        check(after.count(entry.first) == 1, "a build lost an old vertex");
    }
}

void frameChecked(HashTable& e, std::vector<PointData> points, bool blocking) {
    if (points.empty()) return;
    double pose[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    const int count = static_cast<int>(points.size());
    check(e.process(points.data(), count, {{count / 2, count - count / 2}}, pose, blocking) == 0,
          "a frame failed");
    e.waitUntilIdle(std::chrono::milliseconds(0));
    fuzzcheck::drainChecked(e);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    HashTable& e = fuzzcheck::engine();
    Reader in(data, size);
    const float r = in.pick(kResolutions);
    const int model_kind = in.u8();
    const int limit = in.pick(kFrameLimits);
    const uint8_t setup = in.u8();
    fuzzcheck::restart(e, r, 0.001f, limit, true);

    const std::vector<PointData> base = model(model_kind, r);
    check(e.buildByExistingPoints(base.data(), static_cast<int>(base.size())) == 0, "model build");
    if (setup & 1) {
        for (int f = 0; f < 3; ++f) frameChecked(e, jittered(base, r, f, limit), f != 2);
    }
    fuzzcheck::drainChecked(e);

    for (int op = 0; op < 16 && !in.empty(); ++op) {
        const uint8_t kind = in.u8() % 9;
        const bool null_array = (in.u8() & 0x1F) == 0x1F;
        const std::vector<Vertices> live = fuzzcheck::liveChecked(e);
        switch (kind) {
            case 0:
                deleteChecked(e, readSelection(in, live, base, r, limit), null_array);
                break;
            case 1:
            case 2:
            case 3:
                markChecked(e, kind, readSelection(in, live, base, r, limit), null_array);
                break;
            case 4:
                buildChecked(e, readSelection(in, live, base, r, limit), null_array);
                break;
            case 5:
                e.dataOrganize();
                check(fuzzcheck::drainChecked(e).empty(),
                      "the reorganisation pass reported updates");
                break;
            case 6:
            case 7:
                frameChecked(e, jittered(base, r, in.u8(), limit), kind == 6);
                break;
            default:
                fuzzcheck::roundTripChecked(e);
                break;
        }
        fuzzcheck::liveChecked(e);
        fuzzcheck::volumeChecked(e);
    }
    return 0;
}
