#include "volume/PointPool.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

namespace fusion {

PointPool::~PointPool() { release(); }

std::size_t PointPool::chunkBytes() const {
    return static_cast<std::size_t>(m_params.chunk_point_num) * sizeof(FusionPoint);
}

bool PointPool::allocate(const GlobalParams& params) {
    release();
    m_params = params;
    m_point_chunks =
        platform::tryNewArray<FusionPoint*>(static_cast<std::size_t>(params.point_chunk_max));
    if (m_point_chunks == nullptr) return false;
    std::fill(m_point_chunks, m_point_chunks + params.point_chunk_max, nullptr);
    {
        SpinGuard guard(m_point_chunk_lock);
        for (int i = 0; i < params.point_chunk_init; ++i) {
            if (!appendChunk()) return false;
        }
    }
    return m_point_free.reserve(params.chunk_point_num);
}

void PointPool::release() {
    if (m_point_chunks != nullptr) {
        const int32_t chunks = m_point_chunk_num.load();
        for (int32_t i = 0; i < chunks; ++i)
            platform::releaseZeroed(m_point_chunks[i], chunkBytes());
        delete[] m_point_chunks;
        m_point_chunks = nullptr;
    }
    m_point_chunk_num.store(0);
    m_point_chunk_lock.clear();
    m_point_next.store(0);
    m_point_free.release();
}

void PointPool::clear() {
    // Only the records that were handed out are touched; zero bytes serve as
    // the empty record because nothing reads an index at or above
    // m_point_next before it is written whole.
    const int32_t used = readableCount();
    for (int32_t first = 0; first < used; first += m_params.chunk_point_num) {
        const int32_t count = std::min(m_params.chunk_point_num, used - first);
        std::memset(static_cast<void*>(m_point_chunks[first >> m_params.chunk_point_shift]), 0,
                    static_cast<std::size_t>(count) * sizeof(FusionPoint));
    }
    m_point_chunk_lock.clear();
    m_point_next.store(0);
    m_point_free.clear();
}

int32_t PointPool::readableCount() const {
    const int64_t capacity = static_cast<int64_t>(chunkCount()) * m_params.chunk_point_num;
    return static_cast<int32_t>(std::min<int64_t>(m_point_next.load(), capacity));
}

bool PointPool::appendChunk() {
    const int32_t slot = m_point_chunk_num.load(std::memory_order_relaxed);
    if (slot >= m_params.point_chunk_max) return false;
    void* chunk = platform::reserveZeroed(chunkBytes(), /*dense=*/true);
    if (chunk == nullptr) return false;
    m_point_chunks[slot] = static_cast<FusionPoint*>(chunk);
    m_point_chunk_num.store(slot + 1, std::memory_order_release);
    return true;
}

bool PointPool::growTo(int64_t needed_records) {
    const int64_t chunk_points = m_params.chunk_point_num;
    SpinGuard guard(m_point_chunk_lock);
    const int64_t capacity = chunk_points * m_point_chunk_num.load(std::memory_order_relaxed);
    if (needed_records < capacity) return true;  // another thread grew the pool
    const int64_t missing = (needed_records - capacity) / chunk_points + 1;
    for (int64_t k = 0; k < missing; ++k) {
        if (!appendChunk()) return false;  // chunks already added stay
    }
    return true;
}

int32_t PointPool::allocatePoint() {
    return m_point_free.popOr([this]() -> int32_t {
        const int32_t index = m_point_next.fetch_add(1);
        if (index < 0) return -1;  // the counter wrapped: no 32-bit index left
        // Growth starts ten records before the pool is full.
        const int64_t needed = static_cast<int64_t>(index) + 10;
        if (needed < static_cast<int64_t>(chunkCount()) * m_params.chunk_point_num) return index;
        return growTo(needed) ? index : -1;
    });
}

bool PointPool::reserveRecords(int64_t records) {
    const int64_t chunk_points = m_params.chunk_point_num;
    const int64_t capacity = static_cast<int64_t>(chunkCount()) * chunk_points;
    const int64_t room = capacity - nextIndex() + freeCount();
    if (records <= room) return true;
    return growTo(capacity + (records - room));
}

}  // namespace fusion
