#pragma once

#include <atomic>
#include <cstdint>

#include "volume/IndexFreeList.h"
#include "volume/Records.h"

namespace fusion {

// The ids under which the host knows fused points as vertices.
//
//   m_view_id_next  ids handed out so far (the exclusive bound of every id,
//                   live or released); only atomic increments.
//   m_view_id_free  released ids, handed out before new ones.
//
// An id goes back to the free list only once the host has been sent (or
// will never be sent) the removal that frees it; see UpdateBuffer.
class ViewIds {
public:
    bool allocate(int32_t free_capacity);  // false when memory is lacking
    void release();
    // Restarts the ids at 0; only while nobody else uses them.
    void clear();

    // The record's id when it has one, else a released id, else a new one.
    int32_t getOrAllocate(const FusionPoint& record);
    // A released id when there is one, else a new one.
    int32_t allocate();
    // Makes `id` available again: 0 pushed, 1 id was -1, 2 dropped (the free
    // list could not grow; the id is then never reused).
    int releaseId(int32_t id) { return m_view_id_free.push(id); }

    int32_t next() const { return m_view_id_next.load(std::memory_order_relaxed); }
    int32_t freeCount() const { return m_view_id_free.count(); }

private:
    std::atomic<int32_t> m_view_id_next{0};
    IndexFreeList m_view_id_free;
};

}  // namespace fusion
