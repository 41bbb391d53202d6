#pragma once

// What the lookups of one thread remember over one stage: the blocks they
// looked up. Consecutive points of a frame share nearly all of them, so most
// lookups skip the hash.
//
// Blocks are never removed while frames run (only clearing removes them,
// and it waits until no frame and no stage runs), so a block that was found
// stays valid. An absent block is remembered only when none can be inserted
// while the cache lives:
//
//   Frozen  a frame's confirmation and grading (intake has ended) and the
//           blocking second stage (normals and layer merging insert
//           nothing);
//   Live    a queued second stage, which runs while later frames insert:
//           absent blocks are looked up again every time.

#include <atomic>
#include <cstdint>

#include "volume/Coordinates.h"
#include "volume/Records.h"
#include "volume/Volume.h"

namespace fusion {

class BlockCache {
public:
    enum class Mode { Frozen, Live };

    struct Block {
        Int3 coords;
        Voxel* voxels;                           // null: no such block
        const std::atomic<uint64_t>* occupancy;  // its occupancy words (VoxelPool)
        int32_t index;                           // block index, -1 none
    };

    BlockCache(const Volume& volume, Mode mode) : m_volume(volume), m_mode(mode) {}
    BlockCache(const BlockCache&) = delete;
    BlockCache& operator=(const BlockCache&) = delete;

    const Volume& volume() const { return m_volume; }
    Mode mode() const { return m_mode; }

    // The block at block coordinates b.
    const Block& block(const Int3& b);

    // The block at offsets dx, dy, dz (each -1 .. 1) from block `centre`.
    // Walks around consecutive points of a frame mostly share their centre
    // block, so the 27 blocks around the last centre are kept at hand.
    const Block& near(const Int3& centre, int dx, int dy, int dz) {
        if (centre != m_centre) {
            m_centre = centre;
            for (bool& known : m_near_known) known = false;
        }
        const int i = 13 + dx + 3 * dy + 9 * dz;
        if (m_near_known[i]) return m_near[i];
        const Block& found = block({centre.x + dx, centre.y + dy, centre.z + dz});
        m_near[i] = found;
        // Like the slots: a live cache looks an absent block up again.
        m_near_known[i] = found.voxels != nullptr || m_mode == Mode::Frozen;
        return m_near[i];
    }

    // Volume::lookupPoint through the cache.
    FoundPoint lookupPoint(const Int3& c, const float normal[3]);

    static constexpr int kSlotBits = 9;  // direct-mapped by block coordinates
    static constexpr int kSlots = 1 << kSlotBits;

private:
    const Volume& m_volume;
    const Mode m_mode;
    Block m_slots[kSlots] = {};
    bool m_used[kSlots] = {};
    Int3 m_centre{INT32_MIN, INT32_MIN, INT32_MIN};
    Block m_near[27] = {};
    bool m_near_known[27] = {};
};

}  // namespace fusion
