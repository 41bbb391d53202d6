#include <algorithm>
#include <cmath>

#include "frame/NeighbourhoodScan.h"

#include "frame/NeighbourTables.h"
#include "volume/SharedFields.h"

namespace fusion {
namespace {

// Calls step(record, index, shell_flag) for every voxel of the 5 x 5 x 5 cube
// around `centre` whose side facing the centre's normal holds an observed
// record. One read-only block lookup per touched block, no locks, no
// allocation: records are read as they stand while other threads insert.
template <class Step>
void walkNeighbourhood(const Volume& volume, const FusionPoint& centre, Step&& step) {
    // The centre is a shared record too: a second stage may be giving it a
    // new normal while this walk runs.
    const float p[3] = {relaxedLoad(centre.position[0]), relaxedLoad(centre.position[1]),
                        relaxedLoad(centre.position[2])};
    const float normal[3] = {relaxedLoad(centre.normal[0]), relaxedLoad(centre.normal[1]),
                             relaxedLoad(centre.normal[2])};
    if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2])) return;

    const GlobalParams& params = volume.params();
    const Int3 voxel = voxelOf(p, volume.resolution());
    const Int3 block = blockOf(voxel, params);
    const int row = localIndexOf(voxel, block, params);

    const NeighbourTables& tables = neighbourTables();
    const NeighbourBlockEntry* entries = tables.neighbour_block_table[row];
    const int16_t* locals = tables.neighbour_voxel_table[row];
    const uint8_t* shell = tables.neighbour_shell_flags[row];

    int k = 0;
    for (int e = 0; e < NeighbourTables::kBlocksPerRow && entries[e].n > 0; ++e) {
        const NeighbourBlockEntry& entry = entries[e];
        const int end = k + entry.n;
        const Voxel* voxels = volume.blockVoxels(
            volume.findBlock({block.x + entry.dx, block.y + entry.dy, block.z + entry.dz}));
        if (voxels == nullptr) {
            k = end;
            continue;
        }
        for (; k < end; ++k) {
            const FoundPoint found = volume.pickSide(voxels[locals[k]], normal);
            if (!found || relaxedLoad(found.record->observation_count) == 0) continue;
            step(*found.record, found.index, shell[k]);
        }
    }
}

// Tier of the device tuning: coarser voxels expect fewer sub-cell hits.
int tuningTier(float size) noexcept {
    const double s = size;
    if (s >= 1.0) return 0;
    if (s >= 0.5) return 1;
    if (s >= 0.1) return 2;
    return 3;
}

}  // namespace

void countConfirmingNeighbours(const Volume& volume, int32_t frame, const FusionPoint& centre,
                               int& total, int& current, uint32_t& frame_tag, NeighbourList& older) {
    total = 0;
    current = 0;
    frame_tag = kFrameTagNone;
    older.count = 0;
    walkNeighbourhood(volume, centre, [&](FusionPoint& record, int32_t index, uint8_t) {
        // Intake stamps records with a compare-and-exchange while we read.
        const int32_t stamp = relaxedLoad(record.frame_stamp);
        if (stamp != frame) {
            const uint32_t tag = static_cast<uint32_t>(stamp);
            if (frame_tag == kFrameTagNone) {
                frame_tag = tag;
            } else if (frame_tag != tag) {
                frame_tag = kFrameTagMixed;
            }
            older.append(&record, index);
        } else {
            ++current;
        }
        ++total;
    });
    current = total - current;
}

void collectGradingNeighbours(const Volume& volume, int32_t frame, const FusionPoint& centre,
                              float edge, uint16_t counts[125], int& total, int& current,
                              NeighbourList& older) {
    total = 0;
    current = 0;
    older.count = 0;
    // Fine sub-cells pass grades to the whole cube, medium ones only to the
    // 27 inner voxels, coarse ones to nobody.
    const bool list_every = static_cast<double>(edge) < 0.1;
    const bool list_inner = edge < 0.5f;
    walkNeighbourhood(volume, centre, [&](FusionPoint& record, int32_t index, uint8_t shell) {
        const int32_t stamp = relaxedLoad(record.frame_stamp);
        if (stamp != frame && (list_every || (list_inner && shell == 0))) {
            older.append(&record, index);
        }
        counts[total] = relaxedLoad(record.sub_cell_counts);
        ++total;
        if (stamp == frame) ++current;
    });
    current = total - current;
}

bool collectNeighbourPositions(const Volume& volume, const FusionPoint& centre,
                               float positions[125][3], int& total, int minimum) {
    total = 0;
    walkNeighbourhood(volume, centre, [&](FusionPoint& record, int32_t, uint8_t) {
        positions[total][0] = relaxedLoad(record.position[0]);
        positions[total][1] = relaxedLoad(record.position[1]);
        positions[total][2] = relaxedLoad(record.position[2]);
        ++total;
    });
    return total >= minimum;
}

namespace {

// The quality code of `count` neighbours whose sub-cell counts countsAt(i)
// gives, in neighbour order (the float sums depend on it).
template <class CountsAt>
uint16_t gradeSubCells(const GlobalParams& params, int count, float size, CountsAt&& countsAt) {
    const int32_t* tuning = params.device_tuning + 8 * tuningTier(size);
    int hits[4] = {0, 0, 0, 0};
    float sums[4] = {0.0f, 0.0f, 0.0f, 0.0f};

    for (int i = 0; i < count; ++i) {
        const uint16_t c = countsAt(i);
        if (c == 0) continue;  // an empty mask
        const int octants = octantsOf(c);
        const int cells = cellsOf(c);
        // Grades 0 and 1 judge how the hits spread over the voxel, grades
        // 2 and 3 how densely they cover it.
        const int values[4] = {octants, octants, cells, cells};
        for (int j = 0; j < 4; ++j) {
            const int32_t gate = tuning[2 * j + 1];
            if (values[j] < gate) continue;
            ++hits[j];
            sums[j] += std::min(static_cast<float>(values[j]) / static_cast<float>(gate), 2.0f);
        }
    }

    uint16_t code = 0;
    for (int j = 0; j < 4; ++j) {
        if (hits[j] == 0) continue;
        const float expected = static_cast<float>(tuning[2 * j]);
        const float score = std::min(sums[j] * (static_cast<float>(hits[j]) / expected), 1.0f);
        // score is at most 1; a degenerate tuning row (zero or negative
        // gates) can make it negative or NaN, which grades as 0.
        const float scaled = score * 15.0f;
        const int nibble = scaled > 0.0f ? static_cast<int>(scaled) : 0;
        code = static_cast<uint16_t>(code | (nibble << (4 * j)));
    }
    return code;
}

}  // namespace

uint16_t qualityCodeOfCounts(const GlobalParams& params, const uint16_t* counts, int count,
                             float size) {
    return gradeSubCells(params, count, size, [counts](int i) { return counts[i]; });
}

uint16_t computeQualityCode(const GlobalParams& params, const uint64_t* masks, int count,
                            float size) {
    return gradeSubCells(params, count, size, [masks](int i) { return subCellCounts(masks[i]); });
}

}  // namespace fusion
