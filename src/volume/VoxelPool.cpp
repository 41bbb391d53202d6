#include "volume/VoxelPool.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

namespace fusion {

VoxelPool::~VoxelPool() { release(); }

std::size_t VoxelPool::chunkBytes() const {
    return static_cast<std::size_t>(m_params.chunk_block_num) *
           static_cast<std::size_t>(m_params.block_voxel_num) * sizeof(Voxel);
}

std::size_t VoxelPool::occupancyChunkBytes() const {
    return static_cast<std::size_t>(m_params.chunk_block_num) * kOccupancyWords * sizeof(uint64_t);
}

bool VoxelPool::allocate(const GlobalParams& params) {
    release();
    m_params = params;
    m_voxel_locks = platform::tryNewArray<SpinLock>(std::size_t{1} << kVoxelLockBits);
    if (m_voxel_locks == nullptr) return false;
    m_voxel_chunks =
        platform::tryNewArray<Voxel*>(static_cast<std::size_t>(params.voxel_chunk_max));
    if (m_voxel_chunks == nullptr) return false;
    std::fill(m_voxel_chunks, m_voxel_chunks + params.voxel_chunk_max, nullptr);
    m_occupancy_chunks = platform::tryNewArray<std::atomic<uint64_t>*>(
        static_cast<std::size_t>(params.voxel_chunk_max));
    if (m_occupancy_chunks == nullptr) return false;
    std::fill(m_occupancy_chunks, m_occupancy_chunks + params.voxel_chunk_max, nullptr);
    SpinGuard guard(m_voxel_chunk_lock);
    for (int i = 0; i < params.voxel_chunk_init; ++i) {
        if (!appendChunk()) return false;
    }
    return true;
}

void VoxelPool::release() {
    delete[] m_voxel_locks;
    m_voxel_locks = nullptr;
    const int32_t chunks = m_voxel_chunk_num.load();
    if (m_voxel_chunks != nullptr) {
        for (int32_t i = 0; i < chunks; ++i)
            platform::releaseZeroed(m_voxel_chunks[i], chunkBytes());
        delete[] m_voxel_chunks;
        m_voxel_chunks = nullptr;
    }
    if (m_occupancy_chunks != nullptr) {
        for (int32_t i = 0; i < chunks; ++i)
            platform::releaseZeroed(m_occupancy_chunks[i], occupancyChunkBytes());
        delete[] m_occupancy_chunks;
        m_occupancy_chunks = nullptr;
    }
    m_voxel_chunk_num.store(0);
    m_voxel_chunk_lock.clear();
}

void VoxelPool::clear(int64_t used_blocks) {
    used_blocks = std::min(used_blocks, blockCapacity());
    for (int64_t first = 0; first < used_blocks; first += m_params.chunk_block_num) {
        const int64_t count = std::min<int64_t>(m_params.chunk_block_num, used_blocks - first);
        const int64_t chunk = first >> m_params.chunk_block_shift;
        std::memset(static_cast<void*>(m_voxel_chunks[chunk]), 0,
                    static_cast<std::size_t>(count) * m_params.block_voxel_num * sizeof(Voxel));
        std::memset(static_cast<void*>(m_occupancy_chunks[chunk]), 0,
                    static_cast<std::size_t>(count) * kOccupancyWords * sizeof(uint64_t));
    }
    for (std::size_t i = 0; i < (std::size_t{1} << kVoxelLockBits); ++i) m_voxel_locks[i].clear();
    m_voxel_chunk_lock.clear();
}

bool VoxelPool::appendChunk() {
    const int32_t slot = m_voxel_chunk_num.load(std::memory_order_relaxed);
    if (slot >= m_params.voxel_chunk_max) return false;
    void* chunk = platform::reserveZeroed(chunkBytes(), /*dense=*/true);
    if (chunk == nullptr) return false;
    // A few blocks' words share a page; most pages stay untouched zero pages.
    void* occupancy = platform::reserveZeroed(occupancyChunkBytes(), /*dense=*/false);
    if (occupancy == nullptr) {
        platform::releaseZeroed(chunk, chunkBytes());
        return false;
    }
    m_voxel_chunks[slot] = static_cast<Voxel*>(chunk);
    m_occupancy_chunks[slot] = static_cast<std::atomic<uint64_t>*>(occupancy);
    m_voxel_chunk_num.store(slot + 1, std::memory_order_release);
    return true;
}

std::atomic<uint64_t>* VoxelPool::occupancy(int32_t block) const {
    if (block < 0) return nullptr;
    const int32_t chunk = block >> m_params.chunk_block_shift;
    if (chunk >= m_voxel_chunk_num.load(std::memory_order_acquire)) return nullptr;
    const int32_t slot = block & (m_params.chunk_block_num - 1);
    return m_occupancy_chunks[chunk] + static_cast<std::size_t>(slot) * kOccupancyWords;
}

Voxel* VoxelPool::blockVoxels(int32_t block) const {
    if (block < 0) return nullptr;
    const int32_t chunk = block >> m_params.chunk_block_shift;
    if (chunk >= m_voxel_chunk_num.load(std::memory_order_acquire)) return nullptr;
    const int32_t slot = block & (m_params.chunk_block_num - 1);
    return m_voxel_chunks[chunk] + static_cast<std::size_t>(slot) * m_params.block_voxel_num;
}

Voxel* VoxelPool::create(int32_t block, int32_t local) {
    if (Voxel* voxel = find(block, local)) return voxel;
    if (block < 0) return nullptr;
    {
        SpinGuard guard(m_voxel_chunk_lock);
        const int64_t capacity = blockCapacity();
        if (block >= capacity) {
            const int64_t missing = (block - capacity) / m_params.chunk_block_num + 1;
            for (int64_t k = 0; k < missing; ++k) {
                if (!appendChunk()) return nullptr;  // chunks already added stay
            }
        }
    }
    return find(block, local);
}

}  // namespace fusion
