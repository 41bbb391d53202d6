#pragma once

// How the frame loops hand out their iterations to a team: each member owns
// one contiguous share (as a static schedule would give it) and works
// through it from the front, a chunk at a time; a member whose share is done
// takes chunks from the back of the share with the most left. The members
// thus stay apart in the frame (neighbouring points land in the same voxels,
// and members meeting there would fuse them in an order that depends on
// timing) while a member held up by a busy core delays nobody: the others
// finish its share.
//
// Made before the parallel region, then shared by the team; each member
// calls next() with its own number (teamMember()) until it returns false.
// Nothing is allocated: beyond kMaxShares members, the others own no share
// and only take from the back of those that exist.

#include <algorithm>
#include <atomic>
#include <cstdint>

#ifdef _OPENMP
#include <omp.h>
#endif

namespace fusion {

// The calling thread's number in its OpenMP team (0 outside one).
inline int teamMember() noexcept {
#ifdef _OPENMP
    return omp_get_thread_num();
#else
    return 0;
#endif
}

class LoopShares {
public:
    static constexpr int kMaxShares = 32;

    LoopShares(int count, int members, int chunk) noexcept
        : m_members(std::min(std::max(1, members), kMaxShares)), m_chunk(std::max(1, chunk)) {
        const int64_t n = std::max(0, count);
        for (int m = 0; m < m_members; ++m) {
            const auto front = static_cast<uint32_t>(n * m / m_members);
            const auto back = static_cast<uint32_t>(n * (m + 1) / m_members);
            m_shares[m].range.store(pack(front, back), std::memory_order_relaxed);
        }
    }
    LoopShares(const LoopShares&) = delete;
    LoopShares& operator=(const LoopShares&) = delete;

    // The next chunk [begin, end) for team member `member`; false when the
    // whole loop has been handed out.
    bool next(int member, int& begin, int& end) noexcept {
        if (member >= 0 && member < kMaxShares && member < m_members &&
            takeFront(m_shares[member], begin, end))
            return true;
        for (;;) {
            // The share with the most left, taken from its back.
            int victim = -1;
            uint32_t most = 0;
            for (int m = 0; m < m_members; ++m) {
                const uint64_t range = m_shares[m].range.load(std::memory_order_relaxed);
                const uint32_t left = backOf(range) - frontOf(range);
                if (left > most) {
                    most = left;
                    victim = m;
                }
            }
            if (victim < 0) return false;
            if (takeBack(m_shares[victim], begin, end)) return true;
        }
    }

private:
    // front in the low half, back in the high half; both change by
    // compare-and-exchange, so an owner and a thief never take one chunk.
    struct alignas(64) Share {
        std::atomic<uint64_t> range{0};
    };
    static uint64_t pack(uint32_t front, uint32_t back) noexcept {
        return static_cast<uint64_t>(back) << 32 | front;
    }
    static uint32_t frontOf(uint64_t range) noexcept { return static_cast<uint32_t>(range); }
    static uint32_t backOf(uint64_t range) noexcept { return static_cast<uint32_t>(range >> 32); }

    bool takeFront(Share& share, int& begin, int& end) noexcept {
        uint64_t range = share.range.load(std::memory_order_relaxed);
        for (;;) {
            const uint32_t front = frontOf(range), back = backOf(range);
            if (front >= back) return false;
            const uint32_t to = std::min(back, front + static_cast<uint32_t>(m_chunk));
            if (share.range.compare_exchange_weak(range, pack(to, back),
                                                  std::memory_order_relaxed)) {
                begin = static_cast<int>(front);
                end = static_cast<int>(to);
                return true;
            }
        }
    }

    bool takeBack(Share& share, int& begin, int& end) noexcept {
        uint64_t range = share.range.load(std::memory_order_relaxed);
        for (;;) {
            const uint32_t front = frontOf(range), back = backOf(range);
            if (front >= back) return false;
            const uint32_t from = back - std::min(back - front, static_cast<uint32_t>(m_chunk));
            if (share.range.compare_exchange_weak(range, pack(front, from),
                                                  std::memory_order_relaxed)) {
                begin = static_cast<int>(from);
                end = static_cast<int>(back);
                return true;
            }
        }
    }

    int m_members;
    int m_chunk;
    Share m_shares[kMaxShares];
};

}  // namespace fusion
