#include "frame/NeighbourhoodScan.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "frame/NeighbourTables.h"
#include "frame/Simd.h"
#include "platform/portability.h"
#include "volume/SharedFields.h"

namespace fusion {
namespace {

// Where a centre's cube lies: its normal, its block and its row of the
// neighbour tables. False when the centre has no usable position.
struct Cube {
    float normal[3];
    Int3 block;
    int row;
};

bool cubeOf(const Volume& volume, const FusionPoint& centre, Cube& cube) {
    // The centre is a shared record too: a second stage may be giving it a
    // new normal while this walk runs.
    const float p[3] = {relaxedLoad(centre.position[0]), relaxedLoad(centre.position[1]),
                        relaxedLoad(centre.position[2])};
    for (int k = 0; k < 3; ++k) cube.normal[k] = relaxedLoad(centre.normal[k]);
    if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2])) return false;
    const GlobalParams& params = volume.params();
    const Int3 voxel = voxelOf(p, volume.resolution());
    cube.block = blockOf(voxel, params);
    cube.row = localIndexOf(voxel, cube.block, params);
    return true;
}

// The record of `voxel` facing the cube's normal, when it holds observations.
template <class Step>
inline void visitVoxel(const Volume& volume, const Voxel& voxel, const float normal[3],
                       uint8_t shell, Step& step) {
    const FoundPoint found = volume.pickSide(voxel, normal);
    if (!found || relaxedLoad(found.record->observation_count) == 0) return;
    step(*found.record, found.index, shell);
}

// Calls step(record, index, shell_flag) for every voxel of the 5 x 5 x 5 cube
// around `centre` whose side facing the centre's normal holds an observed
// record. One read-only block lookup per touched block, no locks, no
// allocation: records are read as they stand while other threads insert.
template <class Step>
void walkNeighbourhood(const Volume& volume, const FusionPoint& centre, Step&& step) {
    Cube cube;
    if (!cubeOf(volume, centre, cube)) return;
    const NeighbourTables& tables = neighbourTables();
    const NeighbourBlockEntry* entries = tables.neighbour_block_table[cube.row];
    const int16_t* locals = tables.neighbour_voxel_table[cube.row];
    const uint8_t* shell = tables.neighbour_shell_flags[cube.row];

    int k = 0;
    for (int e = 0; e < NeighbourTables::kBlocksPerRow && entries[e].n > 0; ++e) {
        const NeighbourBlockEntry& entry = entries[e];
        const int end = k + entry.n;
        const Voxel* voxels = volume.blockVoxels(volume.findBlock(
            {cube.block.x + entry.dx, cube.block.y + entry.dy, cube.block.z + entry.dz}));
        if (voxels == nullptr) {
            k = end;
            continue;
        }
        for (; k < end; ++k) visitVoxel(volume, voxels[locals[k]], cube.normal, shell[k], step);
    }
}

// Where the cube lies inside one of the blocks it touches, per axis: for a
// centre at local coordinate c (0 .. 7), the block `step` blocks away
// (-1, 0, 1) and a reach of 1 (the inner box) or 2 (the whole cube), the
// local coordinates low .. high it covers (none when low > high), as a bit
// row (x) and as the bits 8y of the rows it covers (y). Slice masks of the
// 8 x 8 z-slices are then one product: x bits times y rows, no carries.
struct CubeSpans {
    uint8_t x_bits[3][8][3];
    uint64_t y_rows[3][8][3];
    int8_t low[3][8][3];
    int8_t high[3][8][3];

    CubeSpans() {
        for (int reach = 0; reach < 3; ++reach)
            for (int c = 0; c < 8; ++c)
                for (int step = -1; step <= 1; ++step) {
                    const int from = std::max(c - reach - 8 * step, 0);
                    const int to = std::min(c + reach - 8 * step, 7);
                    uint8_t bits = 0;
                    uint64_t rows = 0;
                    for (int v = from; v <= to; ++v) {
                        bits = static_cast<uint8_t>(bits | (1u << v));
                        rows |= uint64_t{1} << (8 * v);
                    }
                    x_bits[reach][c][step + 1] = bits;
                    y_rows[reach][c][step + 1] = rows;
                    low[reach][c][step + 1] = static_cast<int8_t>(from);
                    high[reach][c][step + 1] = static_cast<int8_t>(to);
                }
    }
};

const CubeSpans& cubeSpans() {
    static const CubeSpans spans;
    return spans;
}

// The same walk through a cache: blocks come from it, and of the cube's
// voxels in each block only those the block's occupancy marks are visited,
// in the same order (the table lists a block's voxels by ascending local
// index, which is the order of the occupancy bits). The cube is the box of
// offsets -2 .. 2 around the centre; a voxel is on its shell unless it lies
// in the inner box of offsets -1 .. 1. The facing side is chosen as
// Volume::pickSide does, with the point pool's locator read once.
template <class Step>
void walkNeighbourhood(BlockCache& cache, const FusionPoint& centre, Step&& step) {
    const Volume& volume = cache.volume();
    Cube cube;
    if (!cubeOf(volume, centre, cube)) return;
    const int cx = cube.row & 7, cy = (cube.row >> 3) & 7, cz = cube.row >> 6;
    const NeighbourBlockEntry* entries = neighbourTables().neighbour_block_table[cube.row];
    const CubeSpans& spans = cubeSpans();
    const RecordLocator records = volume.points().locator();
    const float* normal = cube.normal;

    for (int e = 0; e < NeighbourTables::kBlocksPerRow && entries[e].n > 0; ++e) {
        const NeighbourBlockEntry& entry = entries[e];
        const BlockCache::Block& block = cache.near(cube.block, entry.dx, entry.dy, entry.dz);
        if (block.voxels == nullptr) continue;
        const int sx = entry.dx + 1, sy = entry.dy + 1, sz = entry.dz + 1;
        const uint64_t slice = spans.x_bits[2][cx][sx] * spans.y_rows[2][cy][sy];
        const uint64_t inner_slice = spans.x_bits[1][cx][sx] * spans.y_rows[1][cy][sy];
        const int inner_low = spans.low[1][cz][sz], inner_high = spans.high[1][cz][sz];
        for (int w = spans.low[2][cz][sz], last = spans.high[2][cz][sz]; w <= last; ++w) {
            uint64_t bits = block.occupancy[w].load(std::memory_order_acquire) & slice;
            const uint64_t inner = (w >= inner_low && w <= inner_high) ? inner_slice : 0;
            const Voxel* slice_voxels = block.voxels + 64 * w;
            while (bits != 0) {
                const int bit = platform::countTrailingZeros(bits);
                bits &= bits - 1;
                const FoundPoint found = pickFacingSide(slice_voxels[bit], normal, records);
                if (!found || relaxedLoad(found.record->observation_count) == 0) continue;
                step(*found.record, found.index,
                     static_cast<uint8_t>(((inner >> bit) & 1u) != 0 ? 0 : 1));
            }
        }
    }
}

// The grading walk's everyday case, when nothing is listed (sub-voxel edges
// of 0.5 and up): the sub-cell counts of the facing neighbours in walk
// order, and how many of them the current frame stamped. The same visits
// as walkNeighbourhood(cache, ...) with pickFacingSide, written out with few
// live values so that the loop keeps them in registers: it is the engine's
// hottest.
int gradingCounts(BlockCache& cache, int32_t frame, const FusionPoint& centre, uint16_t counts[125],
                  int& current_out) {
    const Volume& volume = cache.volume();
    Cube cube;
    current_out = 0;
    if (!cubeOf(volume, centre, cube)) return 0;
    const int cx = cube.row & 7, cy = (cube.row >> 3) & 7, cz = cube.row >> 6;
    const NeighbourBlockEntry* entries = neighbourTables().neighbour_block_table[cube.row];
    const CubeSpans& spans = cubeSpans();
    const RecordLocator records = volume.points().locator();
    const float n0 = cube.normal[0], n1 = cube.normal[1], n2 = cube.normal[2];
    auto faces = [n0, n1, n2](const FusionPoint* r) {
        return relaxedLoad(r->normal[0]) * n0 + relaxedLoad(r->normal[1]) * n1 +
                   relaxedLoad(r->normal[2]) * n2 >
               0.0f;
    };
    int total = 0, current = 0;
    for (int e = 0; e < NeighbourTables::kBlocksPerRow && entries[e].n > 0; ++e) {
        const NeighbourBlockEntry& entry = entries[e];
        const BlockCache::Block& block = cache.near(cube.block, entry.dx, entry.dy, entry.dz);
        if (block.voxels == nullptr) continue;
        const int sx = entry.dx + 1, sy = entry.dy + 1, sz = entry.dz + 1;
        const uint64_t slice = spans.x_bits[2][cx][sx] * spans.y_rows[2][cy][sy];
        const Voxel* const voxels = block.voxels;
        const std::atomic<uint64_t>* const occupancy = block.occupancy;
        for (int w = spans.low[2][cz][sz], last = spans.high[2][cz][sz]; w <= last; ++w) {
            uint64_t bits = occupancy[w].load(std::memory_order_acquire) & slice;
            const Voxel* const slice_voxels = voxels + 64 * w;
            while (bits != 0) {
                const Voxel& voxel = slice_voxels[platform::countTrailingZeros(bits)];
                bits &= bits - 1;
                const int32_t side0 = voxel.side(0);
                const FusionPoint* record = nullptr;
                if (side0 >= 0) {
                    record = records.at(side0);
                    if (!faces(record)) record = nullptr;
                } else if (side0 != -1) {
                    continue;
                }
                if (record == nullptr) {
                    const int32_t side1 = voxel.side(1);
                    if (side1 < 0) continue;
                    record = records.at(side1);
                    if (!faces(record)) continue;
                }
                if (relaxedLoad(record->observation_count) == 0) continue;
                current += relaxedLoad(record->frame_stamp) == frame ? 1 : 0;
                counts[total++] = relaxedLoad(record->sub_cell_counts);
            }
        }
    }
    current_out = current;
    return total;
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

namespace {

// The variant steps, shared by the plain and the cached walks.
template <class Walk>
void confirmingWalk(Walk&& walk, int32_t frame, int& total_out, int& older_out,
                    uint32_t& frame_tag_out, NeighbourList& older) {
    int total = 0;
    int current = 0;
    uint32_t frame_tag = kFrameTagNone;
    older.count = 0;
    walk([&](FusionPoint& record, int32_t index, uint8_t) {
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
    total_out = total;
    older_out = total - current;
    frame_tag_out = frame_tag;
}

template <class Walk>
void gradingWalk(Walk&& walk, int32_t frame, float edge, uint16_t counts[125], int& total_out,
                 int& older_out, NeighbourList& older) {
    int total = 0;
    int current = 0;
    older.count = 0;
    // Fine sub-cells pass grades to the whole cube, medium ones only to the
    // 27 inner voxels, coarse ones to nobody.
    const bool list_every = static_cast<double>(edge) < 0.1;
    const bool list_inner = edge < 0.5f;
    walk([&](FusionPoint& record, int32_t index, uint8_t shell) {
        const int32_t stamp = relaxedLoad(record.frame_stamp);
        if (stamp != frame && (list_every || (list_inner && shell == 0)))
            older.append(&record, index);
        counts[total] = relaxedLoad(record.sub_cell_counts);
        ++total;
        current += stamp == frame ? 1 : 0;
    });
    total_out = total;
    older_out = total - current;
}

template <class Walk>
bool positionWalk(Walk&& walk, float positions[125][3], int& total_out, int minimum) {
    int total = 0;
    walk([&](FusionPoint& record, int32_t, uint8_t) {
        positions[total][0] = relaxedLoad(record.position[0]);
        positions[total][1] = relaxedLoad(record.position[1]);
        positions[total][2] = relaxedLoad(record.position[2]);
        ++total;
    });
    total_out = total;
    return total >= minimum;
}

// The walk around `centre` in `where` (a volume, or a cache over one), as a
// callable that takes the step.
template <class Where>
auto around(Where& where, const FusionPoint& centre) {
    return [&where, &centre](auto&& step) { walkNeighbourhood(where, centre, step); };
}

}  // namespace

void countConfirmingNeighbours(const Volume& volume, int32_t frame, const FusionPoint& centre,
                               int& total, int& current, uint32_t& frame_tag,
                               NeighbourList& older) {
    confirmingWalk(around(volume, centre), frame, total, current, frame_tag, older);
}

void countConfirmingNeighbours(BlockCache& cache, int32_t frame, const FusionPoint& centre,
                               int& total, int& current, uint32_t& frame_tag,
                               NeighbourList& older) {
    confirmingWalk(around(cache, centre), frame, total, current, frame_tag, older);
}

void collectGradingNeighbours(const Volume& volume, int32_t frame, const FusionPoint& centre,
                              float edge, uint16_t counts[125], int& total, int& current,
                              NeighbourList& older) {
    gradingWalk(around(volume, centre), frame, edge, counts, total, current, older);
}

void collectGradingNeighbours(BlockCache& cache, int32_t frame, const FusionPoint& centre,
                              float edge, uint16_t counts[125], int& total, int& current,
                              NeighbourList& older) {
    if (edge < 0.5f) {
        gradingWalk(around(cache, centre), frame, edge, counts, total, current, older);
        return;
    }
    // Coarse sub-cells list nobody.
    older.count = 0;
    int stamped = 0;
    total = gradingCounts(cache, frame, centre, counts, stamped);
    current = total - stamped;
}

bool collectNeighbourPositions(const Volume& volume, const FusionPoint& centre,
                               float positions[125][3], int& total, int minimum) {
    return positionWalk(around(volume, centre), positions, total, minimum);
}

bool collectNeighbourPositions(BlockCache& cache, const FusionPoint& centre,
                               float positions[125][3], int& total, int minimum) {
    return positionWalk(around(cache, centre), positions, total, minimum);
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

QualityGrader::QualityGrader(const GlobalParams& params, float size) {
    const int32_t* tuning = params.device_tuning + 8 * tuningTier(size);
    float share[4][kValues];
    float reaches[4][kValues];
    for (int j = 0; j < 4; ++j) {
        const int32_t gate = tuning[2 * j + 1];
        m_expected[j] = static_cast<float>(tuning[2 * j]);
        // Value 0 is only ever an empty mask, which counts for nothing.
        share[j][0] = 0.0f;
        reaches[j][0] = 0.0f;
        for (int v = 1; v < kValues; ++v) {
            const bool reach = v >= gate;
            reaches[j][v] = reach ? 1.0f : 0.0f;
            share[j][v] =
                reach ? std::min(static_cast<float>(v) / static_cast<float>(gate), 2.0f) : 0.0f;
        }
    }
    for (int v = 0; v < kValues; ++v) {
        m_by_octants[v] = Lanes{{share[0][v], share[1][v], reaches[0][v], reaches[1][v]}};
        m_by_cells[v] = Lanes{{share[2][v], share[3][v], reaches[2][v], reaches[3][v]}};
    }
}

uint16_t QualityGrader::code(const uint16_t* counts, int count) const noexcept {
    alignas(16) float spread[4] = {0.0f, 0.0f, 0.0f, 0.0f};  // sums 0, 1, hits 0, 1
    alignas(16) float cover[4] = {0.0f, 0.0f, 0.0f, 0.0f};   // sums 2, 3, hits 2, 3
#if KELVANE_HAVE_SSE2
    // Four lanes in one register: each lane's additions are the scalar ones.
    __m128 spread_lanes = _mm_setzero_ps(), cover_lanes = _mm_setzero_ps();
    for (int i = 0; i < count; ++i) {
        spread_lanes =
            _mm_add_ps(spread_lanes, _mm_load_ps(m_by_octants[octantsOf(counts[i])].lane));
        cover_lanes = _mm_add_ps(cover_lanes, _mm_load_ps(m_by_cells[cellsOf(counts[i])].lane));
    }
    _mm_store_ps(spread, spread_lanes);
    _mm_store_ps(cover, cover_lanes);
#else
    for (int i = 0; i < count; ++i) {
        const float* by_octants = m_by_octants[octantsOf(counts[i])].lane;
        const float* by_cells = m_by_cells[cellsOf(counts[i])].lane;
        for (int k = 0; k < 4; ++k) spread[k] += by_octants[k];
        for (int k = 0; k < 4; ++k) cover[k] += by_cells[k];
    }
#endif
    const float sums[4] = {spread[0], spread[1], cover[0], cover[1]};
    const float hits[4] = {spread[2], spread[3], cover[2], cover[3]};
    uint16_t code = 0;
    for (int j = 0; j < 4; ++j) {
        if (hits[j] == 0.0f) continue;
        const float score = std::min(sums[j] * (hits[j] / m_expected[j]), 1.0f);
        const float scaled = score * 15.0f;
        const int nibble = scaled > 0.0f ? static_cast<int>(scaled) : 0;
        code = static_cast<uint16_t>(code | (nibble << (4 * j)));
    }
    return code;
}

uint16_t qualityCodeOfCounts(const GlobalParams& params, const uint16_t* counts, int count,
                             float size) {
    return QualityGrader(params, size).code(counts, count);
}

uint16_t computeQualityCode(const GlobalParams& params, const uint64_t* masks, int count,
                            float size) {
    return gradeSubCells(params, count, size, [masks](int i) { return subCellCounts(masks[i]); });
}

}  // namespace fusion
