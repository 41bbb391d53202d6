#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>

#include "fusion/Kelvane.h"
#include "volume/SpinLock.h"
#include "volume/UpdateBuffer.h"

namespace fusion {

// Update records waiting for the host, as batches in the order they were
// pushed; the host takes all of them at once with drain().
//
// Producers that run beside the host's own (second stages on the pool) do
// not push directly: their buffers wait with pushDeferred() until the host's
// thread publishes them at a moment when it produces nothing itself, so
// that every record the host's thread wrote before is delivered first.
//
//   m_view_updates_lock  guards m_view_updates. A drain holds it across its
//                        allocation and copies, so a batch is never split
//                        between two deliveries and a producer pushing
//                        meanwhile waits.
//   m_deferred_lock      guards m_deferred.
class UpdateQueue {
public:
    UpdateQueue() = default;
    UpdateQueue(const UpdateQueue&) = delete;
    UpdateQueue& operator=(const UpdateQueue&) = delete;

    // Queues the buffer's records (nothing when it holds none), then hands
    // the view ids its removals freed back for reuse: from then on, any
    // record reusing such an id is queued behind the removal.
    void push(std::unique_ptr<UpdateBuffer> buffer);

    // Keeps a finished buffer until publishDeferred(); its freed ids stay
    // out of reuse until then.
    void pushDeferred(std::unique_ptr<UpdateBuffer> buffer);
    // Pushes every kept buffer, in the order they were kept. Allocates
    // nothing beyond what push() may (and copes without it).
    void publishDeferred();

    // Moves every waiting record, batch by batch, into one new array (the
    // caller's, released with delete[]). 0 when records were delivered; 1
    // when none were waiting or the array cannot be allocated, and then
    // neither out-parameter is written (the records stay queued).
    int drain(Vertices** out, int& count);

    // Drops every waiting batch and kept buffer (reset, loading, compaction).
    void clear();

    bool empty() const;

private:
    // One queued batch; owns its array.
    struct ViewUpdate {
        Vertices* updates = nullptr;
        int32_t count = 0;
        ViewUpdate() = default;
        ViewUpdate(const ViewUpdate&) = delete;
        ViewUpdate& operator=(const ViewUpdate&) = delete;
        ~ViewUpdate() { delete[] updates; }
    };

    std::deque<std::shared_ptr<ViewUpdate>> m_view_updates;
    mutable SpinLock m_view_updates_lock;
    std::deque<std::unique_ptr<UpdateBuffer>> m_deferred;
    SpinLock m_deferred_lock;
};

}  // namespace fusion
