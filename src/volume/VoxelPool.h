#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "volume/GlobalParams.h"
#include "volume/Records.h"
#include "volume/SpinLock.h"

namespace fusion {

// The voxels of the handed-out blocks, in chunks of chunk_block_num blocks.
// Block B's voxel L lives in chunk B >> chunk_block_shift at
// (B & (chunk_block_num - 1)) * block_voxel_num + L. Chunks are reserved as
// zero pages: an all-zero voxel has no side.
//
// Beside each chunk, the occupancy of its blocks: per block eight 64-bit
// words, bit L & 63 of word L >> 6 set when voxel L may hold a side. It is a
// superset of the sides (Volume::publishSide sets the bit before the side
// appears; Volume::clearSide clears it only once both sides are empty, under
// the voxel's lock), so neighbourhood walks visit only marked voxels. Words
// change by atomic or/and, as neighbouring voxels share them.
//
//   m_voxel_locks       the voxels' locks, a fixed table that voxels share
//                       by the hash of their address: a lock is only ever
//                       held for one voxel at a time, so two voxels that
//                       share one merely wait for each other.
//   m_voxel_chunk_lock  serialises growth; the capacity is checked again
//                       under it, because another thread may have grown the
//                       pool meanwhile.
//   m_voxel_chunk_num   published with release after the chunk's pointer is
//                       stored, so readers (acquire) never wait and never see
//                       a missing chunk. The table has voxel_chunk_max slots
//                       fixed at allocate() and never moves; growth fails
//                       instead of overflowing it.
class VoxelPool {
public:
    static constexpr int kOccupancyWords = 8;  // 512 voxels a block
    static constexpr int kVoxelLockBits = 16;  // 65,536 locks, 256 KiB
    VoxelPool() = default;
    ~VoxelPool();
    VoxelPool(const VoxelPool&) = delete;
    VoxelPool& operator=(const VoxelPool&) = delete;

    bool allocate(const GlobalParams& params);  // false when memory is lacking
    void release();
    // Empties the voxels of blocks 0 .. used_blocks-1; only while nobody else
    // uses the pool. The chunks stay.
    void clear(int64_t used_blocks);

    // The voxels of `block` (block_voxel_num of them), or null when the
    // block lies beyond the allocated chunks. Never grows.
    Voxel* blockVoxels(int32_t block) const;
    Voxel* find(int32_t block, int32_t local) const {
        Voxel* voxels = blockVoxels(block);
        return voxels != nullptr ? voxels + local : nullptr;
    }
    // Like find(), growing the pool when the block lies beyond it; null when
    // memory or the chunk table runs out.
    Voxel* create(int32_t block, int32_t local);

    // The eight occupancy words of `block`, or null when the block lies
    // beyond the allocated chunks.
    std::atomic<uint64_t>* occupancy(int32_t block) const;

    // The lock of `voxel`: guards side creation and every write of its
    // sides' records. Never held for two voxels at once.
    SpinLock& lockOf(const Voxel* voxel) const noexcept {
        const auto address = reinterpret_cast<std::uintptr_t>(voxel) / sizeof(Voxel);
        return m_voxel_locks[static_cast<std::size_t>((address * 0x9E3779B97F4A7C15ull) >>
                                                      (64 - kVoxelLockBits))];
    }

    int32_t chunkCount() const { return m_voxel_chunk_num.load(std::memory_order_acquire); }
    int64_t blockCapacity() const {
        return static_cast<int64_t>(chunkCount()) * m_params.chunk_block_num;
    }

private:
    bool appendChunk();  // the caller holds m_voxel_chunk_lock
    std::size_t chunkBytes() const;

    std::size_t occupancyChunkBytes() const;

    SpinLock* m_voxel_locks = nullptr;                     // 2^kVoxelLockBits, all free
    Voxel** m_voxel_chunks = nullptr;                      // voxel_chunk_max slots
    std::atomic<uint64_t>** m_occupancy_chunks = nullptr;  // parallel to m_voxel_chunks
    std::atomic<int32_t> m_voxel_chunk_num{0};
    SpinLock m_voxel_chunk_lock;
    GlobalParams m_params{};
};

}  // namespace fusion
