#include "host/HostMirror.h"

#include <algorithm>
#include <cmath>

namespace kelvane_host {
namespace {

bool sameAttributes(const fusion::Vertices& a, const fusion::Vertices& b) {
    return a.scan_level == b.scan_level && a.protected_flag == b.protected_flag &&
           a.quality_code == b.quality_code;
}

// NaN never matches, so a position that went bad shows up as stale.
float largestDifference(const float* a, const float* b) {
    float worst = 0.0f;
    for (int k = 0; k < 3; ++k) {
        const float d = std::fabs(a[k] - b[k]);
        if (std::isnan(d)) return d;
        worst = std::max(worst, d);
    }
    return worst;
}

bool isRemovalForm(const fusion::Vertices& r) {
    const bool nan = std::isnan(r.position[0]) && std::isnan(r.position[1]) &&
                     std::isnan(r.position[2]) && std::isnan(r.normal[0]) &&
                     std::isnan(r.normal[1]) && std::isnan(r.normal[2]);
    return nan && r.scan_level == 8 && r.protected_flag == 0 && r.quality_code == 0;
}

}  // namespace

void HostMirror::clear() {
    m_table.clear();
    m_present.clear();
    m_live = 0;
    m_stats = MirrorStats{};
}

void HostMirror::seed(const fusion::Vertices* vertices, int count) {
    clear();
    for (int i = 0; i < count; ++i) {
        if (vertices[i].view_id < 0 || vertices[i].view_id > kMaxViewId) {
            ++m_stats.invalid;
            continue;
        }
        upsert(vertices[i]);
    }
}

void HostMirror::upsert(const fusion::Vertices& record) {
    const auto id = size_t(record.view_id);
    if (id >= m_table.size()) {
        const size_t grown = std::max(id + 1, m_table.size() + m_table.size() / 2);
        m_table.resize(grown);
        m_present.resize(grown, 0);
    }
    if (m_present[id] == 0) ++m_live;
    m_present[id] = 1;
    m_table[id] = record;
}

void HostMirror::apply(const fusion::Vertices* records, int count, int32_t id_limit) {
    id_limit = std::min(id_limit, kMaxViewId);
    for (int i = 0; i < count; ++i) {
        const fusion::Vertices& r = records[i];
        ++m_stats.records;
        if (r.view_id < 0 || r.view_id >= id_limit) {
            ++m_stats.invalid;
            continue;
        }
        if (r.state == 0 || r.state == 1) {
            ++m_stats.upserts;
            upsert(r);
        } else if (r.state == 255) {
            if (!isRemovalForm(r)) ++m_stats.malformed_removals;
            if (contains(r.view_id)) {
                m_present[size_t(r.view_id)] = 0;
                --m_live;
                ++m_stats.removals;
            } else {
                ++m_stats.stray_removals;
            }
        } else {
            ++m_stats.invalid;
        }
    }
}

bool HostMirror::contains(int32_t view_id) const {
    return view_id >= 0 && size_t(view_id) < m_present.size() && m_present[size_t(view_id)] != 0;
}

const fusion::Vertices* HostMirror::find(int32_t view_id) const {
    return contains(view_id) ? &m_table[size_t(view_id)] : nullptr;
}

MirrorDiff HostMirror::compare(const fusion::Vertices* extracted, int count,
                               float tolerance) const {
    MirrorDiff diff;
    diff.extracted = count;
    diff.mirrored = m_live;
    std::vector<uint8_t> seen(m_present.size(), 0);
    for (int i = 0; i < count; ++i) {
        const fusion::Vertices& v = extracted[i];
        const fusion::Vertices* mine = find(v.view_id);
        if (mine == nullptr) {
            ++diff.missing;
            continue;
        }
        const auto id = size_t(v.view_id);
        if (seen[id] != 0) {
            ++diff.duplicate_ids;
            continue;
        }
        seen[id] = 1;
        const float dp = largestDifference(v.position, mine->position);
        const float dn = largestDifference(v.normal, mine->normal);
        const bool moved = !(dp <= tolerance), turned = !(dn <= tolerance);
        const bool regraded = !sameAttributes(v, *mine);
        if (!moved && !turned && !regraded) {
            ++diff.matching;
            continue;
        }
        ++diff.stale;
        diff.moved += moved ? 1 : 0;
        diff.turned += turned ? 1 : 0;
        diff.regraded += regraded ? 1 : 0;
        if (std::isfinite(dp))
            diff.max_position_error = std::max(diff.max_position_error, double(dp));
        if (std::isfinite(dn)) diff.max_normal_error = std::max(diff.max_normal_error, double(dn));
    }
    for (size_t id = 0; id < m_present.size(); ++id) {
        if (m_present[id] != 0 && seen[id] == 0) ++diff.extra;
    }
    return diff;
}

}  // namespace kelvane_host
