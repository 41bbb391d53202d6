// Hands every queued vertex update batch to the host in one array, in the
// order the batches were pushed.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#include "engine/HashTable.h"
#include "platform/platform.h"

namespace fusion {

int HashTable::getUpdateVertices(Vertices** out, int& count) {
    if (out == nullptr) return 1;
    // Held across the allocation and the copies: a producer pushing its batch
    // meanwhile waits, so no batch is split between two deliveries.
    SpinGuard guard(m_view_updates_lock);
    if (m_view_updates.empty()) return 1;

    // Batches that fit one int count are delivered now, the rest next time.
    int64_t total = 0;
    std::size_t batches = 0;
    for (const auto& batch : m_view_updates) {
        const int64_t n = std::max<int64_t>(batch->count.load(), 0);
        if (total + n > std::numeric_limits<int>::max()) break;
        total += n;
        ++batches;
    }
    if (total < 1) {
        // Only empty batches were waiting: drop them, nothing to deliver.
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
        const int32_t n = batch->count.load();
        if (n > 0 && batch->updates != nullptr) {
            std::memcpy(array + count, batch->updates, static_cast<std::size_t>(n) * sizeof(Vertices));
            count += n;
        }
        delete[] batch->updates;
        batch->updates = nullptr;
        m_view_updates.pop_front();
    }
    return 0;
}

}  // namespace fusion
