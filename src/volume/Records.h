#pragma once

// The three records of the voxel volume. Storage for them is reserved as
// zero pages, so each record's empty state is all-zero bytes: indices that
// mean "none" at -1 are stored biased by one. Accessors convert, so the rest
// of the engine sees the plain values (-1 = none, 0 = end of chain).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "volume/SpinLock.h"

namespace fusion {

// One hash bucket or excess-list entry.
struct HashEntry {
    int32_t x = 0, y = 0, z = 0;            // block coordinates
    std::atomic<int32_t> next_plus_one{0};  // 0 empty, 1 end of chain, k + 1 links entry k
    int32_t block_plus_one = 0;             // block index + 1; 0 none
    SpinLock lock;                          // guards the emptiness test and `next`

    // -1 empty, 0 occupied end of chain, otherwise the next (excess) entry.
    // Acquire pairs with publish(): coordinates and block index written
    // before the link are visible once the link is.
    int32_t next() const noexcept { return next_plus_one.load(std::memory_order_acquire) - 1; }
    void publishNext(int32_t next) noexcept {
        next_plus_one.store(next + 1, std::memory_order_release);
    }
    int32_t blockIndex() const noexcept { return block_plus_one - 1; }
    void setBlockIndex(int32_t block) noexcept { block_plus_one = block + 1; }
    bool holds(int32_t bx, int32_t by, int32_t bz) const noexcept {
        return x == bx && y == by && z == bz;
    }
};
static_assert(sizeof(HashEntry) == 24, "hash entry size drives the reserved table size");

// One voxel: up to two fused points, one per side of a thin surface.
// Sides change only through Volume::publishSide and Volume::clearSide, which
// keep the block's occupancy bits (VoxelPool) in step with them. The lock
// that guards side creation and every write of the sides' records is not
// stored here (VoxelPool::lockOf): placements take it for every
// observation, and the neighbourhood walks of other threads read these
// lines all the time.
struct Voxel {
    std::atomic<int32_t> side_plus_one[2];  // FusionPoint index + 1; 0 none

    int32_t side(int s) const noexcept {
        return side_plus_one[s].load(std::memory_order_acquire) - 1;
    }

private:
    friend class Volume;
    void setSide(int s, int32_t index) noexcept {
        side_plus_one[s].store(index + 1, std::memory_order_release);
    }
};
static_assert(sizeof(Voxel) == 8, "voxel size drives the chunk size");

// A fused surface point. The attribute word at byte 32 (scan_level,
// protected_flag, quality_code) is copied as one 32-bit word into output
// records and snapshots. The other fields are ordered for the neighbourhood
// walks, which read normal, frame stamp, observation count and sub-cell
// counts of every neighbour (position too, for normals): those lie in the
// first 32 bytes, so that most records give a walk what it needs from one
// cache line. The byte layout of snapshots does not follow this order.
struct FusionPoint {
    float position[3];
    float normal[3];
    int32_t frame_stamp;  // last frame that listed the record, -1 never
    uint16_t observation_count;
    // Derived from sub_voxel_mask and stored with it (see subCellCounts):
    // grading reads these two counts of every neighbour instead of counting
    // the mask's bits each time.
    uint16_t sub_cell_counts;
    uint8_t scan_level;       // 8 ordinary; 16/32/64 fine levels
    uint8_t protected_flag;   // 1 protected
    uint16_t quality_code;    // nibble k = grade of level k
    int32_t view_id;          // host identity, -1 none
    uint64_t sub_voxel_mask;  // bit z*16 + y*4 + x per hit 4x4x4 sub-cell
    uint8_t normal_update_count;
    uint8_t absorbed_flag;  // 1 emptied by layer merging, or a placeholder
    uint8_t confirmed_flag;
    uint8_t normal_fresh_flag;
};
static_assert(sizeof(FusionPoint) == 56, "FusionPoint is 56 bytes");
static_assert(offsetof(FusionPoint, scan_level) == 32, "attribute word sits at byte 32");
static_assert(offsetof(FusionPoint, sub_cell_counts) + sizeof(uint16_t) <= 32,
              "the fields every walk reads share the first 32 bytes");

// The eight 2 x 2 x 2 octants of the 4 x 4 x 4 sub-cells (bit x + 4y + 16z).
constexpr uint64_t kSubCellOctants[8] = {
    0x0000000000330033ull, 0x0000000000CC00CCull, 0x0000000033003300ull, 0x00000000CC00CC00ull,
    0x0033003300000000ull, 0x00CC00CC00000000ull, 0x3300330000000000ull, 0xCC00CC0000000000ull};

// Set bits of a sub-cell mask. Written out rather than left to the
// processor's popcount instruction, which a portable build cannot assume:
// the library call it would fall back to costs more than these operations.
constexpr int subCellsSet(uint64_t mask) noexcept {
    mask = mask - ((mask >> 1) & 0x5555555555555555ull);
    mask = (mask & 0x3333333333333333ull) + ((mask >> 2) & 0x3333333333333333ull);
    mask = (mask + (mask >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<int>((mask * 0x0101010101010101ull) >> 56);
}

// Octants of a sub-cell mask with at least one bit set (0 .. 8).
constexpr int subCellOctants(uint64_t mask) noexcept {
    int octants = 0;
    for (uint64_t octant : kSubCellOctants) octants += (mask & octant) != 0 ? 1 : 0;
    return octants;
}

// The counts a record keeps beside its mask: occupied octants in the low
// byte, set sub-cells in the high byte. 0 exactly when the mask is 0.
constexpr uint16_t subCellCounts(uint64_t mask) noexcept {
    return static_cast<uint16_t>(subCellOctants(mask) | subCellsSet(mask) << 8);
}
constexpr int octantsOf(uint16_t counts) noexcept { return counts & 0xFF; }
constexpr int cellsOf(uint16_t counts) noexcept { return counts >> 8; }

// The quiet NaN every empty record carries (bit pattern 0xFFC00000).
float quietNaN() noexcept;

// The default (empty) record: NaN position and normal, level 8, stamps -1.
FusionPoint defaultFusionPoint() noexcept;

// Byte 32..35 of a record as one word: scan_level | protected << 8 | quality << 16.
uint32_t attributeWord(const FusionPoint& point) noexcept;
void setAttributeWord(FusionPoint& point, uint32_t word) noexcept;

// A scan level is fine when it has a bit other than the 8-bit set.
inline bool isFineLevel(uint8_t scan_level) noexcept { return (scan_level & 0xF7) != 0; }

// Level divisor: 16 -> 2, 32 -> 4, 64 -> 8, anything else 1.
inline int levelDivisor(uint8_t scan_level) noexcept {
    switch (scan_level) {
        case 16:
            return 2;
        case 32:
            return 4;
        case 64:
            return 8;
        default:
            return 1;
    }
}
// Level index k of the quality nibble: 16 -> 1, 32 -> 2, 64 -> 3, else 0.
inline int fineLevelIndex(uint8_t scan_level) noexcept {
    switch (scan_level) {
        case 16:
            return 1;
        case 32:
            return 2;
        case 64:
            return 3;
        default:
            return 0;
    }
}

// The level byte of an input attribute word: non-zero powers of two pass,
// everything else becomes 8.
inline uint8_t normaliseScanLevel(uint32_t low_byte) noexcept {
    const uint32_t v = low_byte & 0xFFu;
    return (v != 0 && (v & (v - 1)) == 0) ? static_cast<uint8_t>(v) : uint8_t{8};
}

}  // namespace fusion
