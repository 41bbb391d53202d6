#include "volume/UpdateQueue.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "platform/platform.h"

namespace fusion {

void UpdateQueue::push(std::unique_ptr<UpdateBuffer> buffer) {
    if (!buffer) return;
    const int32_t count = buffer->count();
    std::shared_ptr<ViewUpdate> batch;
    if (count > 0) {
        try {
            batch = std::make_shared<ViewUpdate>();
        } catch (const std::bad_alloc&) {
            // The records are lost; their ids come back below.
        }
    }
    if (!batch) {
        buffer->returnFreedIds();
        return;
    }
    batch->count = count;
    batch->updates = buffer->takeRecords();
    try {
        SpinGuard guard(m_view_updates_lock);
        m_view_updates.push_back(batch);
    } catch (const std::bad_alloc&) {
        // Lost with the batch; the ids come back all the same.
    }
    // Only now, with the batch queued, do the ids its removals freed come
    // back: whatever reuses one of them is queued behind it. Outside the
    // queue's lock, which a drain on another thread may be waiting for.
    buffer->returnFreedIds(batch->updates);
}

void UpdateQueue::pushDeferred(std::unique_ptr<UpdateBuffer> buffer) {
    if (!buffer) return;
    try {
        SpinGuard guard(m_deferred_lock);
        m_deferred.push_back(std::move(buffer));
    } catch (const std::bad_alloc&) {
        // Could not be kept: the records are lost and the buffer's ids come
        // back as it dies.
    }
}

void UpdateQueue::publishDeferred() {
    // One at a time, oldest first: a local container would allocate (an
    // empty deque does), and publishing must not fail for lack of memory.
    for (;;) {
        std::unique_ptr<UpdateBuffer> next;
        {
            SpinGuard guard(m_deferred_lock);
            if (m_deferred.empty()) return;
            next = std::move(m_deferred.front());
            m_deferred.pop_front();
        }
        push(std::move(next));
    }
}

int UpdateQueue::drain(Vertices** out, int& count) {
    if (out == nullptr) return 1;
    SpinGuard guard(m_view_updates_lock);
    if (m_view_updates.empty()) return 1;

    // Batches that fit one int count are delivered now, the rest next time.
    int64_t total = 0;
    std::size_t batches = 0;
    for (const auto& batch : m_view_updates) {
        if (total + batch->count > std::numeric_limits<int>::max()) break;
        total += batch->count;
        ++batches;
    }
    if (total < 1) {
        for (std::size_t b = 0; b < batches; ++b) m_view_updates.pop_front();
        return 1;
    }

    // Allocated before anything is popped, so a failed allocation keeps the
    // updates queued for the next drain instead of losing them.
    Vertices* array = platform::tryNewArray<Vertices>(static_cast<std::size_t>(total));
    if (array == nullptr) return 1;

    *out = array;
    count = 0;
    for (std::size_t b = 0; b < batches; ++b) {
        const auto& batch = m_view_updates.front();
        if (batch->count > 0 && batch->updates != nullptr) {
            std::memcpy(array + count, batch->updates,
                        static_cast<std::size_t>(batch->count) * sizeof(Vertices));
            count += batch->count;
        }
        m_view_updates.pop_front();
    }
    return 0;
}

void UpdateQueue::clear() {
    std::deque<std::shared_ptr<ViewUpdate>> dropped;
    std::deque<std::unique_ptr<UpdateBuffer>> kept;
    {
        SpinGuard guard(m_view_updates_lock);
        dropped.swap(m_view_updates);
    }
    {
        SpinGuard guard(m_deferred_lock);
        kept.swap(m_deferred);
    }
    // Both die here, outside the locks.
}

bool UpdateQueue::empty() const {
    SpinGuard guard(m_view_updates_lock);
    return m_view_updates.empty();
}

}  // namespace fusion
