#pragma once

// The 5 x 5 x 5 neighbourhood walk around a stored point, in its three
// variants, and the quality code graded from the neighbours' sub-cell masks.
// Read-only: the walk takes no lock and reads records as they stand while
// other threads insert.

#include <cstdint>

#include "volume/BlockCache.h"
#include "volume/GlobalParams.h"
#include "volume/Records.h"
#include "volume/Volume.h"

namespace fusion {

// Frame tag of the confirming walk: no older neighbour seen yet, and older
// neighbours seen from at least two different frames.
constexpr uint32_t kFrameTagNone = 0xFFFFFFFFu;
constexpr uint32_t kFrameTagMixed = 0xFFFFFFFEu;

// The facing neighbours a walk lists: at most the 125 voxels of the cube,
// kept on the caller's stack.
struct NeighbourList {
    static constexpr int kMax = 125;
    FusionPoint* records[kMax];
    int32_t indices[kMax];
    int count = 0;
    void append(FusionPoint* record, int32_t index) noexcept {
        if (count < kMax) {
            records[count] = record;
            indices[count] = index;
            ++count;
        }
    }
};

// Confirming variant: `total` facing neighbours with observations, `older`
// of them not stamped with `frame`, the frame tag of the older ones, and the
// older neighbours themselves.
void countConfirmingNeighbours(const Volume& volume, int32_t frame, const FusionPoint& centre,
                               int& total, int& older, uint32_t& frame_tag, NeighbourList& listed);

// Grading variant: the sub-cell counts (subCellCounts of the mask, kept with
// the record) of every facing neighbour (in `counts`, `total` of them), the
// older count, and the older neighbours listed according to the sub-voxel
// edge: all below 0.1, the 27 inner ones below 0.5, none from 0.5 on.
void collectGradingNeighbours(const Volume& volume, int32_t frame, const FusionPoint& centre,
                              float edge, uint16_t counts[125], int& total, int& older,
                              NeighbourList& listed);

// The walks through a cache of one thread (see BlockCache): the same
// results as the plain walks, visiting only the voxels that the blocks'
// occupancy marks.
void countConfirmingNeighbours(BlockCache& cache, int32_t frame, const FusionPoint& centre,
                               int& total, int& older, uint32_t& frame_tag, NeighbourList& listed);
void collectGradingNeighbours(BlockCache& cache, int32_t frame, const FusionPoint& centre,
                              float edge, uint16_t counts[125], int& total, int& older,
                              NeighbourList& listed);

// Position variant: the neighbours' positions; true when at least `minimum`
// were found.
bool collectNeighbourPositions(const Volume& volume, const FusionPoint& centre,
                               float positions[125][3], int& total, int minimum);
bool collectNeighbourPositions(BlockCache& cache, const FusionPoint& centre,
                               float positions[125][3], int& total, int minimum);

// The four-nibble quality code of `count` sub-cell masks, with the device
// tuning tier selected by `size` (the resolution).
uint16_t computeQualityCode(const GlobalParams& params, const uint64_t* masks, int count,
                            float size);
// The same code from the masks' sub-cell counts (subCellCounts), in the same
// order: what grading uses, as the records keep the counts.
uint16_t qualityCodeOfCounts(const GlobalParams& params, const uint16_t* counts, int count,
                             float size);

// qualityCodeOfCounts for one tuning tier, with what each count value adds
// to each grade worked out once (per frame, say): grading a neighbourhood
// then takes no division and no branch per neighbour. The codes are
// bit-identical to computeQualityCode's: same float values summed in the
// same order.
class QualityGrader {
public:
    QualityGrader(const GlobalParams& params, float size);
    uint16_t code(const uint16_t* counts, int count) const noexcept;

private:
    static constexpr int kValues = 256;  // any byte of a counts word indexes safely
    // What one count value adds, as four lanes summed side by side: the
    // sums of two grades, then their hits (0 or 1; float sums of them are
    // exact). Grades 0 and 1 are looked up by the octant count, 2 and 3 by
    // the cell count. A value below a gate adds 0 to that grade's sum, which
    // leaves the sum as it was (it never is -0): each lane adds the same
    // floats in the same order as computeQualityCode's loop.
    struct alignas(16) Lanes {
        float lane[4];
    };
    Lanes m_by_octants[kValues];
    Lanes m_by_cells[kValues];
    float m_expected[4];
};

}  // namespace fusion
