#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "edit/EditSupport.h"
#include "engine/HashTable.h"
#include "frame/NeighbourScan.h"
#include "volume/FieldAtomics.h"
#include "volume/RelaxedAccess.h"

namespace fusion {
namespace {

constexpr float kFloatEpsilon = 1.1920929e-7f;
// Every nibble at its highest grade.
constexpr uint16_t kTopQuality = 0xFFFF;
// Grade 15 on the ordinary level only: what a point gets when judging is off.
constexpr uint16_t kOrdinaryOnly = 0x000F;
// A run is confirmed by a point with more older neighbours than this.
constexpr int kRunConfirmNeighbours = 5;

// A run of consecutive frame points that the host grouped into one view.
struct PointRun {
    bool accepted;
    int begin;
    int end;  // exclusive
};

// Positions at the origin (all components below epsilon) and non-finite
// ones come from failed depth measurements; normals are not checked.
bool isUsablePosition(const float p[3]) {
    for (int i = 0; i < 3; ++i) {
        if (std::isnan(p[i]) || std::isinf(p[i])) return false;
    }
    return !(std::fabs(p[0]) < kFloatEpsilon && std::fabs(p[1]) < kFloatEpsilon &&
             std::fabs(p[2]) < kFloatEpsilon);
}

FusionPoint intakeTemplate(const PointData& in) {
    FusionPoint t;
    for (int i = 0; i < 3; ++i) {
        t.position[i] = in.position[i];
        t.normal[i] = in.normal[i];
    }
    const uint32_t attributes = static_cast<uint32_t>(in.attributes);
    t.sub_voxel_mask = 0;
    t.scan_level = normaliseScanLevel(attributes & 0xFFu);
    t.protected_flag = static_cast<uint8_t>(attributes >> 8);
    t.quality_code = 0;
    t.observation_count = 1;
    t.normal_update_count = 0;
    t.absorbed_flag = 0;
    t.frame_stamp = -1;
    t.view_id = -1;
    t.confirmed_flag = 0;
    t.normal_fresh_flag = 0;
    return t;
}

bool isOrdinaryLevel(uint8_t scan_level) { return (scan_level & 0xF7) == 0; }

bool topGradeIsFull(uint16_t code) { return (code >> 12) == 0xF; }

// A grade once earned is kept: each nibble takes the higher of the two.
uint16_t keepHigherNibbles(uint16_t stored, uint16_t code) {
    uint16_t merged = 0;
    for (int shift = 0; shift < 16; shift += 4) {
        const uint16_t s = (stored >> shift) & 0xF;
        const uint16_t c = (code >> shift) & 0xF;
        merged = static_cast<uint16_t>(merged | (std::max(s, c) << shift));
    }
    return merged;
}

// Sub-voxel edge of a record: the resolution divided by its level divisor.
float subVoxelEdge(float resolution, uint8_t scan_level) {
    return resolution / static_cast<float>(levelDivisor(scan_level));
}

}  // namespace

void HashTable::insertFramePoints(int32_t* frame_indices, int count, const PointData* points) {
    const int32_t frame = m_frame_counter;
#pragma omp parallel for schedule(static) num_threads(m_thread_num)
    for (int i = 0; i < count; ++i) {
        frame_indices[i] = -1;
        const PointData& in = points[i];
        // A position whose voxel coordinate would not fit the 32-bit grid is
        // as unusable as a non-finite one: no voxel address can be formed.
        if (!isUsablePosition(in.position) || !edit::placeable(in.position, m_resolution)) {
            std::printf("--- error data ---\n");
            continue;
        }
        const FusionPoint incoming = intakeTemplate(in);
        int32_t index = -1;
        FusionPoint* stored = nullptr;
        if (addObservation(in.position, in.normal, incoming, index, stored) != 0 ||
            stored == nullptr) {
            continue;
        }
        // Several input points of one frame may land on one stored record;
        // only the one that moves its stamp to this frame lists it.
        int32_t stamp = loadRelaxed32(&stored->frame_stamp);
        while (stamp != frame) {
            if (compareExchange32(&stored->frame_stamp, stamp, frame)) {
                frame_indices[i] = index;
                break;
            }
            stamp = loadRelaxed32(&stored->frame_stamp);
        }
    }
}

int HashTable::prepareGrouped(const PointData* points, int count,
                              const std::vector<std::vector<int>>& views,
                              const int32_t* frame_indices, Vertices* buffer,
                              std::atomic<int32_t>& update_count) {
    if (count < 1 || points == nullptr || frame_indices == nullptr || views.empty()) {
        std::printf("input data is nullptr！\n");
        return 1;
    }

    // Runs are built and confirmed in order: one confirmed point, or one
    // multi-frame neighbourhood, vouches for the whole run.
    std::vector<PointRun> runs;
    int64_t cursor = 0;
    for (const std::vector<int>& view : views) {
        for (int entry : view) {
            if (entry < 1) continue;
            const int64_t begin = cursor;
            cursor += entry;
            // Entries that describe more points than the frame has are cut
            // at the frame's end.
            if (begin >= count) continue;
            PointRun run{false, static_cast<int>(begin),
                         static_cast<int>(std::min<int64_t>(cursor, count))};

            for (int k = run.begin; k < run.end && !run.accepted; ++k) {
                const int32_t index = frame_indices[k];
                if (index != -1 && relaxedLoad(pointAt(index)->confirmed_flag) == 1)
                    run.accepted = true;
            }
            for (int k = run.begin; k < run.end && !run.accepted; ++k) {
                const int32_t index = frame_indices[k];
                if (index == -1) continue;
                int total = 0;
                int older_count = 0;
                uint32_t frame_tag = kFrameTagNone;
                NeighbourList older;
                countConfirmingNeighbours(*pointAt(index), total, older_count, frame_tag, older);
                if (older_count > kRunConfirmNeighbours && frame_tag == kFrameTagMixed) {
                    for (int n = 0; n < older.count; ++n)
                        relaxedStore(older.records[n]->confirmed_flag, static_cast<uint8_t>(1));
                    run.accepted = true;
                }
            }
            runs.push_back(run);
        }
    }

    const int run_count = static_cast<int>(runs.size());
#pragma omp parallel for schedule(static) num_threads(m_thread_num)
    for (int r = 0; r < run_count; ++r) {
        const PointRun& run = runs[r];
        if (!run.accepted) continue;
        for (int k = run.begin; k < run.end; ++k) {
            const int32_t index = frame_indices[k];
            if (index == -1) continue;
            FusionPoint* point = pointAt(index);
            relaxedStore(point->confirmed_flag, static_cast<uint8_t>(1));
            gradePoint(point, index, buffer, update_count);
        }
    }
    return 0;
}

int HashTable::gradePoint(FusionPoint* point, int32_t index, Vertices* buffer,
                          std::atomic<int32_t>& update_count) {
    if (point == nullptr || index < 0) return 1;
    const int limit = handOffLimit();
    auto handOff = [&]() {
        if (update_count.load(std::memory_order_relaxed) >= limit) return 1;
        emitVertexUpdate(*point, 0, buffer, update_count);
        return 0;
    };

    if (isOrdinaryLevel(relaxedLoad(point->scan_level)) && !m_quality_judge) {
        relaxedStore(point->quality_code, static_cast<uint16_t>(kOrdinaryOnly));
        return handOff();
    }
    if (topGradeIsFull(relaxedLoad(point->quality_code))) {
        relaxedStore(point->quality_code, static_cast<uint16_t>(kTopQuality));
        return handOff();
    }

    const int level = fineLevelIndex(relaxedLoad(point->scan_level));
    const float edge = subVoxelEdge(m_resolution, relaxedLoad(point->scan_level));
    uint64_t masks[NeighbourList::kMax];
    int total = 0;
    int older_count = 0;
    NeighbourList older;
    collectGradingNeighbours(*point, edge, masks, total, older_count, older);
    if (total == 0) return 1;
    if (level == 0 && !m_quality_judge) return 0;

    const uint16_t code = computeQualityCode(*m_global_params, masks, total, m_resolution);
    relaxedStore(point->quality_code,
                 static_cast<uint16_t>(keepHigherNibbles(relaxedLoad(point->quality_code), code)));
    if (edge < 0.5f) {
        propagateQuality(point, older, edge, buffer, update_count, level);
    }
    if (relaxedLoad(point->observation_count) > 100 || relaxedLoad(point->absorbed_flag) == 1) {
        relaxedStore(point->quality_code, static_cast<uint16_t>(kTopQuality));
    }
    return handOff();
}

int HashTable::preparePerPoint(int count, const int32_t* frame_indices, Vertices* buffer,
                               std::atomic<int32_t>& update_count) {
    if (count < 1 || frame_indices == nullptr) return 1;
    const int limit = handOffLimit();
    const double resolution = m_resolution;
    // Very fine voxels see few neighbours per frame: count every neighbour
    // and ask for fewer.
    const bool count_all = resolution <= 0.08;
    const int threshold = resolution <= 0.039 ? 2 : kRunConfirmNeighbours;
    const bool hand_on_unconfirmed = resolution <= 0.028 || m_frame_counter < 10;

#pragma omp parallel for schedule(static) num_threads(m_thread_num)
    for (int i = 0; i < count; ++i) {
        const int32_t index = frame_indices[i];
        if (index < 0) continue;
        FusionPoint* point = pointAt(index);
        if (point == nullptr) continue;
        auto limitReached = [&]() { return update_count.load(std::memory_order_relaxed) >= limit; };
        auto emit = [&]() { emitVertexUpdate(*point, 0, buffer, update_count); };

        const bool confirmed = relaxedLoad(point->confirmed_flag) == 1;
        if (confirmed && isOrdinaryLevel(relaxedLoad(point->scan_level)) && !m_quality_judge) {
            if (limitReached()) continue;
            relaxedStore(point->quality_code,
                         static_cast<uint16_t>(relaxedLoad(point->quality_code) | kOrdinaryOnly));
            emit();
            continue;
        }
        if (static_cast<int8_t>(relaxedLoad(point->normal_update_count)) >= 2 &&
            topGradeIsFull(relaxedLoad(point->quality_code))) {
            if (limitReached()) continue;
            relaxedStore(point->quality_code, static_cast<uint16_t>(kTopQuality));
            emit();
            continue;
        }

        const int level = fineLevelIndex(relaxedLoad(point->scan_level));
        const float edge = subVoxelEdge(m_resolution, relaxedLoad(point->scan_level));
        // Fine confirmed points are re-graded only at odd frame positions,
        // which halves the scans without leaving a region ungraded.
        if (confirmed && edge < 0.5f && i % 2 == 0) {
            if (limitReached()) continue;
            if (!m_quality_judge)
                relaxedStore(
                    point->quality_code,
                    static_cast<uint16_t>(relaxedLoad(point->quality_code) | kOrdinaryOnly));
            emit();
            continue;
        }

        uint64_t masks[NeighbourList::kMax];
        int total = 0;
        int older_count = 0;
        NeighbourList older;
        collectGradingNeighbours(*point, edge, masks, total, older_count, older);
        const int counted = count_all ? total : older_count;

        if (counted > threshold) {
            relaxedStore(point->confirmed_flag, static_cast<uint8_t>(1));
            if (level == 0 && !m_quality_judge) {
                if (limitReached()) continue;
                relaxedStore(
                    point->quality_code,
                    static_cast<uint16_t>(relaxedLoad(point->quality_code) | kOrdinaryOnly));
                emit();
                continue;
            }
            const uint16_t code = computeQualityCode(*m_global_params, masks, total, m_resolution);
            relaxedStore(point->quality_code, static_cast<uint16_t>(keepHigherNibbles(
                                                  relaxedLoad(point->quality_code), code)));
            if (edge < 0.5f) propagateQuality(point, older, edge, buffer, update_count, level);
            if (limitReached()) continue;
            if (relaxedLoad(point->observation_count) > 100 ||
                relaxedLoad(point->absorbed_flag) == 1) {
                relaxedStore(point->quality_code, static_cast<uint16_t>(kTopQuality));
            }
            emit();
            continue;
        }

        if (hand_on_unconfirmed && !limitReached()) {
            if (level == 0 && !m_quality_judge)
                relaxedStore(
                    point->quality_code,
                    static_cast<uint16_t>(relaxedLoad(point->quality_code) | kOrdinaryOnly));
            emit();
        }
    }
    return 0;
}

}  // namespace fusion
