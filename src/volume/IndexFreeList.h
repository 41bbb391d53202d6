#pragma once

#include <atomic>
#include <cstdint>

#include "volume/SpinLock.h"

namespace fusion {

// A stack of released int32 values (record indices, view ids) that are
// handed out again before new ones. Entries 0 .. count-1 are valid and taken
// from the top. Storage is reserved as zero pages, so a large capacity costs
// nothing until used.
//
//   m_lock   guards m_values, the capacity and every change of m_count.
//   m_count  is atomic only so that takers may test it without the lock as
//            a hint ("anything there?") before taking the lock.
class IndexFreeList {
public:
    IndexFreeList() = default;
    ~IndexFreeList();
    IndexFreeList(const IndexFreeList&) = delete;
    IndexFreeList& operator=(const IndexFreeList&) = delete;

    // Reserves room for `entries` values (dropping any held); false when
    // memory is lacking.
    bool reserve(int32_t entries);
    // Returns the storage; the list is empty with no capacity afterwards.
    void release();
    // Forgets every value, keeping the capacity. Only while nobody else uses
    // the list.
    void clear();

    // Pushes `value`, growing the storage by half when full: 0 pushed, 1 the
    // value was -1 (nothing pushed), 2 the list could not grow (the value is
    // dropped and never handed out again).
    int push(int32_t value);

    // Takes the top value. When the list is empty, returns fallback()
    // instead; if the list was emptied by another taker between the hint and
    // the lock, fallback() runs while the lock is held, so that pushes wait
    // for a consistent count.
    template <class Fallback>
    int32_t popOr(Fallback&& fallback) {
        if (m_count.load(std::memory_order_relaxed) > 0) {
            SpinGuard guard(m_lock);
            const int32_t k = m_count.fetch_sub(1, std::memory_order_relaxed);
            if (k > 0) return m_values[k - 1];
            m_count.store(0, std::memory_order_relaxed);
            return fallback();
        }
        return fallback();
    }

    int32_t count() const { return m_count.load(std::memory_order_relaxed); }
    int32_t capacity() const { return m_capacity; }
    // The value at position k (0 = bottom); for inspection while idle.
    int32_t valueAt(int32_t k) const { return m_values[k]; }

private:
    bool grow();

    int32_t* m_values = nullptr;
    int32_t m_capacity = 0;
    std::atomic<int32_t> m_count{0};
    SpinLock m_lock;
};

}  // namespace fusion
