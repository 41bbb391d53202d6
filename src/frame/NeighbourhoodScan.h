#pragma once

// The 5 x 5 x 5 neighbourhood walk around a stored point, in its three
// variants, and the quality code graded from the neighbours' sub-cell masks.
// Read-only: the walk takes no lock and reads records as they stand while
// other threads insert.

#include <cstdint>

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

// What the walks of one thread remember between centres: the blocks they
// looked up (consecutive centres of a frame share nearly all of them) and,
// per block, which voxels hold a side, so that a walk visits only those
// instead of all 125 voxels of its cube.
//
// The occupancy is a snapshot: it may only be used while no voxel side can
// be created, so that it stays a superset of the sides (a walk still reads
// the sides of every voxel it marks, so sides emptied meanwhile are seen
// as empty). That holds for a frame's confirmation and grading (intake has
// ended; second stages running meanwhile only empty sides) and for the
// blocking second stage, not for the queued second stages, which run while
// later frames insert. Blocks are never removed while frames run, and none
// are inserted in those stages either, so remembered lookups stay right.
class WalkCache {
public:
    explicit WalkCache(const Volume& volume) : m_volume(volume) {}
    WalkCache(const WalkCache&) = delete;
    WalkCache& operator=(const WalkCache&) = delete;

    struct Block {
        Int3 coords;
        const Voxel* voxels;     // null: no such block
        uint64_t rows_known;     // bit 8z + y: row y of slice z is in `occupied`
        uint64_t occupied[8];    // bit L & 63 of word L >> 6 (slice z = L >> 6):
                                 // voxel L holds a side
    };
    const Volume& volume() const { return m_volume; }
    // The block at block coordinates b (looked up on first use).
    Block& block(const Int3& b);
    // Makes the occupancy of slices first .. last known, in the rows that
    // `slice` (a mask of one 8 x 8 slice, bit x + 8y) touches.
    static void fillOccupancy(Block& block, int first, int last, uint64_t slice);

    static constexpr int kSlots = 256;  // direct-mapped by block coordinates

private:
    const Volume& m_volume;
    Block m_slots[kSlots] = {};
    bool m_used[kSlots] = {};
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

// The confirming and grading variants through a cache (see WalkCache); the
// same results as the plain walks while the cache is valid.
void countConfirmingNeighbours(WalkCache& cache, int32_t frame, const FusionPoint& centre,
                               int& total, int& older, uint32_t& frame_tag, NeighbourList& listed);
void collectGradingNeighbours(WalkCache& cache, int32_t frame, const FusionPoint& centre,
                              float edge, uint16_t counts[125], int& total, int& older,
                              NeighbourList& listed);

// Position variant: the neighbours' positions; true when at least `minimum`
// were found.
bool collectNeighbourPositions(const Volume& volume, const FusionPoint& centre,
                               float positions[125][3], int& total, int minimum);
bool collectNeighbourPositions(WalkCache& cache, const FusionPoint& centre,
                               float positions[125][3], int& total, int minimum);

// The four-nibble quality code of `count` sub-cell masks, with the device
// tuning tier selected by `size` (the resolution).
uint16_t computeQualityCode(const GlobalParams& params, const uint64_t* masks, int count, float size);
// The same code from the masks' sub-cell counts (subCellCounts), in the same
// order: what grading uses, as the records keep the counts.
uint16_t qualityCodeOfCounts(const GlobalParams& params, const uint16_t* counts, int count,
                             float size);

}  // namespace fusion
