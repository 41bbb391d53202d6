#pragma once

// The host's copy of the fused cloud, kept the way a scanning application
// keeps it: a table indexed by view_id, filled from the incremental vertex
// updates and seeded from a loaded snapshot. At the end of a run it is
// compared with a full extraction; any difference means the updates did not
// tell the host everything.

#include <cstdint>
#include <vector>

#include "fusion/Kelvane.h"

namespace kelvane_host {

struct MirrorStats {
    int64_t records = 0;         // update records applied
    int64_t upserts = 0;         // state 1 (added or changed) and 0 (re-graded)
    int64_t removals = 0;        // state 255 of an id the table held
    int64_t stray_removals = 0;  // state 255 of an id the table did not hold
    int64_t invalid = 0;         // negative or absurd view_id, unknown state
    // State 255 without the removal form (NaN position and normal, attribute
    // word 8); applied all the same.
    int64_t malformed_removals = 0;
};

struct MirrorDiff {
    int64_t extracted = 0;      // vertices in the extraction
    int64_t mirrored = 0;       // vertices in the mirror
    int64_t matching = 0;       // same id, position, normal and attributes
    int64_t missing = 0;        // extracted, absent from the mirror
    int64_t extra = 0;          // in the mirror, absent from the extraction
    int64_t stale = 0;          // same id, different values
    int64_t duplicate_ids = 0;  // ids that the extraction lists twice
    // What differs in the stale entries (one entry may count in several).
    int64_t moved = 0;     // position
    int64_t turned = 0;    // normal
    int64_t regraded = 0;  // quality, scan level or protection
    double max_position_error = 0;
    double max_normal_error = 0;

    // The mirror holds exactly the extracted vertices (values aside).
    bool sameVertices() const { return missing == 0 && extra == 0 && duplicate_ids == 0; }
    bool identical() const { return sameVertices() && stale == 0; }
};

class HostMirror {
public:
    // Ids above this are refused whatever the caller's limit.
    static constexpr int32_t kMaxViewId = 200'000'000;

    void clear();
    // Replaces the whole table, as after loading a snapshot.
    void seed(const fusion::Vertices* vertices, int count);
    // Applies one delivery of update records in order. Ids at or above
    // `id_limit` (the library's vertex count when the host has it) are
    // refused as corrupt rather than grown into.
    void apply(const fusion::Vertices* records, int count, int32_t id_limit = kMaxViewId);

    int64_t size() const { return m_live; }
    bool contains(int32_t view_id) const;
    const fusion::Vertices* find(int32_t view_id) const;
    const MirrorStats& stats() const { return m_stats; }

    // Positions and normals compare within `tolerance` per component; the
    // attribute bytes compare exactly.
    MirrorDiff compare(const fusion::Vertices* extracted, int count, float tolerance) const;

private:
    void upsert(const fusion::Vertices& record);

    std::vector<fusion::Vertices> m_table;
    std::vector<uint8_t> m_present;
    int64_t m_live = 0;
    MirrorStats m_stats;
};

}  // namespace kelvane_host
