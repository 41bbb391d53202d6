#pragma once

// The sparse voxel volume: the parameter block and the resolution, the block
// hash, the voxel and point pools and the view ids. Each store owns its own
// invariants and locks (see their headers); this class composes them and
// offers the two sides every algorithm uses:
//
//   read side    find*, lookupPoint, pickSide, pointAt: never create, never
//                lock, safe while other threads insert.
//   create side  findOrCreateVoxel: inserts the block and grows the voxel
//                pool; only placement (Placement.h) creates records.
//
// Lifecycle: allocate (engine init), clear (reset: empties the volume but
// keeps its memory), release (deInit). Clearing and releasing are only for
// moments when no other thread uses the volume.

#include <cstdint>
#include <memory>

#include "fusion/Kelvane.h"
#include "volume/BlockHash.h"
#include "volume/Coordinates.h"
#include "volume/GlobalParams.h"
#include "volume/PointPool.h"
#include "volume/Records.h"
#include "volume/SharedFields.h"
#include "volume/ViewIds.h"
#include "volume/VoxelPool.h"

namespace fusion {

// A voxel with its address in the pools: block index and local index.
struct VoxelRef {
    Voxel* voxel = nullptr;
    int32_t block = -1;
    int32_t local = -1;
    explicit operator bool() const noexcept { return voxel != nullptr; }
};

// The blocks a thread placed its recent observations in: blocks are never
// removed while observations are placed, so they stay valid, and the next
// observation, which usually falls into one of them (the same block, or the
// block the previous scan row passed through), needs no hash lookup. Small
// and direct-mapped by block coordinates. One per thread.
struct PlacementCache {
    struct Slot {
        Int3 coords{0, 0, 0};
        int32_t block = -1;  // -1: nothing remembered
        Voxel* voxels = nullptr;
    };
    static constexpr int kSlotBits = 6;
    Slot slots[1 << kSlotBits];

    Slot& slotFor(const Int3& b) noexcept { return slots[cacheSlotOf(b, kSlotBits)]; }
    const Slot& slotFor(const Int3& b) const noexcept { return slots[cacheSlotOf(b, kSlotBits)]; }
};

// A record found in a voxel: the record, the voxel holding it and its index.
// `voxel` (with `block` and `local`) is set whenever the voxel exists, even
// when no side matched; pickSide alone leaves them unset.
struct FoundPoint {
    FusionPoint* record = nullptr;
    Voxel* voxel = nullptr;
    int32_t index = -1;
    int32_t block = -1;
    int32_t local = -1;
    explicit operator bool() const noexcept { return record != nullptr; }
    VoxelRef where() const noexcept { return VoxelRef{voxel, block, local}; }
};

class Volume {
public:
    Volume() = default;
    Volume(const Volume&) = delete;
    Volume& operator=(const Volume&) = delete;

    // Creates the parameter block from `params` and every store sized by it.
    // False when memory is lacking; whatever was allocated is released.
    bool allocate(const GlobalParams& params);
    void release();
    void clear();
    bool allocated() const { return m_global_params != nullptr; }

    const GlobalParams& params() const { return *m_global_params; }
    // Adjusts the per-frame limit, the fusion switch and the device tuning to
    // the device and the current resolution; corrects the device record.
    void deriveParams(DeviceInfo& device);
    float resolution() const { return m_resolution; }
    void setResolution(float resolution) { m_resolution = resolution; }

    // ---- read side ------------------------------------------------------------
    // Block index of b, or -1 when absent or beyond the allocated voxels.
    int32_t findBlock(const Int3& b) const;
    // The voxels of a block index from findBlock (block_voxel_num of them).
    Voxel* blockVoxels(int32_t block) const { return m_voxels.blockVoxels(block); }
    Voxel* findVoxel(const Int3& c) const;
    // The record of voxel c whose normal faces `normal`.
    FoundPoint lookupPoint(const Int3& c, const float normal[3]) const;
    // Side 0 when its record faces `normal`, else side 1 when it does.
    FoundPoint pickSide(const Voxel& voxel, const float normal[3]) const;
    FusionPoint* pointAt(int32_t index) const { return m_points.at(index); }
    int32_t readablePointCount() const { return m_points.readableCount(); }

    // ---- create side ----------------------------------------------------------
    // The voxel of c, inserting its block and growing the voxel pool; empty
    // when the excess list or memory runs out.
    VoxelRef findOrCreateVoxel(const Int3& c, PlacementCache* cache = nullptr);

    // The lock of a voxel (see VoxelPool::lockOf).
    SpinLock& lockOf(const Voxel* voxel) const noexcept { return m_voxels.lockOf(voxel); }

    // Side changes; the caller holds the voxel's lock. publishSide marks the
    // voxel in its block's occupancy before the side appears; clearSide
    // empties the side and unmarks the voxel once both sides are empty. So
    // the occupancy always covers every side a reader can see.
    void publishSide(const VoxelRef& at, int side, int32_t index);
    void clearSide(const VoxelRef& at, int side);
    // The occupancy words of a block index from findBlock (see VoxelPool).
    const std::atomic<uint64_t>* blockOccupancy(int32_t block) const {
        return m_voxels.occupancy(block);
    }

    // ---- the stores -------------------------------------------------------------
    BlockHash& blocks() { return m_blocks; }
    const BlockHash& blocks() const { return m_blocks; }
    VoxelPool& voxels() { return m_voxels; }
    const VoxelPool& voxels() const { return m_voxels; }
    PointPool& points() { return m_points; }
    const PointPool& points() const { return m_points; }
    ViewIds& viewIds() { return m_view_ids; }
    const ViewIds& viewIds() const { return m_view_ids; }

    // ---- a window into removals, for tests ----------------------------------------
    // `hook(context, record)` runs inside every removal of a record (layer
    // merging, deletion), with the record's locks held, after its removal
    // was reported and before the record is emptied: a test can let another
    // thread act exactly there. Null (the default) runs nothing.
    using RemovalHook = void (*)(void* context, FusionPoint& record);
    void setRemovalHook(RemovalHook hook, void* context) noexcept {
        m_removal_hook = hook;
        m_removal_context = context;
    }
    void duringRemoval(FusionPoint& record) const {
        if (m_removal_hook != nullptr) m_removal_hook(m_removal_context, record);
    }

private:
    std::unique_ptr<GlobalParams> m_global_params;
    float m_resolution = 0.5f;
    BlockHash m_blocks;
    VoxelPool m_voxels;
    PointPool m_points;
    ViewIds m_view_ids;
    RemovalHook m_removal_hook = nullptr;
    void* m_removal_context = nullptr;
};

// The side of `voxel` whose record faces `normal`, its records found through
// `records`. Inline: the neighbourhood walks call it for every voxel of their
// cube, the cached walk with a locator it read once.
inline FoundPoint pickFacingSide(const Voxel& voxel, const float normal[3],
                                 const RecordLocator& records) {
    FoundPoint found;
    const int32_t side0 = voxel.side(0);
    const int32_t side1 = voxel.side(1);
    if (side0 == -1 && side1 == -1) return found;
    if (side0 != -1) {
        if (side0 < 0) return found;
        FusionPoint* candidate = records.at(side0);
        if (facesNormal(*candidate, normal)) {
            found.record = candidate;
            found.index = side0;
            return found;
        }
    }
    if (side1 < 0) return found;
    FusionPoint* candidate = records.at(side1);
    if (facesNormal(*candidate, normal)) {
        found.record = candidate;
        found.index = side1;
    }
    return found;
}

inline FoundPoint Volume::pickSide(const Voxel& voxel, const float normal[3]) const {
    return pickFacingSide(voxel, normal, m_points.locator());
}

}  // namespace fusion
