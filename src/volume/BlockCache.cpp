#include "volume/BlockCache.h"

namespace fusion {

const BlockCache::Block& BlockCache::block(const Int3& b) {
    const uint32_t hash = static_cast<uint32_t>(b.x) * 0x9E3779B1u ^
                          static_cast<uint32_t>(b.y) * 0x85EBCA77u ^
                          static_cast<uint32_t>(b.z) * 0xC2B2AE3Du;
    const int slot = static_cast<int>(hash >> 23) & (kSlots - 1);
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
