// Confirmation, grading and hand-off of a frame's stored points.

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "frame/FrameIntake.h"
#include "volume/LoopShares.h"
#include "volume/SharedFields.h"

namespace fusion {

namespace {

// Every nibble at its highest grade.
constexpr uint16_t kTopQuality = 0xFFFF;
// Grade 15 on the ordinary level only: what a point gets when judging is off.
constexpr uint16_t kOrdinaryOnly = 0x000F;
// A run (or a per-point neighbourhood) is confirmed by more older
// neighbours than this.
constexpr int kConfirmNeighbours = 5;
// Work a team member takes at a time: runs of grouped mode (a few hundred
// points each), points of per-point mode.
constexpr int kRunsPerChunk = 1;
constexpr int kPointsPerChunk = 128;

// A run of consecutive frame points that the host grouped into one view.
struct PointRun {
    bool accepted;
    int begin;
    int end;  // exclusive
};

bool isOrdinaryLevel(uint8_t scan_level) { return (scan_level & 0xF7) == 0; }

bool topGradeIsFull(uint16_t code) { return (code >> 12) == 0xF; }

int nibble(uint16_t code, int k) { return (code >> (4 * k)) & 0xF; }

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

void orQuality(FusionPoint& point, uint16_t bits) {
    relaxedStore(point.quality_code, static_cast<uint16_t>(relaxedLoad(point.quality_code) | bits));
}

// The stored grades merged with a freshly computed code.
void mergeQuality(FusionPoint& point, uint16_t code) {
    relaxedStore(point.quality_code, keepHigherNibbles(relaxedLoad(point.quality_code), code));
}

// Well observed or absorbed records are graded at the top.
void saturateSettledQuality(FusionPoint& point) {
    if (relaxedLoad(point.observation_count) > 100 || relaxedLoad(point.absorbed_flag) == 1)
        relaxedStore(point.quality_code, kTopQuality);
}

void emit(const FrameStage& stage, FusionPoint& point) {
    emitVertexUpdate(stage.volume.viewIds(), point, 0, stage.updates);
}

bool acceptRun(const FrameStage& stage, BlockCache& cache, const PointRun& run,
               const int32_t* frame_indices) {
    Volume& volume = stage.volume;
    for (int k = run.begin; k < run.end; ++k) {
        const int32_t index = frame_indices[k];
        if (index != -1 && relaxedLoad(volume.pointAt(index)->confirmed_flag) == 1) return true;
    }
    for (int k = run.begin; k < run.end; ++k) {
        const int32_t index = frame_indices[k];
        if (index == -1) continue;
        int total = 0;
        int older = 0;
        uint32_t frame_tag = kFrameTagNone;
        NeighbourList listed;
        countConfirmingNeighbours(cache, stage.frame, *volume.pointAt(index), total, older,
                                  frame_tag, listed);
        if (older > kConfirmNeighbours && frame_tag == kFrameTagMixed) {
            for (int n = 0; n < listed.count; ++n)
                relaxedStore(listed.records[n]->confirmed_flag, static_cast<uint8_t>(1));
            return true;
        }
    }
    return false;
}

}  // namespace

int prepareGrouped(const FrameStage& stage, const PointData* points, int count,
                   const std::vector<std::vector<int>>& views, const int32_t* frame_indices) {
    if (count < 1 || points == nullptr || frame_indices == nullptr || views.empty()) {
        std::printf("input data is nullptr！\n");
        return 1;
    }

    // One confirmed point, or one multi-frame neighbourhood, vouches for a
    // whole run. Each run is confirmed and graded on its own: it reads the
    // flags of its own points (which no other run writes) and walks older
    // records (setting their flags, which no run reads); grading reads no
    // flag at all. So runs may go in any order and side by side, and one
    // thread gives what confirming every run first, then grading them in
    // order gives. No block is inserted until the frame ends, so the walks
    // may share a frozen cache.
    Volume& volume = stage.volume;
    const QualityGrader grader(volume.params(), volume.resolution());
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
            runs.push_back(PointRun{false, static_cast<int>(begin),
                                    static_cast<int>(std::min<int64_t>(cursor, count))});
        }
    }

    const int run_count = static_cast<int>(runs.size());
    LoopShares shares(run_count, stage.team.size(), kRunsPerChunk);
    stage.team.run([&](int member) {
        BlockCache cache(volume, BlockCache::Mode::Frozen);
        int first = 0, last = 0;
        while (stage.team.keepGoing(member) && shares.next(member, first, last)) {
            for (int r = first; r < last; ++r) {
                PointRun& run = runs[r];
                run.accepted = acceptRun(stage, cache, run, frame_indices);
                if (!run.accepted) continue;
                for (int k = run.begin; k < run.end; ++k) {
                    const int32_t index = frame_indices[k];
                    if (index == -1) continue;
                    FusionPoint* point = volume.pointAt(index);
                    relaxedStore(point->confirmed_flag, static_cast<uint8_t>(1));
                    gradePoint(stage, cache, grader, point, index);
                }
            }
        }
    });
    return 0;
}

int gradePoint(const FrameStage& stage, FusionPoint* point, int32_t index) {
    BlockCache cache(stage.volume, BlockCache::Mode::Frozen);
    const QualityGrader grader(stage.volume.params(), stage.volume.resolution());
    return gradePoint(stage, cache, grader, point, index);
}

int gradePoint(const FrameStage& stage, BlockCache& cache, const QualityGrader& grader,
               FusionPoint* point, int32_t index) {
    if (point == nullptr || index < 0) return 1;
    auto handOff = [&]() {
        if (!stage.updates.below(stage.handOffLimit())) return 1;
        emit(stage, *point);
        return 0;
    };

    if (isOrdinaryLevel(relaxedLoad(point->scan_level)) && !stage.quality_judge) {
        relaxedStore(point->quality_code, kOrdinaryOnly);
        return handOff();
    }
    if (topGradeIsFull(relaxedLoad(point->quality_code))) {
        relaxedStore(point->quality_code, kTopQuality);
        return handOff();
    }

    const Volume& volume = stage.volume;
    const uint8_t scan_level = relaxedLoad(point->scan_level);
    const int level = fineLevelIndex(scan_level);
    const float edge = subVoxelEdge(volume.resolution(), scan_level);
    uint16_t counts[NeighbourList::kMax];
    int total = 0;
    int older = 0;
    NeighbourList listed;
    collectGradingNeighbours(cache, stage.frame, *point, edge, counts, total, older, listed);
    if (total == 0) return 1;
    if (level == 0 && !stage.quality_judge) return 0;

    mergeQuality(*point, grader.code(counts, total));
    if (edge < 0.5f) propagateQuality(stage, point, listed, edge, level);
    saturateSettledQuality(*point);
    return handOff();
}

namespace {

// What per-point preparation decides once per frame.
struct PerPointRules {
    int32_t limit;             // hand-off limit of the update buffer
    bool count_all;            // confirm by every neighbour, not only older ones
    int threshold;             // more counted neighbours than this confirm
    bool hand_on_unconfirmed;  // unconfirmed points are handed on too
};

// Per-point preparation of the frame's point i, stored at `index`.
void preparePoint(const FrameStage& stage, BlockCache& cache, const QualityGrader& grader,
                  const PerPointRules& rules, int i, int32_t index) {
    const Volume& volume = stage.volume;
    const int32_t limit = rules.limit;
    FusionPoint& point = *volume.pointAt(index);
    const bool judged_off = !stage.quality_judge;

    const bool confirmed = relaxedLoad(point.confirmed_flag) == 1;
    if (confirmed && isOrdinaryLevel(relaxedLoad(point.scan_level)) && judged_off) {
        if (!stage.updates.below(limit)) return;
        orQuality(point, kOrdinaryOnly);
        emit(stage, point);
        return;
    }
    if (static_cast<int8_t>(relaxedLoad(point.normal_update_count)) >= 2 &&
        topGradeIsFull(relaxedLoad(point.quality_code))) {
        if (!stage.updates.below(limit)) return;
        relaxedStore(point.quality_code, kTopQuality);
        emit(stage, point);
        return;
    }

    const uint8_t scan_level = relaxedLoad(point.scan_level);
    const int level = fineLevelIndex(scan_level);
    const float edge = subVoxelEdge(volume.resolution(), scan_level);
    // Fine confirmed points are re-graded only at odd frame positions,
    // which halves the scans without leaving a region ungraded.
    if (confirmed && edge < 0.5f && i % 2 == 0) {
        if (!stage.updates.below(limit)) return;
        if (judged_off) orQuality(point, kOrdinaryOnly);
        emit(stage, point);
        return;
    }

    uint16_t counts[NeighbourList::kMax];
    int total = 0;
    int older = 0;
    NeighbourList listed;
    collectGradingNeighbours(cache, stage.frame, point, edge, counts, total, older, listed);
    const int counted = rules.count_all ? total : older;

    if (counted > rules.threshold) {
        relaxedStore(point.confirmed_flag, static_cast<uint8_t>(1));
        if (level == 0 && judged_off) {
            if (!stage.updates.below(limit)) return;
            orQuality(point, kOrdinaryOnly);
            emit(stage, point);
            return;
        }
        mergeQuality(point, grader.code(counts, total));
        if (edge < 0.5f) propagateQuality(stage, &point, listed, edge, level);
        if (!stage.updates.below(limit)) return;
        saturateSettledQuality(point);
        emit(stage, point);
        return;
    }

    if (rules.hand_on_unconfirmed && stage.updates.below(limit)) {
        if (level == 0 && judged_off) orQuality(point, kOrdinaryOnly);
        emit(stage, point);
    }
}

}  // namespace

int preparePerPoint(const FrameStage& stage, int count, const int32_t* frame_indices) {
    if (count < 1 || frame_indices == nullptr) return 1;
    const double resolution = stage.volume.resolution();
    PerPointRules rules;
    rules.limit = stage.handOffLimit();
    // Very fine voxels see few neighbours per frame: count every neighbour
    // and ask for fewer.
    rules.count_all = resolution <= 0.08;
    rules.threshold = resolution <= 0.039 ? 2 : kConfirmNeighbours;
    rules.hand_on_unconfirmed = resolution <= 0.028 || stage.frame < 10;
    const QualityGrader grader(stage.volume.params(), stage.volume.resolution());

    // Intake has ended: no block is inserted until the frame ends, so each
    // thread's walks share a frozen cache.
    LoopShares shares(count, stage.team.size(), kPointsPerChunk);
    stage.team.run([&](int member) {
        BlockCache cache(stage.volume, BlockCache::Mode::Frozen);
        int begin = 0, end = 0;
        while (stage.team.keepGoing(member) && shares.next(member, begin, end)) {
            for (int i = begin; i < end; ++i) {
                if (frame_indices[i] >= 0)
                    preparePoint(stage, cache, grader, rules, i, frame_indices[i]);
            }
        }
    });
    return 0;
}

void propagateQuality(const FrameStage& stage, FusionPoint* centre, const NeighbourList& older,
                      float edge, int level) {
    const int n = older.count;
    if (centre == nullptr || n < 1 || level < 0 || level > 3) return;

    int sum[4] = {0, 0, 0, 0};
    int top_full = 0;
    for (int j = 0; j < n; ++j) {
        const uint16_t code = relaxedLoad(older.records[j]->quality_code);
        for (int i = 0; i < 4; ++i) sum[i] += nibble(code, i);
        if (nibble(code, 3) == 15) ++top_full;
    }
    int avg[4];
    for (int i = 0; i < 4; ++i) avg[i] = sum[i] / n;
    const double full_share = static_cast<double>(top_full) / n;

    if (avg[level] > nibble(relaxedLoad(centre->quality_code), level)) {
        const int top = full_share >= 0.8 ? 15 : avg[3];
        relaxedStore(centre->quality_code,
                     static_cast<uint16_t>(avg[0] | avg[1] << 4 | avg[2] << 8 | top << 12));
    }
    if (edge >= 0.5f) return;

    for (int j = 0; j < n; ++j) {
        FusionPoint& neighbour = *older.records[j];
        if (relaxedLoad(neighbour.view_id) == -1) continue;
        uint16_t code = relaxedLoad(neighbour.quality_code);
        if (nibble(code, level) >= avg[level]) continue;
        for (int i = 0; i < 4; ++i) {
            if (avg[i] > nibble(code, i)) {
                code = static_cast<uint16_t>((code & ~(0xF << (4 * i))) | (avg[i] << (4 * i)));
            }
        }
        relaxedStore(neighbour.quality_code, code);
        if (!stage.updates.below(stage.handOffLimit())) continue;
        saturateSettledQuality(neighbour);
        emit(stage, neighbour);
    }
}

}  // namespace fusion
