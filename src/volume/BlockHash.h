#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "volume/Coordinates.h"
#include "volume/GlobalParams.h"
#include "volume/Records.h"

namespace fusion {

// Maps block coordinates to dense block indices (0, 1, 2, ... in insertion
// order) through hash_bucket_num ordered buckets followed by an excess list
// that chains colliding blocks.
//
//   m_hash_entries        buckets, then excess entries; reserved as zero
//                         pages, so an all-zero entry is empty and only the
//                         pages that blocks landed in cost memory.
//   HashEntry::lock       guards that entry's emptiness test and its next
//                         link. Readers take no lock: a writer fills an entry
//                         completely before publishing its link (release),
//                         readers load links with acquire.
//   m_block_entries       the entry of every handed-out block, so clearing
//                         touches only the entries in use.
//   m_block_count, cur_ExcessHash_Index
//                         change only by atomic increments.
class BlockHash {
public:
    BlockHash() = default;
    ~BlockHash();
    BlockHash(const BlockHash&) = delete;
    BlockHash& operator=(const BlockHash&) = delete;

    bool allocate(const GlobalParams& params);  // false when memory is lacking
    void release();
    // Empties every entry in use; only while nobody else uses the table.
    void clear();

    // The block index of b, or -1 when b was never inserted. Never inserts,
    // never locks.
    int32_t find(const Int3& b) const;
    // The block index of b, inserting b when absent; -1 when b's chain needs
    // a new excess entry and the excess list is exhausted (a line is printed
    // each time).
    int32_t findOrInsert(const Int3& b);

    int32_t blockCount() const { return m_block_count.load(std::memory_order_relaxed); }
    int32_t nextExcessEntry() const { return cur_ExcessHash_Index.load(std::memory_order_relaxed); }

private:
    int32_t handOutBlock(int32_t entry);

    HashEntry* m_hash_entries = nullptr;
    std::size_t m_entry_total = 0;  // buckets + excess entries
    int32_t* m_block_entries = nullptr;
    GlobalParams m_params{};  // sizes and mask; fixed at allocate()
    std::atomic<int32_t> m_block_count{0};
    std::atomic<int32_t> cur_ExcessHash_Index{0};
};

}  // namespace fusion
