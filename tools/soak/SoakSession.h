#pragma once

// A randomized, seeded session of host operations against the public
// interface, checking after every step what a host relies on:
//   - live view ids are unique and below getVertexNum;
//   - every update record is well formed, and blocking frames, marks, the
//     reorganisation pass and compacting deletions report none;
//   - a table kept from update records alone matches the extraction after
//     non-blocking frames that finished one at a time (same ids, positions
//     within one voxel edge) and after in-place deletions; after blocking
//     frames, loads, compactions, builds and marks the host re-reads;
//   - both extraction forms agree record for record;
//   - a snapshot taken at any point loads, in a second engine, back to the
//     same live records, field for field including observation counts,
//     except where two records of one voxel face each other by the time of
//     the save and fuse on re-insertion;
//   - an in-place deletion removes the selected unprotected points (or,
//     where two records of a voxel face each other, the one the lookup
//     meets first), a compacting one keeps every other point.
// The same seed replays the same session. Used by the test suite (a few
// hundred operations) and by the long-running soak tool.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "fusion/Kelvane.h"
#include "sim/Simulator.h"

namespace kelvane_soak {

struct SoakOptions {
    uint32_t seed = 1;
    int operations = 300;
    float resolution = 0.5f;
    // Rays per frame and object size: at the default resolution a frame
    // holds one to two thousand points spaced finer than a voxel.
    int rows = 40;
    int columns = 50;
    float object_size = 16.0f;
    // The device's per-frame limit; small, so that a selection repeated a
    // few times outgrows the deletion's update batch and compacts the store.
    int frame_point_limit = 3000;
    // Every this many steps the current state also makes the snapshot round
    // trip, whatever the step was.
    int snapshot_every = 10;
};

struct SoakReport {
    int operations = 0;
    std::map<std::string, int> kinds;  // steps per operation kind
    long points_in = 0;                // points handed in by frames and builds
    std::size_t peak_live = 0;
    int snapshots_checked = 0;
    int fused_on_reload = 0;       // records that met another on re-insertion
    int selected_not_removed = 0;  // selected records a deletion did not take
    int taken_instead = 0;         // their facing voxel neighbours it took instead
    std::string failure;           // empty when every check held
    int failed_step = -1;
    std::string failed_kind;
};

namespace detail {

using fusion::PointData;
using fusion::Vertices;

inline uint32_t wordOf(const Vertices& v) {
    uint32_t w;
    std::memcpy(&w, &v.scan_level, 4);
    return w;
}

// Voxel coordinates of a position, by the engine's rounding rule.
inline std::tuple<int, int, int> voxelKey(const float p[3], float r) {
    int c[3];
    for (int a = 0; a < 3; ++a) {
        const double v = p[a] / r;
        c[a] = static_cast<int>(0 > v ? std::trunc(v - 0.49999988079071045) : std::trunc(v + 0.5));
    }
    return {c[0], c[1], c[2]};
}

// Every written field alike (the three reserved bytes are never written).
inline bool sameVertex(const Vertices& a, const Vertices& b) {
    return std::memcmp(a.position, b.position, 24) == 0 && a.view_id == b.view_id &&
           a.state == b.state && wordOf(a) == wordOf(b);
}

inline float dot(const float a[3], const float b[3]) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// One stored point as a comparable value: position, normal, and whatever
// else the caller can see of it (attribute word; for stream records also
// the mask, count, normal updates, absorbed flag and frame stamp).
struct Entry {
    float position[3];
    float normal[3];
    std::vector<uint32_t> fields;
    std::string key() const {
        std::string k(reinterpret_cast<const char*>(position), 24);
        k.append(reinterpret_cast<const char*>(fields.data()), fields.size() * 4);
        return k;
    }
};

inline Entry entryOf(const Vertices& v) {
    Entry e;
    std::memcpy(e.position, v.position, 12);
    std::memcpy(e.normal, v.normal, 12);
    e.fields = {wordOf(v)};
    return e;
}

// The live records of a saved stream: count above 0 and not absorbed.
inline std::vector<Entry> streamEntries(const fusion::RealTimeByteStream& s) {
    std::vector<Entry> out;
    if (s.data == nullptr || s.size < 152) return out;
    const std::size_t n = (s.size - 152) / 48;
    for (std::size_t i = 0; i < n; ++i) {
        const uint8_t* r = s.data + 148 + 48 * i;
        uint16_t count;
        std::memcpy(&count, r + 32, 2);
        if (count == 0 || r[41] != 0) continue;
        Entry e;
        std::memcpy(e.position, r, 12);
        std::memcpy(e.normal, r + 12, 12);
        uint32_t mask_lo, mask_hi, word, stamp;
        std::memcpy(&mask_lo, r + 24, 4);
        std::memcpy(&mask_hi, r + 28, 4);
        std::memcpy(&word, r + 36, 4);
        std::memcpy(&stamp, r + 44, 4);
        e.fields = {mask_lo, mask_hi, count, word, r[40], stamp};
        out.push_back(e);
    }
    return out;
}

inline std::string describe(const Entry& e) {
    std::ostringstream m;
    m << "[(" << e.position[0] << " " << e.position[1] << " " << e.position[2] << ") n("
      << e.normal[0] << " " << e.normal[1] << " " << e.normal[2] << ")";
    for (uint32_t f : e.fields) m << " " << f;
    m << "]";
    return m.str();
}

struct SetDifference {
    std::string problem;  // empty when the sets agree up to fused pairs
    int fused = 0;        // expected entries explained by a meeting in their voxel
};

// Compares two sets of stored points. Entries must match exactly, except
// that an expected entry may be missing when an actual entry in its voxel
// faces it (the two met on re-insertion and one took the other in). With
// `extras`, actual entries beyond the expected ones are allowed; without,
// an unmatched actual entry must be such a meeting's survivor, in a voxel
// that lost entries.
inline SetDifference compareSets(const std::vector<Entry>& expected,
                                 const std::vector<Entry>& actual, float resolution, bool extras) {
    SetDifference d;
    std::multimap<std::string, const Entry*> pool;
    for (const Entry& a : actual) pool.emplace(a.key(), &a);
    std::map<std::tuple<int, int, int>, std::vector<const Entry*>> unmatched_expected;
    for (const Entry& e : expected) {
        const auto found = pool.find(e.key());
        if (found != pool.end()) {
            pool.erase(found);
            continue;
        }
        unmatched_expected[voxelKey(e.position, resolution)].push_back(&e);
    }
    std::map<std::tuple<int, int, int>, std::vector<const Entry*>> in_voxel;
    for (const Entry& a : actual) in_voxel[voxelKey(a.position, resolution)].push_back(&a);
    std::map<std::tuple<int, int, int>, int> expected_in_voxel;
    for (const Entry& e : expected) ++expected_in_voxel[voxelKey(e.position, resolution)];

    for (const auto& group : unmatched_expected) {
        const auto here = in_voxel.find(group.first);
        for (const Entry* e : group.second) {
            bool met = false;
            if (here != in_voxel.end()) {
                for (const Entry* a : here->second) met |= dot(a->normal, e->normal) > 0.0f;
            }
            if (!met) {
                std::ostringstream m;
                m << "a point at (" << e->position[0] << ", " << e->position[1] << ", "
                  << e->position[2] << ") is missing; its voxel held";
                for (const Entry& x : expected)
                    if (voxelKey(x.position, resolution) == group.first) m << " " << describe(x);
                m << " and now holds";
                if (here != in_voxel.end())
                    for (const Entry* a : here->second) m << " " << describe(*a);
                d.problem = m.str();
                return d;
            }
            ++d.fused;
        }
    }
    if (extras) return d;
    for (const auto& left : pool) {
        const Entry* a = left.second;
        const auto key = voxelKey(a->position, resolution);
        const std::size_t now = in_voxel[key].size();
        if (unmatched_expected.count(key) == 0 ||
            now >= static_cast<std::size_t>(expected_in_voxel[key])) {
            std::ostringstream m;
            m << "an unexpected point at (" << a->position[0] << ", " << a->position[1] << ", "
              << a->position[2] << ")";
            d.problem = m.str();
            return d;
        }
    }
    return d;
}

}  // namespace detail

class SoakSession {
public:
    explicit SoakSession(const SoakOptions& options)
        : m_options(options), m_rng(options.seed), m_resolution(options.resolution) {}

    SoakReport run() {
        m_engine = std::make_unique<fusion::Kelvane_Impl_Points>();
        m_checker = std::make_unique<fusion::Kelvane_Impl_Points>();
        if (!start(*m_engine) || !start(*m_checker)) return m_report;
        newObject();
        for (int step = 0; step < m_options.operations && m_report.failure.empty(); ++step) {
            const std::string kind = pickKind();
            m_kind = kind;
            ++m_report.kinds[kind];
            runStep(kind);
            if (m_report.failure.empty()) checkCommon();
            if (m_report.failure.empty() && m_options.snapshot_every > 0 &&
                step % m_options.snapshot_every == m_options.snapshot_every - 1) {
                checkSnapshot();
            }
            if (!m_report.failure.empty()) {
                m_report.failed_step = step;
                m_report.failed_kind = kind;
            }
            ++m_report.operations;
        }
        return m_report;
    }

private:
    using PointData = fusion::PointData;
    using Vertices = fusion::Vertices;

    bool fail(const std::string& what) {
        if (m_report.failure.empty()) m_report.failure = what;
        return false;
    }

    bool start(fusion::Kelvane_Impl_Points& e) {
        if (e.init() != 0) return fail("init failed: " + e.getLastErrorMessage());
        fusion::DeviceInfo device{};
        device.point_spacing = 0.001f;
        device.frame_point_num = m_options.frame_point_limit;
        e.setResolution(m_resolution);
        e.setDeviceInfo(device);
        return true;
    }

    int uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(m_rng); }
    bool chance(double p) { return std::uniform_real_distribution<double>(0.0, 1.0)(m_rng) < p; }

    // A new object to scan, with its own sweep.
    void newObject() {
        const kelvane_sim::Shape shapes[] = {kelvane_sim::Shape::Sphere, kelvane_sim::Shape::Box,
                                             kelvane_sim::Shape::Torus, kelvane_sim::Shape::Bumpy,
                                             kelvane_sim::Shape::Plate};
        m_sweep = kelvane_sim::SweepOptions{};
        m_sweep.shape = shapes[uniform(0, 4)];
        m_sweep.frames = 40;
        m_sweep.rows = m_options.rows;
        m_sweep.columns = m_options.columns;
        m_sweep.object_size = m_options.object_size;
        m_sweep.seed = static_cast<uint32_t>(uniform(1, 1 << 30));
        m_sweep.scan_level = chance(0.2) ? 16 : 8;
        m_frame_index = 0;
    }

    kelvane_sim::Frame nextFrame() {
        kelvane_sim::Frame frame;
        // Mostly onward along the sweep, sometimes back over seen surface.
        if (chance(0.15)) m_frame_index = uniform(0, m_sweep.frames - 1);
        kelvane_sim::Scanner(m_sweep).frameAt(m_frame_index, frame);
        m_frame_index = (m_frame_index + 1) % m_sweep.frames;
        const int limit = m_options.frame_point_limit - 1;
        if (static_cast<int>(frame.points.size()) > limit)
            frame.points.resize(static_cast<std::size_t>(limit));
        if (chance(0.1)) {
            // Bad points among good ones: rejected one by one, the frame goes on.
            const float nan = std::nanf("");
            for (int k = 0; k < 3 && !frame.points.empty(); ++k) {
                PointData& p = frame.points[static_cast<std::size_t>(
                    uniform(0, static_cast<int>(frame.points.size()) - 1))];
                p.position[uniform(0, 2)] = k == 0 ? nan : (k == 1 ? INFINITY : 3.0e38f);
            }
        }
        if (chance(0.1)) frame.views.push_back({uniform(1, 5000)});  // runs past the frame's end
        return frame;
    }

    std::vector<Vertices> extract(fusion::Kelvane_Impl_Points& e) {
        Vertices* array = nullptr;
        int count = 0;
        std::vector<Vertices> out;
        if (e.extractLivePoints(&array, count) != 0) {
            fail("extraction failed: " + e.getLastErrorMessage());
            return out;
        }
        if (array != nullptr && count > 0) out.assign(array, array + count);
        delete[] array;
        return out;
    }

    // Every pending update, each checked on its own.
    std::vector<Vertices> drain() {
        Vertices* array = nullptr;
        int count = -1;
        std::vector<Vertices> out;
        if (m_engine->getUpdateVertices(&array, count) != 0) {
            fail("drain failed");
            return out;
        }
        if (count < 0) return out;  // nothing was pending: count untouched
        if (array != nullptr) out.assign(array, array + count);
        delete[] array;
        int vertex_num = 0;
        m_engine->getVertexNum(vertex_num);
        for (const Vertices& v : out) {
            if (v.view_id < 0 || v.view_id >= vertex_num)
                fail("an update names an id never handed out");
            if (v.state == 255) {
                if (!std::isnan(v.position[0]) || !std::isnan(v.normal[0]) ||
                    detail::wordOf(v) != 8)
                    fail("a removal record without NaN and word 8");
            } else if (v.state != 0 && v.state != 1) {
                fail("an update with an unknown state");
            }
        }
        return out;
    }

    void applyToMirror(const std::vector<Vertices>& updates) {
        for (const Vertices& v : updates) {
            if (v.state == 255)
                m_mirror.erase(v.view_id);
            else
                m_mirror[v.view_id] = v;
        }
    }

    void reread(const std::vector<Vertices>& live) {
        m_mirror.clear();
        for (const Vertices& v : live) m_mirror[v.view_id] = v;
    }

    // The mirror holds exactly the live ids, each within a voxel edge of
    // where the extraction has it.
    void checkMirror(const char* when) {
        const std::vector<Vertices> live = extract(*m_engine);
        std::set<int32_t> ids;
        for (const Vertices& v : live) {
            ids.insert(v.view_id);
            const auto found = m_mirror.find(v.view_id);
            if (found == m_mirror.end()) {
                fail(std::string("the host lacks a live point ") + when);
                return;
            }
            for (int k = 0; k < 3; ++k) {
                if (!(std::fabs(found->second.position[k] - v.position[k]) < m_resolution)) {
                    fail(std::string("the host holds a point a voxel away ") + when);
                    return;
                }
            }
        }
        for (const auto& entry : m_mirror) {
            if (ids.count(entry.first) == 0) {
                fail(std::string("the host holds a point that is gone ") + when);
                return;
            }
        }
    }

    void expectNoUpdates(const char* what) {
        if (!drain().empty()) fail(std::string(what) + " reported updates");
    }

    // ---- the operations -------------------------------------------------------

    std::string pickKind() {
        static const std::pair<const char*, int> kinds[] = {{"frame", 30},
                                                            {"blocking frame", 8},
                                                            {"streamed frames", 3},
                                                            {"extract", 4},
                                                            {"save and load", 4},
                                                            {"delete", 7},
                                                            {"delete compacting", 2},
                                                            {"fine-scan", 3},
                                                            {"protect", 3},
                                                            {"unprotect", 1},
                                                            {"build", 3},
                                                            {"organize", 2},
                                                            {"reset", 1},
                                                            {"reinit", 1}};
        int total = 0;
        for (const auto& k : kinds) total += k.second;
        int roll = uniform(0, total - 1);
        for (const auto& k : kinds) {
            if (roll < k.second) return k.first;
            roll -= k.second;
        }
        return "frame";
    }

    void runStep(const std::string& kind) {
        if (kind == "frame") return frame(false);
        if (kind == "blocking frame") return frame(true);
        if (kind == "streamed frames") return streamed();
        if (kind == "extract") return extractBoth();
        if (kind == "save and load") return saveAndLoad();
        if (kind == "delete") return remove(false);
        if (kind == "delete compacting") return remove(true);
        if (kind == "fine-scan" || kind == "protect" || kind == "unprotect") return mark(kind);
        if (kind == "build") return build();
        if (kind == "organize") return organize();
        if (kind == "reset") return clear(false);
        return clear(true);
    }

    void frame(bool blocking) {
        kelvane_sim::Frame f = nextFrame();
        const int count = static_cast<int>(f.points.size());
        if (count < 1) return;
        m_report.points_in += count;
        if (m_engine->process(f.points.data(), count, f.views, f.pose, blocking) != 0) {
            fail("a frame failed: " + m_engine->getLastErrorMessage());
            return;
        }
        m_engine->waitForPendingWork();
        const std::vector<Vertices> updates = drain();
        if (blocking) {
            if (!updates.empty()) fail("a blocking frame reported updates");
            reread(extract(*m_engine));
            return;
        }
        applyToMirror(updates);
        checkMirror("after a frame");
    }

    // Frames one after the other without waiting: stages overlap, which the
    // host may see as reordered reports, so it re-reads afterwards.
    void streamed() {
        const int frames = uniform(2, 6);
        for (int i = 0; i < frames; ++i) {
            kelvane_sim::Frame f = nextFrame();
            const int count = static_cast<int>(f.points.size());
            if (count < 1) continue;
            m_report.points_in += count;
            if (m_engine->process(f.points.data(), count, f.views, f.pose, false) != 0) {
                fail("a streamed frame failed");
                return;
            }
            drain();
        }
        m_engine->waitForPendingWork();
        drain();
        reread(extract(*m_engine));
    }

    void extractBoth() {
        const std::vector<Vertices> live = extract(*m_engine);
        fusion::PointRawData raw{};
        if (m_engine->extractLivePoints(raw) != 0) {
            fail("raw extraction failed");
            return;
        }
        if (raw.count != static_cast<int32_t>(live.size()))
            fail("the two extractions differ in size");
        if (raw.resolution != m_resolution) fail("the raw extraction carries another resolution");
        for (std::size_t i = 0; i < live.size() && m_report.failure.empty(); ++i) {
            const uint32_t word = detail::wordOf(live[i]);
            if (std::memcmp(raw.positions + 3 * i, live[i].position, 12) != 0 ||
                std::memcmp(raw.normals + 3 * i, live[i].normal, 12) != 0 ||
                raw.attributes[i] != word)
                fail("the two extractions disagree");
        }
        delete[] raw.positions;
        delete[] raw.normals;
        delete[] raw.attributes;
    }

    static std::shared_ptr<fusion::RealTimeByteStream> newStream() {
        return std::shared_ptr<fusion::RealTimeByteStream>(
            new fusion::RealTimeByteStream{nullptr, 0}, [](fusion::RealTimeByteStream* s) {
                delete[] s->data;
                delete s;
            });
    }

    // Saves the current state, loads it into the second engine, saves that
    // again and compares both streams' live records, and the first stream's
    // with the extraction.
    void checkSnapshot() {
        ++m_report.snapshots_checked;
        const std::vector<Vertices> live = extract(*m_engine);
        auto first = newStream();
        if (m_engine->saveRealTimeBytesData(first) != 0) {
            fail("save failed: " + m_engine->getLastErrorMessage());
            return;
        }
        const std::vector<detail::Entry> saved = detail::streamEntries(*first);
        std::vector<detail::Entry> extracted;
        for (const Vertices& v : live) extracted.push_back(detail::entryOf(v));
        std::vector<detail::Entry> saved_short;
        for (const detail::Entry& e : saved) {
            detail::Entry s = e;
            s.fields = {e.fields[3]};
            saved_short.push_back(s);
        }
        const detail::SetDifference exact =
            detail::compareSets(extracted, saved_short, m_resolution, false);
        if (!exact.problem.empty() || exact.fused != 0 || saved.size() != live.size()) {
            fail("a saved stream differs from the extraction: " + exact.problem);
            return;
        }
        Vertices* array = nullptr;
        int count = 0;
        if (m_checker->loadRealTimeBytesData_points(first, &array, count) != 0) {
            fail("a saved stream did not load: " + m_checker->getLastErrorMessage());
            return;
        }
        std::vector<Vertices> loaded;
        if (array != nullptr && count > 0) loaded.assign(array, array + count);
        delete[] array;
        int vertex_num = -1;
        m_checker->getVertexNum(vertex_num);
        if (vertex_num != count) fail("ids after a load are not numbered afresh");
        checkIds(loaded, vertex_num, "after a load");
        auto second = newStream();
        if (m_checker->saveRealTimeBytesData(second) != 0) {
            fail("saving a loaded state failed");
            return;
        }
        const detail::SetDifference d =
            detail::compareSets(saved, detail::streamEntries(*second), m_resolution, false);
        if (!d.problem.empty()) fail("a snapshot did not load back: " + d.problem);
        m_report.fused_on_reload += d.fused;
    }

    void saveAndLoad() {
        checkSnapshot();
        if (!m_report.failure.empty() || !chance(0.5)) return;
        // Load back into the engine itself: the host re-reads from the answer.
        auto stream = newStream();
        if (m_engine->saveRealTimeBytesData(stream) != 0) {
            fail("save failed");
            return;
        }
        Vertices* array = nullptr;
        int count = 0;
        if (m_engine->loadRealTimeBytesData_points(stream, &array, count) != 0) {
            fail("reloading the engine's own stream failed");
            return;
        }
        std::vector<Vertices> loaded;
        if (array != nullptr && count > 0) loaded.assign(array, array + count);
        delete[] array;
        expectNoUpdates("a load");
        reread(loaded);
        checkMirror("after a load");
    }

    // The live points within a few voxels of a random live point.
    std::vector<Vertices> cluster(const std::vector<Vertices>& live) {
        std::vector<Vertices> out;
        if (live.empty()) return out;
        const Vertices& centre =
            live[static_cast<std::size_t>(uniform(0, static_cast<int>(live.size()) - 1))];
        const float radius = m_resolution * static_cast<float>(uniform(1, 6));
        for (const Vertices& v : live) {
            float d2 = 0;
            for (int k = 0; k < 3; ++k)
                d2 += (v.position[k] - centre.position[k]) * (v.position[k] - centre.position[k]);
            if (d2 <= radius * radius) out.push_back(v);
        }
        return out;
    }

    static std::vector<PointData> selectionOf(const std::vector<Vertices>& vertices,
                                              int attributes) {
        std::vector<PointData> out;
        for (const Vertices& v : vertices) {
            PointData p;
            std::memcpy(p.position, v.position, 12);
            std::memcpy(p.normal, v.normal, 12);
            p.attributes = attributes;
            out.push_back(p);
        }
        return out;
    }

    void remove(bool compacting) {
        const std::vector<Vertices> before = extract(*m_engine);
        const std::vector<Vertices> chosen = cluster(before);
        if (chosen.empty()) return;
        std::vector<PointData> selection = selectionOf(chosen, 8);
        if (compacting) {
            // Repeated past the update batch (3 * the frame limit).
            const std::size_t first = selection.size();
            while (selection.size() <=
                   static_cast<std::size_t>(3 * m_options.frame_point_limit) + 1)
                selection.push_back(selection[selection.size() % first]);
        }
        if (m_engine->deleteSelectedArea(selection.data(), static_cast<int>(selection.size())) !=
            0) {
            fail("a deletion failed: " + m_engine->getLastErrorMessage());
            return;
        }
        std::set<int32_t> selected;
        std::vector<detail::Entry> kept;
        for (const Vertices& v : chosen)
            if (v.protected_flag != 1) selected.insert(v.view_id);
        const std::vector<Vertices> updates = drain();
        const std::vector<Vertices> after = extract(*m_engine);
        // A selected point finds the first record of its voxel that faces
        // it; when the voxel's two records have come to face each other,
        // that may be the other one.
        std::unordered_map<int32_t, const Vertices*> by_id;
        for (const Vertices& v : before) by_id[v.view_id] = &v;
        auto takenInstead = [&](int32_t id) {
            const auto found = by_id.find(id);
            if (found == by_id.end()) return false;
            const Vertices& v = *found->second;
            for (const Vertices& c : chosen) {
                if (detail::voxelKey(c.position, m_resolution) ==
                        detail::voxelKey(v.position, m_resolution) &&
                    detail::dot(c.normal, v.normal) > 0.0f)
                    return true;
            }
            return false;
        };
        if (compacting) {
            if (!updates.empty()) fail("a compacting deletion reported updates");
            // Repeated entries look up again after their first removal, so a
            // facing neighbour and the selected point may both go.
            for (const Vertices& v : before)
                if (selected.count(v.view_id) == 0 && !takenInstead(v.view_id))
                    kept.push_back(detail::entryOf(v));
            std::vector<detail::Entry> now;
            for (const Vertices& v : after) now.push_back(detail::entryOf(v));
            const detail::SetDifference d = detail::compareSets(kept, now, m_resolution, true);
            if (!d.problem.empty()) fail("a compacting deletion lost a point: " + d.problem);
            int vertex_num = -1;
            m_engine->getVertexNum(vertex_num);
            // Only a deletion that removed something compacts the store.
            if (!selected.empty() && vertex_num != static_cast<int>(after.size()))
                fail("ids after compaction are not numbered afresh");
            reread(after);
            return;
        }
        int removed_selected = 0;
        for (const Vertices& v : updates) {
            if (v.state != 255) fail("a deletion reported something other than a removal");
            if (selected.count(v.view_id) != 0) {
                ++removed_selected;
            } else if (takenInstead(v.view_id)) {
                ++m_report.taken_instead;
            } else {
                fail("a deletion removed a point nobody selected");
            }
        }
        m_report.selected_not_removed += static_cast<int>(selected.size()) - removed_selected;
        applyToMirror(updates);
        checkMirror("after a deletion");
    }

    void mark(const std::string& kind) {
        const std::vector<Vertices> before = extract(*m_engine);
        const std::vector<Vertices> chosen = cluster(before);
        if (chosen.empty()) return;
        int status;
        if (kind == "fine-scan") {
            const int levels[] = {16, 32, 64};
            const int attributes = levels[uniform(0, 2)] | (chance(0.2) ? 0x100 : 0);
            const std::vector<PointData> selection = selectionOf(chosen, attributes);
            status =
                m_engine->setFineScanArea(selection.data(), static_cast<int>(selection.size()));
        } else {
            const std::vector<PointData> selection = selectionOf(chosen, 8);
            status = m_engine->setProtectedArea(
                selection.data(), static_cast<int>(selection.size()), kind == "unprotect");
        }
        if (status != 0) fail("a mark failed");
        expectNoUpdates("a mark");
        const std::vector<Vertices> after = extract(*m_engine);
        if (after.size() != before.size()) fail("a mark added or removed points");
        std::unordered_map<int32_t, const Vertices*> old;
        for (const Vertices& v : before) old[v.view_id] = &v;
        for (const Vertices& v : after) {
            const auto found = old.find(v.view_id);
            if (found == old.end() || std::memcmp(found->second->position, v.position, 24) != 0) {
                fail("a mark moved a point or changed an id");
                break;
            }
        }
        reread(after);
    }

    void build() {
        kelvane_sim::SweepOptions other = m_sweep;
        other.seed = static_cast<uint32_t>(uniform(1, 1 << 30));
        kelvane_sim::Frame f;
        kelvane_sim::Scanner(other).frameAt(uniform(0, other.frames - 1), f);
        if (chance(0.5)) {
            // Next to the scanned object rather than on it.
            for (PointData& p : f.points) p.position[0] += 1.5f * m_options.object_size;
        }
        const int count = static_cast<int>(f.points.size());
        if (count < 1) return;
        m_report.points_in += count;
        const std::vector<Vertices> before = extract(*m_engine);
        Vertices* array = nullptr;
        int returned = 0;
        if (m_engine->buildByExistingPoints(f.points.data(), count, &array, returned, false) != 0) {
            fail("a build failed: " + m_engine->getLastErrorMessage());
            return;
        }
        std::vector<Vertices> built;
        if (array != nullptr && returned > 0) built.assign(array, array + returned);
        delete[] array;
        expectNoUpdates("a build");
        const std::vector<Vertices> after = extract(*m_engine);
        bool same = after.size() == built.size();
        for (std::size_t i = 0; same && i < after.size(); ++i)
            same = detail::sameVertex(after[i], built[i]);
        if (!same) fail("a build handed back something else than the live cloud");
        std::set<int32_t> ids;
        for (const Vertices& v : after) ids.insert(v.view_id);
        for (const Vertices& v : before)
            if (ids.count(v.view_id) == 0) fail("a build lost an old vertex");
        reread(built);
    }

    void organize() {
        m_engine->dataOrganize();
        expectNoUpdates("the reorganisation pass");
        reread(extract(*m_engine));
    }

    void clear(bool reinit) {
        if (reinit) {
            if (m_engine->deInit() != 0) {
                fail("deInit failed");
                return;
            }
            if (!start(*m_engine)) return;
            m_engine->setQualityJudge(chance(0.8));
        } else if (m_engine->reset() != 0) {
            fail("reset failed");
            return;
        }
        expectNoUpdates("a cleared engine");
        int vertex_num = -1;
        m_engine->getVertexNum(vertex_num);
        if (vertex_num != 0) fail("ids survived clearing");
        if (!extract(*m_engine).empty()) fail("points survived clearing");
        m_mirror.clear();
        newObject();
    }

    void checkIds(const std::vector<Vertices>& live, int vertex_num, const char* when) {
        std::set<int32_t> ids;
        for (const Vertices& v : live) {
            if (v.view_id < 0 || v.view_id >= vertex_num) {
                fail(std::string("a live id outside the vertex count ") + when);
                return;
            }
            if (!ids.insert(v.view_id).second) {
                fail(std::string("two live points share an id ") + when);
                return;
            }
        }
    }

    void checkCommon() {
        const std::vector<Vertices> live = extract(*m_engine);
        int vertex_num = -1;
        if (m_engine->getVertexNum(vertex_num) != 0) fail("getVertexNum failed");
        checkIds(live, vertex_num, "");
        m_report.peak_live = std::max(m_report.peak_live, live.size());
    }

    SoakOptions m_options;
    std::mt19937 m_rng;
    float m_resolution;
    std::unique_ptr<fusion::Kelvane_Impl_Points> m_engine;
    std::unique_ptr<fusion::Kelvane_Impl_Points> m_checker;
    std::unordered_map<int32_t, Vertices> m_mirror;
    kelvane_sim::SweepOptions m_sweep;
    int m_frame_index = 0;
    std::string m_kind;
    SoakReport m_report;
};

}  // namespace kelvane_soak
