#include "soak/SoakSession.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <unordered_map>
#include <vector>

#include "fusion/Kelvane.h"
#include "host/HostMirror.h"
#include "host/SnapshotReader.h"
#include "host/VoxelRounding.h"
#include "sim/Simulator.h"

namespace kelvane_soak {
namespace {

using fusion::PointData;
using fusion::Vertices;
using kelvane_host::VoxelKey;
using kelvane_host::voxelOf;
using Stream = std::shared_ptr<fusion::RealTimeByteStream>;

uint32_t wordOf(const Vertices& v) {
    uint32_t w;
    std::memcpy(&w, &v.scan_level, 4);
    return w;
}

// Position and normal alike, bit for bit.
bool sameGeometry(const Vertices& a, const Vertices& b) {
    return std::memcmp(a.position, b.position, 12) == 0 && std::memcmp(a.normal, b.normal, 12) == 0;
}

float dot(const float a[3], const float b[3]) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

Stream newStream() {
    return Stream(new fusion::RealTimeByteStream{nullptr, 0}, [](fusion::RealTimeByteStream* s) {
        delete[] s->data;
        delete s;
    });
}

std::vector<PointData> selectionOf(const std::vector<Vertices>& vertices, int attributes) {
    std::vector<PointData> out;
    for (const Vertices& v : vertices) {
        out.push_back({{v.position[0], v.position[1], v.position[2]},
                       {v.normal[0], v.normal[1], v.normal[2]},
                       attributes});
    }
    return out;
}

// One stored point as a comparable value: position, normal, and whatever
// else the caller can see of it (the attribute word; for stream records
// also the sub-cell mask, count, normal updates and frame stamp).
struct Entry {
    float position[3];
    float normal[3];
    std::vector<uint32_t> fields;
    std::string key() const {
        std::string k(reinterpret_cast<const char*>(position), 12);
        k.append(reinterpret_cast<const char*>(normal), 12);
        return k.append(reinterpret_cast<const char*>(fields.data()), fields.size() * 4);
    }
    std::string describe() const {
        std::ostringstream m;
        m << "[(" << position[0] << " " << position[1] << " " << position[2] << ") n(" << normal[0]
          << " " << normal[1] << " " << normal[2] << ")";
        for (uint32_t f : fields) m << " " << f;
        return m.str() + "]";
    }
};

std::vector<Entry> entriesOf(const std::vector<Vertices>& vertices) {
    std::vector<Entry> out;
    for (const Vertices& v : vertices) {
        out.push_back({{v.position[0], v.position[1], v.position[2]},
                       {v.normal[0], v.normal[1], v.normal[2]},
                       {wordOf(v)}});
    }
    return out;
}

// The live records of a stream; with `all_fields` everything a stream keeps,
// else only what an extraction shows too.
std::vector<Entry> entriesOf(const kelvane_host::Snapshot& s, bool all_fields) {
    std::vector<Entry> out;
    for (const kelvane_host::SnapshotRecord& r : s.records) {
        if (!r.live()) continue;
        Entry e{{r.position[0], r.position[1], r.position[2]},
                {r.normal[0], r.normal[1], r.normal[2]},
                {r.attribute_word}};
        if (all_fields) {
            e.fields.insert(e.fields.end(),
                            {static_cast<uint32_t>(r.sub_cell_mask),
                             static_cast<uint32_t>(r.sub_cell_mask >> 32), r.observation_count,
                             r.normal_updates, static_cast<uint32_t>(r.frame_stamp)});
        }
        out.push_back(e);
    }
    return out;
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
SetDifference compareSets(const std::vector<Entry>& expected, const std::vector<Entry>& actual,
                          float resolution, bool extras) {
    SetDifference d;
    std::multimap<std::string, const Entry*> pool;
    for (const Entry& a : actual) pool.emplace(a.key(), &a);
    std::map<VoxelKey, std::vector<const Entry*>> unmatched_expected, in_voxel, was_in_voxel;
    for (const Entry& e : expected) {
        was_in_voxel[voxelOf(e.position, resolution)].push_back(&e);
        const auto found = pool.find(e.key());
        if (found != pool.end())
            pool.erase(found);
        else
            unmatched_expected[voxelOf(e.position, resolution)].push_back(&e);
    }
    for (const Entry& a : actual) in_voxel[voxelOf(a.position, resolution)].push_back(&a);

    for (const auto& group : unmatched_expected) {
        const std::vector<const Entry*>& here = in_voxel[group.first];
        for (const Entry* e : group.second) {
            if (std::none_of(here.begin(), here.end(),
                             [&](const Entry* a) { return dot(a->normal, e->normal) > 0.0f; })) {
                d.problem = "a point " + e->describe() + " is missing; its voxel held";
                for (const Entry* x : was_in_voxel[group.first]) d.problem += " " + x->describe();
                d.problem += " and now holds";
                for (const Entry* a : here) d.problem += " " + a->describe();
                return d;
            }
            ++d.fused;
        }
    }
    for (const auto& left : pool) {
        const VoxelKey key = voxelOf(left.second->position, resolution);
        if (!extras && (unmatched_expected.count(key) == 0 ||
                        in_voxel[key].size() >= was_in_voxel[key].size())) {
            d.problem = "an unexpected point " + left.second->describe();
            return d;
        }
    }
    return d;
}

enum class Mark { FineScan, Protect, Unprotect };

// One session; the operations it draws from are listed in kOperations below.
struct Session {
    explicit Session(const SoakOptions& options)
        : m_options(options), m_rng(options.seed), m_resolution(options.resolution) {}

    SoakReport run();

    bool ok() const { return m_report.failure.empty(); }
    void fail(const std::string& what) {
        if (ok()) m_report.failure = what;
    }
    int uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(m_rng); }
    bool chance(double p) { return std::uniform_real_distribution<double>(0.0, 1.0)(m_rng) < p; }

    bool start(fusion::Kelvane_Impl_Points& e) {
        if (e.init() != 0) {
            fail("init failed: " + e.getLastErrorMessage());
            return false;
        }
        fusion::DeviceInfo device{};
        device.point_spacing = 0.001f;
        device.frame_point_num = m_options.frame_point_limit;
        e.setResolution(m_resolution);
        e.setDeviceInfo(device);
        return true;
    }

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
        const auto limit = static_cast<std::size_t>(m_options.frame_point_limit - 1);
        if (frame.points.size() > limit) frame.points.resize(limit);
        if (chance(0.1)) {
            // Bad points among good ones: rejected one by one, the frame goes on.
            for (int k = 0; k < 3 && !frame.points.empty(); ++k) {
                PointData& p = frame.points[static_cast<std::size_t>(
                    uniform(0, static_cast<int>(frame.points.size()) - 1))];
                p.position[uniform(0, 2)] = k == 0 ? std::nanf("") : (k == 1 ? INFINITY : 3.0e38f);
            }
        }
        if (chance(0.1)) frame.views.push_back({uniform(1, 5000)});  // runs past the frame's end
        return frame;
    }

    // Hands a frame in; false when it was empty or failed.
    bool feed(kelvane_sim::Frame& f, bool blocking) {
        const int count = static_cast<int>(f.points.size());
        if (count < 1) return false;
        m_report.points_in += count;
        if (m_engine->process(f.points.data(), count, f.views, f.pose, blocking) == 0) return true;
        fail("a frame failed: " + m_engine->getLastErrorMessage());
        return false;
    }

    // Makes `call(&array, count)` and takes the array over; a status other
    // than 0 fails the session with `what`.
    template <class Call>
    std::vector<Vertices> receive(const std::string& what, fusion::Kelvane_Impl_Points& e,
                                  Call call) {
        Vertices* array = nullptr;
        int count = 0;
        std::vector<Vertices> out;
        if (call(&array, count) != 0)
            fail(what + " failed: " + e.getLastErrorMessage());
        else if (array != nullptr && count > 0)
            out.assign(array, array + count);
        delete[] array;
        return out;
    }

    std::vector<Vertices> extract(fusion::Kelvane_Impl_Points& e) {
        return receive("extraction", e,
                       [&](Vertices** a, int& n) { return e.extractLivePoints(a, n); });
    }

    std::vector<Vertices> load(fusion::Kelvane_Impl_Points& e, const Stream& s, const char* what) {
        return receive(
            what, e, [&](Vertices** a, int& n) { return e.loadRealTimeBytesData_points(s, a, n); });
    }

    int vertexNum(fusion::Kelvane_Impl_Points& e) {
        int count = -1;
        if (e.getVertexNum(count) != 0) fail("getVertexNum failed");
        return count;
    }

    // Every pending update. Their form is checked as the host's table takes
    // them in (apply); any other drain must come back empty.
    std::vector<Vertices> drain() {
        return receive("a drain", *m_engine, [&](Vertices** a, int& n) {
            return m_engine->getUpdateVertices(a, n);  // leaves n at 0 when nothing is new
        });
    }

    void expectNoUpdates(const char* what) {
        if (!drain().empty()) fail(std::string(what) + " reported updates");
    }

    void reread(const std::vector<Vertices>& live) {
        m_mirror.seed(live.data(), static_cast<int>(live.size()));
    }

    // Applied in delivery order, as a host does, each record well formed. A
    // removal of an id the table does not hold means the records came in an
    // order a host cannot follow (a removal after the reuse of its id, or
    // before the point's addition).
    void apply(const std::vector<Vertices>& updates) {
        const kelvane_host::MirrorStats before = m_mirror.stats();
        const int32_t ids = vertexNum(*m_engine);
        const int lose = m_options.lose_update_every;
        for (const Vertices& v : updates) {
            ++m_report.updates_applied;
            if (lose > 0 && m_report.updates_applied % lose == 0) continue;  // the planted fault
            m_mirror.apply(&v, 1, ids);
        }
        const kelvane_host::MirrorStats& now = m_mirror.stats();
        if (now.invalid != before.invalid)
            fail("an update names an id never handed out or has an unknown state");
        if (now.malformed_removals != before.malformed_removals)
            fail("a removal record without NaN and word 8");
        if (now.stray_removals != before.stray_removals)
            fail("a removal names an id the host does not hold");
    }

    // The host's table holds exactly the live ids; with `positions`, each
    // also within one voxel edge of where the extraction has it.
    void checkMirror(const std::vector<Vertices>& live, const char* when, bool positions) {
        const kelvane_host::MirrorDiff d = m_mirror.compare(
            live.data(), static_cast<int>(live.size()), std::nextafter(m_resolution, 0.0f));
        if (!d.sameVertices()) {
            std::ostringstream m;
            m << "the host's table differs from the extraction " << when << ": " << d.missing
              << " live ids missing, " << d.extra << " gone ids held, " << d.duplicate_ids
              << " ids listed twice (" << d.extracted << " live, " << d.mirrored << " held)";
            fail(m.str());
        } else if (positions && d.moved != 0) {
            fail("the host holds " + std::to_string(d.moved) + " points a voxel away " + when);
        }
    }

    // After every step, whatever it was and however its frames were paced:
    // once no work is pending and the last records are drained, the table is
    // exact, and the live ids are unique and below the vertex count.
    void checkSettled() {
        m_engine->waitForPendingWork();
        apply(drain());
        const std::vector<Vertices> live = extract(*m_engine);
        if (!ok()) return;
        checkMirror(live, "once settled", false);
        checkIds(live, vertexNum(*m_engine), "");
        ++m_report.mirror_checks;
        m_report.peak_live = std::max(m_report.peak_live, live.size());
    }

    void checkIds(const std::vector<Vertices>& live, int vertex_num, const char* when) {
        std::set<int32_t> ids;
        for (const Vertices& v : live) {
            if (v.view_id < 0 || v.view_id >= vertex_num)
                return fail(std::string("a live id outside the vertex count ") + when);
            if (!ids.insert(v.view_id).second)
                return fail(std::string("two live points share an id ") + when);
        }
    }

    // ---- the operations ---------------------------------------------------

    void frame(bool blocking) {
        kelvane_sim::Frame f = nextFrame();
        if (!feed(f, blocking)) return;
        m_engine->waitForPendingWork();
        const std::vector<Vertices> updates = drain();
        if (blocking) {
            if (!updates.empty()) fail("a blocking frame reported updates");
            return reread(extract(*m_engine));
        }
        apply(updates);
        checkMirror(extract(*m_engine), "after a frame", true);
    }

    // Frames one after the other without waiting, so second stages overlap
    // one another and the next frame's first stage; the host applies
    // whatever each drain delivers. The check after the step settles.
    void streamed() {
        const int frames = uniform(2, 6);
        for (int i = 0; i < frames && ok(); ++i) {
            kelvane_sim::Frame f = nextFrame();
            if (feed(f, false)) apply(drain());
        }
    }

    void extractBoth() {
        const std::vector<Vertices> live = extract(*m_engine);
        fusion::PointRawData raw{};
        if (m_engine->extractLivePoints(raw) != 0) return fail("raw extraction failed");
        if (raw.count != static_cast<int32_t>(live.size()))
            fail("the two extractions differ in size");
        if (raw.resolution != m_resolution) fail("the raw extraction carries another resolution");
        for (std::size_t i = 0; i < live.size() && ok(); ++i) {
            if (std::memcmp(raw.positions + 3 * i, live[i].position, 12) != 0 ||
                std::memcmp(raw.normals + 3 * i, live[i].normal, 12) != 0 ||
                raw.attributes[i] != wordOf(live[i]))
                fail("the two extractions disagree");
        }
        delete[] raw.positions;
        delete[] raw.normals;
        delete[] raw.attributes;
    }

    // Saves `e` into `stream` and reads it back as a host would.
    kelvane_host::Snapshot save(fusion::Kelvane_Impl_Points& e, const std::string& what,
                                Stream& stream) {
        stream = newStream();
        if (e.saveRealTimeBytesData(stream) != 0) {
            fail("saving " + what + " failed: " + e.getLastErrorMessage());
            return {};
        }
        kelvane_host::Snapshot s = kelvane_host::readSnapshot(*stream);
        if (!s.valid) fail("a stream saved from " + what + " is malformed: " + s.problem);
        if (s.valid && (s.resolution != m_resolution || s.load_count != s.count))
            fail("a stream saved from " + what + " has another resolution or load count");
        return s;
    }

    // Saves the current state, loads it into the second engine, saves that
    // again and compares both streams' live records, and the first stream's
    // with the extraction.
    void checkSnapshot() {
        ++m_report.snapshots_checked;
        const std::vector<Vertices> live = extract(*m_engine);
        Stream first, second;
        const kelvane_host::Snapshot saved = save(*m_engine, "the engine", first);
        if (!ok()) return;
        const std::vector<Entry> saved_short = entriesOf(saved, false);
        const SetDifference exact = compareSets(entriesOf(live), saved_short, m_resolution, false);
        if (!exact.problem.empty() || exact.fused != 0 || saved_short.size() != live.size())
            return fail("a saved stream differs from the extraction: " + exact.problem);
        const std::vector<Vertices> loaded = load(*m_checker, first, "loading a saved stream");
        const int vertex_num = vertexNum(*m_checker);
        if (vertex_num != static_cast<int>(loaded.size()))
            fail("ids after a load are not numbered afresh");
        checkIds(loaded, vertex_num, "after a load");
        const kelvane_host::Snapshot again = save(*m_checker, "a loaded state", second);
        if (!ok()) return;
        const SetDifference d =
            compareSets(entriesOf(saved, true), entriesOf(again, true), m_resolution, false);
        if (!d.problem.empty()) fail("a snapshot did not load back: " + d.problem);
        m_report.fused_on_reload += d.fused;
    }

    void saveAndLoad() {
        checkSnapshot();
        if (!ok() || !chance(0.5)) return;
        // Load back into the engine itself: the host re-reads from the answer.
        Stream stream;
        save(*m_engine, "the engine", stream);
        if (!ok()) return;
        const std::vector<Vertices> loaded = load(*m_engine, stream, "reloading its own stream");
        expectNoUpdates("a load");
        reread(loaded);
        checkMirror(extract(*m_engine), "after a load", true);
    }

    // The live points within a few voxels of a random live point.
    std::vector<Vertices> cluster(const std::vector<Vertices>& live) {
        if (live.empty()) return {};
        const Vertices& centre =
            live[static_cast<std::size_t>(uniform(0, static_cast<int>(live.size()) - 1))];
        const float radius = m_resolution * static_cast<float>(uniform(1, 6));
        std::vector<Vertices> out;
        for (const Vertices& v : live) {
            float d2 = 0;
            for (int k = 0; k < 3; ++k)
                d2 += (v.position[k] - centre.position[k]) * (v.position[k] - centre.position[k]);
            if (d2 <= radius * radius) out.push_back(v);
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
        if (m_engine->deleteSelectedArea(selection.data(), static_cast<int>(selection.size())) != 0)
            return fail("a deletion failed: " + m_engine->getLastErrorMessage());
        std::set<int32_t> selected;
        for (const Vertices& v : chosen)
            if (v.protected_flag != 1) selected.insert(v.view_id);
        const std::vector<Vertices> updates = drain();
        const std::vector<Vertices> after = extract(*m_engine);
        // A selected point finds the first record of its voxel that faces it;
        // when the voxel's two records have come to face each other, that may
        // be the other one.
        std::unordered_map<int32_t, const Vertices*> by_id;
        for (const Vertices& v : before) by_id[v.view_id] = &v;
        auto takenInstead = [&](int32_t id) {
            const auto found = by_id.find(id);
            return found != by_id.end() &&
                   std::any_of(chosen.begin(), chosen.end(), [&](const Vertices& c) {
                       const Vertices& v = *found->second;
                       return voxelOf(c.position, m_resolution) ==
                                  voxelOf(v.position, m_resolution) &&
                              dot(c.normal, v.normal) > 0.0f;
                   });
        };
        if (compacting) {
            if (!updates.empty()) fail("a compacting deletion reported updates");
            // Repeated entries look up again after their first removal, so a
            // facing neighbour and the selected point may both go.
            std::vector<Vertices> kept;
            for (const Vertices& v : before)
                if (selected.count(v.view_id) == 0 && !takenInstead(v.view_id)) kept.push_back(v);
            const SetDifference d =
                compareSets(entriesOf(kept), entriesOf(after), m_resolution, true);
            if (!d.problem.empty()) fail("a compacting deletion lost a point: " + d.problem);
            // Only a deletion that removed something compacts the store.
            if (!selected.empty() && vertexNum(*m_engine) != static_cast<int>(after.size()))
                fail("ids after compaction are not numbered afresh");
            return reread(after);
        }
        int removed_selected = 0;
        for (const Vertices& v : updates) {
            if (v.state != 255) fail("a deletion reported something other than a removal");
            if (selected.count(v.view_id) != 0)
                ++removed_selected;
            else if (takenInstead(v.view_id))
                ++m_report.taken_instead;
            else
                fail("a deletion removed a point nobody selected");
        }
        m_report.selected_not_removed += static_cast<int>(selected.size()) - removed_selected;
        apply(updates);
        checkMirror(after, "after a deletion", true);
    }

    void mark(Mark kind) {
        const std::vector<Vertices> before = extract(*m_engine);
        const std::vector<Vertices> chosen = cluster(before);
        if (chosen.empty()) return;
        int attributes = 8;
        if (kind == Mark::FineScan) {
            const int levels[] = {16, 32, 64};
            attributes = levels[uniform(0, 2)] | (chance(0.2) ? 0x100 : 0);
        }
        const std::vector<PointData> selection = selectionOf(chosen, attributes);
        const int count = static_cast<int>(selection.size());
        if ((kind == Mark::FineScan ? m_engine->setFineScanArea(selection.data(), count)
                                    : m_engine->setProtectedArea(selection.data(), count,
                                                                 kind == Mark::Unprotect)) != 0)
            fail("a mark failed");
        expectNoUpdates("a mark");
        const std::vector<Vertices> after = extract(*m_engine);
        if (after.size() != before.size()) fail("a mark added or removed points");
        std::unordered_map<int32_t, const Vertices*> old;
        for (const Vertices& v : before) old[v.view_id] = &v;
        for (const Vertices& v : after) {
            const auto found = old.find(v.view_id);
            if (found == old.end() || !sameGeometry(*found->second, v))
                return fail("a mark moved a point or changed an id");
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
        const std::vector<Vertices> built =
            receive("a build", *m_engine, [&](Vertices** a, int& n) {
                return m_engine->buildByExistingPoints(f.points.data(), count, a, n, false);
            });
        expectNoUpdates("a build");
        const std::vector<Vertices> after = extract(*m_engine);
        // Every written field alike (the three reserved bytes never are).
        const auto same = [](const Vertices& a, const Vertices& b) {
            return sameGeometry(a, b) && a.view_id == b.view_id && a.state == b.state &&
                   wordOf(a) == wordOf(b);
        };
        if (after.size() != built.size() ||
            !std::equal(after.begin(), after.end(), built.begin(), same))
            fail("a build handed back something else than the live cloud");
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
            if (m_engine->deInit() != 0) return fail("deInit failed");
            if (!start(*m_engine)) return;
            m_engine->setQualityJudge(chance(0.8));
        } else if (m_engine->reset() != 0) {
            return fail("reset failed");
        }
        expectNoUpdates("a cleared engine");
        if (vertexNum(*m_engine) != 0) fail("ids survived clearing");
        if (!extract(*m_engine).empty()) fail("points survived clearing");
        m_mirror.clear();
        newObject();
    }

    SoakOptions m_options;
    std::mt19937 m_rng;
    float m_resolution;
    std::unique_ptr<fusion::Kelvane_Impl_Points> m_engine;
    std::unique_ptr<fusion::Kelvane_Impl_Points> m_checker;
    kelvane_host::HostMirror m_mirror;
    kelvane_sim::SweepOptions m_sweep;
    int m_frame_index = 0;
    SoakReport m_report;
};

struct Operation {
    const char* name;
    int weight;
    void (*run)(Session&);
};

const Operation kOperations[] = {
    {"frame", 30, [](Session& s) { s.frame(false); }},
    {"blocking frame", 8, [](Session& s) { s.frame(true); }},
    {"streamed frames", 3, [](Session& s) { s.streamed(); }},
    {"extract", 4, [](Session& s) { s.extractBoth(); }},
    {"save and load", 4, [](Session& s) { s.saveAndLoad(); }},
    {"delete", 7, [](Session& s) { s.remove(false); }},
    {"delete compacting", 2, [](Session& s) { s.remove(true); }},
    {"fine-scan", 3, [](Session& s) { s.mark(Mark::FineScan); }},
    {"protect", 3, [](Session& s) { s.mark(Mark::Protect); }},
    {"unprotect", 1, [](Session& s) { s.mark(Mark::Unprotect); }},
    {"build", 3, [](Session& s) { s.build(); }},
    {"organize", 2, [](Session& s) { s.organize(); }},
    {"reset", 1, [](Session& s) { s.clear(false); }},
    {"reinit", 1, [](Session& s) { s.clear(true); }},
};

SoakReport Session::run() {
    std::vector<const Operation*> drawn;
    for (const Operation& op : kOperations) {
        const std::vector<std::string>& only = m_options.only;
        if (only.empty() || std::find(only.begin(), only.end(), op.name) != only.end())
            drawn.push_back(&op);
    }
    for (const std::string& name : m_options.only) {
        if (std::none_of(drawn.begin(), drawn.end(),
                         [&](const Operation* op) { return name == op->name; })) {
            fail("no operation is called \"" + name + "\"");
            return m_report;
        }
    }
    m_engine = std::make_unique<fusion::Kelvane_Impl_Points>();
    m_checker = std::make_unique<fusion::Kelvane_Impl_Points>();
    if (!start(*m_engine) || !start(*m_checker)) return m_report;
    newObject();
    int total = 0;
    for (const Operation* op : drawn) total += op->weight;
    const int every = m_options.snapshot_every;
    for (int step = 0; step < m_options.operations && ok(); ++step) {
        int roll = uniform(0, total - 1);
        auto op = drawn.begin();
        while (roll >= (*op)->weight) roll -= (*op++)->weight;
        ++m_report.kinds[(*op)->name];
        (*op)->run(*this);
        if (ok()) checkSettled();
        if (ok() && every > 0 && step % every == every - 1) checkSnapshot();
        if (!ok()) {
            m_report.failed_step = step;
            m_report.failed_kind = (*op)->name;
        }
        ++m_report.operations;
    }
    return m_report;
}

}  // namespace

SoakReport SoakSession::run() { return Session(m_options).run(); }

}  // namespace kelvane_soak
