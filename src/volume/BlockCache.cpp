#include "volume/BlockCache.h"

namespace fusion {

const BlockCache::Block& BlockCache::block(const Int3& b) {
    const int slot = cacheSlotOf(b, kSlotBits);
    Block& entry = m_slots[slot];
    if (m_used[slot] && entry.coords == b) return entry;
    entry.coords = b;
    entry.index = m_volume.findBlock(b);
    entry.voxels = m_volume.blockVoxels(entry.index);
    entry.occupancy = entry.voxels != nullptr ? m_volume.blockOccupancy(entry.index) : nullptr;
    // A live cache forgets an absent block at once: it may be inserted
    // before the next lookup.
    m_used[slot] = entry.voxels != nullptr || m_mode == Mode::Frozen;
    return entry;
}

FoundPoint BlockCache::lookupPoint(const Int3& c, const float normal[3]) {
    const GlobalParams& p = m_volume.params();
    const Int3 b = blockOf(c, p);
    const Block& entry = block(b);
    if (entry.voxels == nullptr) return FoundPoint{};
    const int32_t local = localIndexOf(c, b, p);
    Voxel* voxel = entry.voxels + local;
    FoundPoint found = m_volume.pickSide(*voxel, normal);
    found.voxel = voxel;
    found.block = entry.index;
    found.local = local;
    return found;
}

}  // namespace fusion
