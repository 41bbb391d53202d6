#include "volume/Volume.h"

#include <new>

#include "platform/platform.h"
#include "volume/SharedFields.h"

namespace fusion {

bool Volume::allocate(const GlobalParams& params) {
    release();
    m_global_params.reset(new (std::nothrow) GlobalParams(params));
    const bool ok = m_global_params != nullptr && platform::allocationAllowed() &&
                    m_blocks.allocate(params) && m_voxels.allocate(params) &&
                    m_points.allocate(params) &&
                    m_view_ids.allocate(2 * params.max_frame_point_num);
    if (!ok) release();
    return ok;
}

void Volume::release() {
    m_blocks.release();
    m_voxels.release();
    m_points.release();
    m_view_ids.release();
    m_global_params.reset();
}

void Volume::clear() {
    if (!allocated()) return;
    // Only what was used since the last clearing is touched: the entries of
    // the handed-out blocks, their voxels and the records handed out.
    m_voxels.clear(m_blocks.blockCount());
    m_blocks.clear();
    m_points.clear();
    m_view_ids.clear();
}

void Volume::deriveParams(DeviceInfo& device) {
    if (m_global_params) deriveGlobalParams(*m_global_params, device, m_resolution);
}

int32_t Volume::findBlock(const Int3& b) const {
    const int32_t block = m_blocks.find(b);
    if (block < 0 || block >= m_voxels.blockCapacity()) return -1;
    return block;
}

Voxel* Volume::findVoxel(const Int3& c) const {
    const GlobalParams& p = params();
    const Int3 b = blockOf(c, p);
    const int32_t block = findBlock(b);
    return block < 0 ? nullptr : m_voxels.find(block, localIndexOf(c, b, p));
}

FoundPoint Volume::lookupPoint(const Int3& c, const float normal[3]) const {
    const GlobalParams& p = params();
    const Int3 b = blockOf(c, p);
    const int32_t block = findBlock(b);
    if (block < 0) return FoundPoint{};
    const int32_t local = localIndexOf(c, b, p);
    Voxel* voxel = m_voxels.find(block, local);
    if (voxel == nullptr) return FoundPoint{};
    FoundPoint found = pickSide(*voxel, normal);
    found.voxel = voxel;
    found.block = block;
    found.local = local;
    return found;
}

VoxelRef Volume::findOrCreateVoxel(const Int3& c, PlacementCache* cache) {
    const GlobalParams& p = params();
    const Int3 b = blockOf(c, p);
    const int32_t local = localIndexOf(c, b, p);
    if (cache != nullptr) {
        const PlacementCache::Slot& slot = cache->slotFor(b);
        if (slot.block >= 0 && slot.coords == b)
            return VoxelRef{slot.voxels + local, slot.block, local};
    }
    const int32_t block = m_blocks.findOrInsert(b);
    if (block < 0) return VoxelRef{};
    Voxel* voxel = m_voxels.create(block, local);
    if (voxel == nullptr) return VoxelRef{};
    if (cache != nullptr) cache->slotFor(b) = PlacementCache::Slot{b, block, voxel - local};
    return VoxelRef{voxel, block, local};
}

void Volume::publishSide(const VoxelRef& at, int side, int32_t index) {
    std::atomic<uint64_t>* words = m_voxels.occupancy(at.block);
    words[at.local >> 6].fetch_or(uint64_t{1} << (at.local & 63), std::memory_order_release);
    at.voxel->setSide(side, index);
}

void Volume::clearSide(const VoxelRef& at, int side) {
    at.voxel->setSide(side, -1);
    if (at.voxel->side(1 - side) != -1) return;
    std::atomic<uint64_t>* words = m_voxels.occupancy(at.block);
    words[at.local >> 6].fetch_and(~(uint64_t{1} << (at.local & 63)), std::memory_order_relaxed);
}

}  // namespace fusion
