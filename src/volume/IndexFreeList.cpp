#include "volume/IndexFreeList.h"

#include <cmath>
#include <cstring>

#include "platform/platform.h"

namespace fusion {

namespace {
std::size_t bytesFor(int32_t entries) {
    return static_cast<std::size_t>(entries) * sizeof(int32_t);
}
}  // namespace

IndexFreeList::~IndexFreeList() { release(); }

bool IndexFreeList::reserve(int32_t entries) {
    release();
    void* region = platform::reserveZeroed(bytesFor(entries));
    if (region == nullptr) return false;
    m_values = static_cast<int32_t*>(region);
    m_capacity = entries;
    return true;
}

void IndexFreeList::release() {
    if (m_values != nullptr) platform::releaseZeroed(m_values, bytesFor(m_capacity));
    m_values = nullptr;
    m_capacity = 0;
    clear();
}

void IndexFreeList::clear() {
    m_count.store(0, std::memory_order_relaxed);
    m_lock.clear();
}

bool IndexFreeList::grow() {
    const auto bigger = static_cast<int32_t>(std::trunc(static_cast<double>(m_capacity) * 1.5));
    if (bigger <= m_capacity) return false;
    void* region = platform::reserveZeroed(bytesFor(bigger));
    if (region == nullptr) return false;
    if (m_values != nullptr) {
        std::memcpy(region, m_values, bytesFor(m_capacity));
        platform::releaseZeroed(m_values, bytesFor(m_capacity));
    }
    m_values = static_cast<int32_t*>(region);
    m_capacity = bigger;
    return true;
}

int IndexFreeList::push(int32_t value) {
    SpinGuard guard(m_lock);
    const int32_t count = m_count.load(std::memory_order_relaxed);
    if (count >= m_capacity) grow();
    if (value == -1) return 1;
    if (count >= m_capacity) return 2;
    m_values[count] = value;
    m_count.store(count + 1, std::memory_order_relaxed);
    return 0;
}

}  // namespace fusion
