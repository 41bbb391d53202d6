#include "frame/FrameIntake.h"

#include <cmath>
#include <cstdio>

#include "volume/LoopShares.h"
#include "volume/SharedFields.h"

namespace fusion {

namespace {

constexpr float kFloatEpsilon = 1.1920929e-7f;
// Points a team member places at a time: a few scan rows' worth of blocks.
constexpr int kIntakeChunk = 256;

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
    t.sub_cell_counts = 0;
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

}  // namespace

namespace {

// Intake of the frame's point i (see insertFramePoints).
void placeFramePoint(Volume& volume, const PlacementRules& rules, int32_t frame,
                     const PointData& in, PlacementCache& cache, int32_t& frame_index) {
    frame_index = -1;
    // A position whose voxel coordinate would not fit the 32-bit grid is
    // as unusable as a non-finite one: no voxel address can be formed.
    if (!isUsablePosition(in.position) || !placeable(in.position, volume.resolution())) {
        std::printf("--- error data ---\n");
        return;
    }
    const FoundPoint stored =
        addObservation(volume, rules, in.position, intakeTemplate(in), &cache);
    if (!stored) return;
    // Several input points of one frame may land on one stored record;
    // only the one that moves its stamp to this frame lists it.
    int32_t stamp = relaxedLoad(stored.record->frame_stamp);
    while (stamp != frame) {
        if (compareExchange32(stored.record->frame_stamp, stamp, frame)) {
            frame_index = stored.index;
            return;
        }
        stamp = relaxedLoad(stored.record->frame_stamp);
    }
}

}  // namespace

void insertFramePoints(Volume& volume, const PlacementRules& rules, int32_t frame, Team& team,
                       const PointData* points, int count, int32_t* frame_indices) {
    // Each member remembers the blocks of its recent points; consecutive
    // points of a scan row share them.
    LoopShares shares(count, team.size(), kIntakeChunk);
    team.run([&](int member) {
        PlacementCache cache;
        int begin = 0, end = 0;
        while (team.keepGoing(member) && shares.next(member, begin, end)) {
            for (int i = begin; i < end; ++i)
                placeFramePoint(volume, rules, frame, points[i], cache, frame_indices[i]);
        }
    });
}

}  // namespace fusion
