#pragma once

// The update records one stage of one frame (or one edit) writes for the
// host, and emitVertexUpdate, which writes them.

#include <atomic>
#include <cstdint>
#include <memory>

#include "fusion/Kelvane.h"
#include "volume/Records.h"
#include "volume/ViewIds.h"

namespace fusion {

// Room for `capacity` Vertices records (3 x max_frame_point_num for a frame
// stage). Any number of threads fill one buffer: each record claims its slot
// with one atomic increment, and a claim past the capacity is handed back,
// so nothing is ever written past the buffer.
//
// A removal record frees the removed point's view id, but the id returns to
// the free list only when the buffer is queued for the host (UpdateQueue),
// or when the buffer is dropped unqueued: otherwise a later stage could hand
// the id out again and queue its addition before this removal, and a host
// applying the records in order would delete the new point.
class UpdateBuffer {
public:
    // Null when memory is lacking.
    static std::unique_ptr<UpdateBuffer> create(int32_t capacity, ViewIds& ids);
    ~UpdateBuffer();
    UpdateBuffer(const UpdateBuffer&) = delete;
    UpdateBuffer& operator=(const UpdateBuffer&) = delete;

    // A slot for one record, or null when the buffer is full.
    Vertices* claim() noexcept;
    // Records written so far (never above the capacity).
    int32_t count() const noexcept;
    int32_t capacity() const noexcept { return m_capacity; }
    bool below(int32_t limit) const noexcept {
        return m_count.load(std::memory_order_relaxed) < limit;
    }
    const Vertices* records() const noexcept { return m_records; }

    // Forgets the records written so far (a blocking frame reports nothing);
    // the ids its removals freed are returned at once.
    void discard() noexcept;

private:
    friend class UpdateQueue;
    UpdateBuffer(Vertices* records, int32_t capacity, ViewIds& ids) noexcept;
    // Hands the freed ids of the removal records among the first count()
    // records back to the ViewIds; once. The second form reads the records
    // from `records`, where takeRecords() moved them.
    void returnFreedIds() noexcept;
    void returnFreedIds(const Vertices* records) noexcept;
    // Gives up the record array (the queue takes it over); the freed ids are
    // then returned only through the second returnFreedIds.
    Vertices* takeRecords() noexcept;

    Vertices* m_records;
    int32_t m_capacity;
    std::atomic<int32_t> m_count{0};
    ViewIds& m_ids;
    bool m_ids_returned = false;
};

// Writes one update record for `record` into `out`: state 0 (re-graded),
// 1 (added or changed) or -1 (removed: NaN position and normal, state 255,
// attribute word 8). Gives the record a view id when it has none. Nothing is
// written for a record at the origin, without a normal or without
// observations, for the removal of a record the host never knew, or when
// `out` is full.
void emitVertexUpdate(ViewIds& ids, FusionPoint& record, int state, UpdateBuffer& out);

}  // namespace fusion
