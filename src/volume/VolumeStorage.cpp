// Block lookup and insertion in the bucket hash, voxel and record addressing,
// and clearing of the volume.

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "engine/HashTable.h"
#include "volume/RelaxedAccess.h"

namespace fusion {

HashEntry* HashTable::findOrInsertBlock(const Int3& b) {
    const GlobalParams& p = *m_global_params;
    int32_t i = static_cast<int32_t>(hashBlock(p, b));
    for (;;) {
        HashEntry& e = m_hash_entries[i];
        const int32_t next = e.next();
        if (next < 0) {
            SpinGuard guard(e.lock);
            if (e.next() < 0) {
                e.x = b.x;
                e.y = b.y;
                e.z = b.z;
                const int32_t block = m_block_count.fetch_add(1);
                e.setBlockIndex(block);
                m_block_entries[block] = i;
                // Publishing the link last makes the entry valid for readers.
                e.publishNext(0);
                return &e;
            }
            continue;  // filled meanwhile: look at it again
        }
        if (e.holds(b.x, b.y, b.z)) return &e;
        if (next != 0) {
            i = next;
            continue;
        }
        e.lock.lock();
        if (e.next() == 0) break;  // e is the tail and we hold its lock
        const int32_t moved_on = e.next();
        e.lock.unlock();
        i = moved_on;
    }

    // Append to the chain of entry i, whose lock we hold.
    HashEntry& tail = m_hash_entries[i];
    const int64_t n = cur_ExcessHash_Index.fetch_add(1);
    if (n - p.hash_bucket_num >= p.hash_excess_list_size || n < p.hash_bucket_num) {
        std::printf(
            "---- error: (cur_ExcessHash_Index - m_global_params.hash_bucket_num) > "
            "m_global_params.hash_excess_list_size ------- \n");
        tail.lock.unlock();
        return nullptr;
    }
    HashEntry& fresh = m_hash_entries[n];
    fresh.x = b.x;
    fresh.y = b.y;
    fresh.z = b.z;
    const int32_t block = m_block_count.fetch_add(1);
    fresh.setBlockIndex(block);
    m_block_entries[block] = static_cast<int32_t>(n);
    fresh.publishNext(0);
    tail.publishNext(static_cast<int32_t>(n));
    tail.lock.unlock();
    return &fresh;
}

int32_t HashTable::findBlock(const Int3& b) const {
    const GlobalParams& p = *m_global_params;
    const HashEntry* e = &m_hash_entries[hashBlock(p, b)];
    int32_t next = e->next();
    if (next < 0) return -1;
    while (!e->holds(b.x, b.y, b.z)) {
        if (next == 0) return -1;
        e = &m_hash_entries[next];
        next = e->next();
        if (next < 0) return -1;
    }
    const int32_t block = e->blockIndex();
    const int64_t capacity =
        static_cast<int64_t>(m_voxel_chunk_num.load(std::memory_order_acquire)) * p.chunk_block_num;
    if (block < 0 || block >= capacity) return -1;
    return block;
}

Voxel* HashTable::voxelIfAllocated(int32_t block, int32_t local) const {
    const GlobalParams& p = *m_global_params;
    if (block < 0) return nullptr;
    const int32_t chunk = block >> p.chunk_block_shift;
    if (chunk >= m_voxel_chunk_num.load(std::memory_order_acquire)) return nullptr;
    const int32_t slot = block & (p.chunk_block_num - 1);
    return m_voxel_chunks[chunk] + static_cast<std::size_t>(slot) * p.block_voxel_num + local;
}

Voxel* HashTable::voxelAt(int32_t block, int32_t local) {
    if (Voxel* voxel = voxelIfAllocated(block, local)) return voxel;
    if (block < 0) return nullptr;
    const GlobalParams& p = *m_global_params;
    {
        // To let the chunk table grow, only one thread may append at a time;
        // the capacity is checked again because another may have grown it.
        SpinGuard guard(m_voxel_chunk_lock);
        const int64_t capacity = static_cast<int64_t>(m_voxel_chunk_num.load()) * p.chunk_block_num;
        if (block >= capacity) {
            const int64_t missing = (block - capacity) / p.chunk_block_num + 1;
            for (int64_t k = 0; k < missing; ++k) {
                if (!appendVoxelChunk()) return nullptr;
            }
        }
    }
    return voxelIfAllocated(block, local);
}

FusionPoint* HashTable::pointAt(int32_t index) const {
    const GlobalParams& p = *m_global_params;
    return m_point_chunks[index >> p.chunk_point_shift] + (index & (p.chunk_point_num - 1));
}

int32_t HashTable::readablePointCount() const {
    const int64_t capacity = static_cast<int64_t>(m_point_chunk_num.load(std::memory_order_acquire)) *
                             m_global_params->chunk_point_num;
    return static_cast<int32_t>(std::min<int64_t>(m_point_next.load(), capacity));
}

namespace {
// Stored normals change under other threads (normal estimation, placement);
// each component is read once, untorn.
bool facesNormal(const FusionPoint& record, const float normal[3]) noexcept {
    return relaxedLoad(record.normal[0]) * normal[0] + relaxedLoad(record.normal[1]) * normal[1] +
               relaxedLoad(record.normal[2]) * normal[2] >
           0.0f;
}
}  // namespace

int HashTable::pickSide(const Voxel& voxel, const float normal[3], FusionPoint*& record,
                        int32_t& index) const {
    const int32_t side0 = voxel.side(0);
    const int32_t side1 = voxel.side(1);
    if (side0 == -1 && side1 == -1) return 1;
    if (side0 != -1) {
        if (side0 < 0) return 1;
        FusionPoint* candidate = pointAt(side0);
        if (facesNormal(*candidate, normal)) {
            record = candidate;
            index = side0;
            return 0;
        }
    }
    if (side1 < 0) return 1;
    FusionPoint* candidate = pointAt(side1);
    if (facesNormal(*candidate, normal)) {
        record = candidate;
        index = side1;
        return 0;
    }
    return 1;
}

int HashTable::lookupPoint(const Int3& c, const float normal[3], FusionPoint*& record,
                           Voxel*& voxel, int32_t& index) const {
    const GlobalParams& p = *m_global_params;
    record = nullptr;
    voxel = nullptr;
    index = -1;
    const Int3 b = blockOf(c, p);
    const int32_t block = findBlock(b);
    if (block < 0) return 1;
    voxel = voxelIfAllocated(block, localIndexOf(c, b, p));
    if (voxel == nullptr) return 1;
    return pickSide(*voxel, normal, record, index);
}

void HashTable::clearVolume() {
    const GlobalParams& p = *m_global_params;
    // Only what was used since the last clearing is touched: the entries of
    // the handed-out blocks, their voxels and the records below m_point_next.
    const int64_t blocks =
        std::min<int64_t>(m_block_count.load(), static_cast<int64_t>(m_hash_entry_total));
    for (int64_t b = 0; b < blocks; ++b) {
        std::memset(static_cast<void*>(&m_hash_entries[m_block_entries[b]]), 0, sizeof(HashEntry));
    }
    std::memset(m_block_entries, 0, static_cast<std::size_t>(blocks) * sizeof(int32_t));
    m_block_count.store(0);
    cur_ExcessHash_Index.store(p.hash_bucket_num);

    const int64_t voxel_capacity = static_cast<int64_t>(m_voxel_chunk_num.load()) * p.chunk_block_num;
    const int64_t used_blocks = std::min(blocks, voxel_capacity);
    for (int64_t first = 0; first < used_blocks; first += p.chunk_block_num) {
        const int64_t count = std::min<int64_t>(p.chunk_block_num, used_blocks - first);
        std::memset(static_cast<void*>(m_voxel_chunks[first >> p.chunk_block_shift]), 0,
                    static_cast<std::size_t>(count) * p.block_voxel_num * sizeof(Voxel));
    }
    m_voxel_chunk_lock.clear();

    // Records at or above m_point_next are never read before allocatePoint
    // overwrites them whole, so zero bytes serve as the empty record.
    const int32_t points = readablePointCount();
    for (int32_t first = 0; first < points; first += p.chunk_point_num) {
        const int32_t count = std::min(p.chunk_point_num, points - first);
        std::memset(static_cast<void*>(m_point_chunks[first >> p.chunk_point_shift]), 0,
                    static_cast<std::size_t>(count) * sizeof(FusionPoint));
    }
    m_point_chunk_lock.clear();
    m_point_next.store(0);
    m_point_free.count.store(0);
    m_point_free.lock.clear();
    m_view_id_next.store(0);
    m_view_id_free.count.store(0);
    m_view_id_free.lock.clear();
}

}  // namespace fusion
