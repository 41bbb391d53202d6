#pragma once

// One frame's way into the volume: intake stores every valid point; then
// grouped (non-blocking frames) or per-point (blocking frames) preparation
// confirms the points whose surroundings are trustworthy, grades them and
// reports them to the host.

#include <cstdint>
#include <vector>

#include "frame/NeighbourhoodScan.h"
#include "fusion/Kelvane.h"
#include "volume/Placement.h"
#include "volume/Team.h"
#include "volume/UpdateBuffer.h"
#include "volume/Volume.h"

namespace fusion {

// What preparation needs from the engine for the current frame.
struct FrameStage {
    Volume& volume;
    int32_t frame;          // number of the current frame
    bool quality_judge;     // judging off grades ordinary points 15 at once
    Team& team;             // who runs the loops
    UpdateBuffer& updates;  // the frame's first-stage records
    // Hand-offs stop ten records before the buffer is full, leaving room for
    // the records a hand-off may still be writing.
    int32_t handOffLimit() const { return updates.capacity() - 10; }
};

// Stores the frame's valid points (a parallel loop). frame_indices[i] gets
// the index of the record point i landed in when point i is the first of
// this frame to reach that record, else -1.
void insertFramePoints(Volume& volume, const PlacementRules& rules, int32_t frame, Team& team,
                       const PointData* points, int count, int32_t* frame_indices);

// Grouped mode: `views` split the frame into runs of consecutive points; a
// run is confirmed by one confirmed point or one multi-frame neighbourhood,
// and every indexed point of a confirmed run is graded. 1 on missing input
// (with a printed line), else 0.
int prepareGrouped(const FrameStage& stage, const PointData* points, int count,
                   const std::vector<std::vector<int>>& views, const int32_t* frame_indices);

// Grades one confirmed point and hands it on: 0 handed on, 1 not. The
// second form walks through the caller's cache (frozen: during the frame's
// preparation no block is inserted) and grades with the frame's grader.
int gradePoint(const FrameStage& stage, FusionPoint* point, int32_t index);
int gradePoint(const FrameStage& stage, BlockCache& cache, const QualityGrader& grader,
               FusionPoint* point, int32_t index);

// Per-point mode: each point is confirmed by its own neighbour count.
// 1 without work when there are no points, else 0.
int preparePerPoint(const FrameStage& stage, int count, const int32_t* frame_indices);

// Passes the average grades of `older` on to `centre` and, for sub-voxel
// edges below 0.5, raises lagging neighbours and reports them.
void propagateQuality(const FrameStage& stage, FusionPoint* centre, const NeighbourList& older,
                      float edge, int level);

}  // namespace fusion
