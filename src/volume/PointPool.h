#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "volume/GlobalParams.h"
#include "volume/IndexFreeList.h"
#include "volume/Records.h"
#include "volume/SpinLock.h"

namespace fusion {

// The FusionPoint records, in chunks of chunk_point_num. Record i lives in
// chunk i >> chunk_point_shift at i & (chunk_point_num - 1). Indices are
// signed 32-bit; -1 means none.
//
//   m_point_next        the next never-used index; only atomic increments.
//   m_point_free        released indices, handed out before new ones.
//   m_point_chunk_lock  serialises growth (the only growth path is
//                       growTo). Growth starts ten records before the pool is
//                       full. A chunk's pointer is stored before the count
//                       that makes it visible (release), the table has
//                       point_chunk_max slots fixed at allocate() and never
//                       moves, and growth fails instead of overflowing it.
//
// Record addresses from indices with the pool's split read once: for loops
// that turn many indices into records (the neighbourhood walks). Valid
// while the pool lives; indices must be readable (below readableCount when
// the locator was made, or published since).
struct RecordLocator {
    FusionPoint* const* chunks;
    int shift;
    int32_t mask;
    FusionPoint* at(int32_t index) const noexcept {
        return chunks[index >> shift] + (index & mask);
    }
};

// Records at or above m_point_next are zero bytes or leftovers of a cleared
// volume; allocatePoint's caller overwrites a record whole before
// publishing its index, so they are never read as points.
class PointPool {
public:
    PointPool() = default;
    ~PointPool();
    PointPool(const PointPool&) = delete;
    PointPool& operator=(const PointPool&) = delete;

    bool allocate(const GlobalParams& params);  // false when memory is lacking
    void release();
    // Forgets every record and released index, keeping the chunks; only
    // while nobody else uses the pool.
    void clear();

    // A record index for a new point: a released one when there is one, else
    // the next never-used one. -1 when the pool cannot grow.
    int32_t allocatePoint();
    // Puts a removed record's index back for reuse (0 pushed, 1 index was -1,
    // 2 dropped because the free list could not grow).
    int releasePoint(int32_t index) { return m_point_free.push(index); }

    RecordLocator locator() const {
        return RecordLocator{m_point_chunks, m_params.chunk_point_shift,
                             m_params.chunk_point_num - 1};
    }
    FusionPoint* at(int32_t index) const { return locator().at(index); }
    // Indices below this bound lie in allocated chunks and may be read.
    int32_t readableCount() const;
    int32_t nextIndex() const { return m_point_next.load(std::memory_order_relaxed); }
    int32_t freeCount() const { return m_point_free.count(); }
    int32_t freeCapacity() const { return m_point_free.capacity(); }
    int32_t chunkCount() const { return m_point_chunk_num.load(std::memory_order_acquire); }

    // Grows the pool before a bulk insertion of `records` points, so that the
    // inserting threads never queue on the growth lock: when they exceed the
    // free room (allocated minus used plus released), adds
    // (records - room) / chunk_point_num + 1 chunks. False when memory or the
    // chunk table runs out.
    bool reserveRecords(int64_t records);

private:
    bool growTo(int64_t needed_records);  // takes m_point_chunk_lock
    bool appendChunk();                   // the caller holds m_point_chunk_lock
    std::size_t chunkBytes() const;

    FusionPoint** m_point_chunks = nullptr;  // point_chunk_max slots
    std::atomic<int32_t> m_point_chunk_num{0};
    SpinLock m_point_chunk_lock;
    std::atomic<int32_t> m_point_next{0};
    IndexFreeList m_point_free;
    GlobalParams m_params{};
};

}  // namespace fusion
