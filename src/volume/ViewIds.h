#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "volume/IndexFreeList.h"
#include "volume/Records.h"
#include "volume/SpinLock.h"

namespace fusion {

// The ids under which the host knows fused points as vertices.
//
//   m_view_id_next  ids handed out so far (the exclusive bound of every id,
//                   live or released); only atomic increments.
//   m_view_id_free  released ids, handed out before new ones.
//   m_naming_locks  a fixed table of locks shared by records through their
//                   address: the lock of a record guards giving it its
//                   first id against emptying it. Naming a record (its
//                   first update) and removing it (layer merging,
//                   deletion) each hold the record's lock, so a record is
//                   either named before a removal, which then sees the id
//                   and reports it, or found empty by the namer, who then
//                   gives it no id. Without it a name given between a
//                   removal's look at the id and the emptying would be sent
//                   to the host and never taken back. Never held for two
//                   records at once; taken inside a voxel lock, never around
//                   one.
//
// An id goes back to the free list only once the host has been sent (or
// will never be sent) the removal that frees it; see UpdateBuffer.
class ViewIds {
public:
    SpinLock& namingLock(const FusionPoint& record) noexcept {
        const auto address = reinterpret_cast<std::uintptr_t>(&record) / sizeof(FusionPoint);
        return m_naming_locks[static_cast<std::size_t>((address * 0x9E3779B97F4A7C15ull) >>
                                                       (64 - kNamingLockBits))];
    }

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
    static constexpr int kNamingLockBits = 10;  // 1,024 locks, 4 KiB

    std::atomic<int32_t> m_view_id_next{0};
    IndexFreeList m_view_id_free;
    SpinLock m_naming_locks[1 << kNamingLockBits];
};

}  // namespace fusion
