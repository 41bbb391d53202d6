#include "volume/BlockHash.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace fusion {

BlockHash::~BlockHash() { release(); }

bool BlockHash::allocate(const GlobalParams& params) {
    release();
    m_params = params;
    m_entry_total = static_cast<std::size_t>(params.hash_bucket_num) +
                    static_cast<std::size_t>(params.hash_excess_list_size);
    // Buckets are hit at random, so no large pages: each touched 4 KiB page
    // holds the few entries that landed there.
    m_hash_entries = static_cast<HashEntry*>(
        platform::reserveZeroed(m_entry_total * sizeof(HashEntry), /*dense=*/false));
    if (m_hash_entries == nullptr) return false;
    m_block_entries = static_cast<int32_t*>(
        platform::reserveZeroed(m_entry_total * sizeof(int32_t), /*dense=*/true));
    if (m_block_entries == nullptr) return false;
    m_block_count.store(0);
    cur_ExcessHash_Index.store(params.hash_bucket_num);
    return true;
}

void BlockHash::release() {
    if (m_hash_entries != nullptr) {
        platform::releaseZeroed(m_hash_entries, m_entry_total * sizeof(HashEntry));
        m_hash_entries = nullptr;
    }
    if (m_block_entries != nullptr) {
        platform::releaseZeroed(m_block_entries, m_entry_total * sizeof(int32_t));
        m_block_entries = nullptr;
    }
    m_entry_total = 0;
    m_block_count.store(0);
    cur_ExcessHash_Index.store(0);
}

void BlockHash::clear() {
    if (m_hash_entries == nullptr) return;
    const int64_t blocks =
        std::min<int64_t>(m_block_count.load(), static_cast<int64_t>(m_entry_total));
    for (int64_t b = 0; b < blocks; ++b) {
        std::memset(static_cast<void*>(&m_hash_entries[m_block_entries[b]]), 0, sizeof(HashEntry));
    }
    std::memset(m_block_entries, 0, static_cast<std::size_t>(blocks) * sizeof(int32_t));
    m_block_count.store(0);
    cur_ExcessHash_Index.store(m_params.hash_bucket_num);
}

int32_t BlockHash::find(const Int3& b) const {
    const HashEntry* e = &m_hash_entries[hashBlock(m_params, b)];
    int32_t next = e->next();
    if (next < 0) return -1;
    while (!e->holds(b.x, b.y, b.z)) {
        if (next == 0) return -1;
        e = &m_hash_entries[next];
        next = e->next();
        if (next < 0) return -1;
    }
    return e->blockIndex();
}

// Fills the caller's entry (whose lock it holds, or which nobody can reach
// yet) with a fresh block index.
int32_t BlockHash::handOutBlock(int32_t entry) {
    const int32_t block = m_block_count.fetch_add(1);
    m_hash_entries[entry].setBlockIndex(block);
    m_block_entries[block] = entry;
    return block;
}

int32_t BlockHash::findOrInsert(const Int3& b) {
    int32_t i = static_cast<int32_t>(hashBlock(m_params, b));
    for (;;) {
        HashEntry& e = m_hash_entries[i];
        const int32_t next = e.next();
        if (next < 0) {
            SpinGuard guard(e.lock);
            if (e.next() < 0) {
                e.x = b.x;
                e.y = b.y;
                e.z = b.z;
                const int32_t block = handOutBlock(i);
                // Publishing the link last makes the entry valid for readers.
                e.publishNext(0);
                return block;
            }
            continue;  // filled meanwhile: look at it again
        }
        if (e.holds(b.x, b.y, b.z)) return e.blockIndex();
        if (next != 0) {
            i = next;
            continue;
        }
        e.lock.lock();
        if (e.next() == 0) break;  // e is the tail and we hold its lock
        const int32_t moved_on = e.next();
        e.lock.unlock();
        i = moved_on;
    }

    // Append to the chain whose tail is entry i; we hold its lock.
    HashEntry& tail = m_hash_entries[i];
    const int64_t n = cur_ExcessHash_Index.fetch_add(1);
    if (n - m_params.hash_bucket_num >= m_params.hash_excess_list_size ||
        n < m_params.hash_bucket_num) {
        std::printf(
            "---- error: (cur_ExcessHash_Index - m_global_params.hash_bucket_num) > "
            "m_global_params.hash_excess_list_size ------- \n");
        tail.lock.unlock();
        return -1;
    }
    HashEntry& fresh = m_hash_entries[n];
    fresh.x = b.x;
    fresh.y = b.y;
    fresh.z = b.z;
    const int32_t block = handOutBlock(static_cast<int32_t>(n));
    fresh.publishNext(0);
    tail.publishNext(static_cast<int32_t>(n));
    tail.lock.unlock();
    return block;
}

}  // namespace fusion
