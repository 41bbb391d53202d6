#pragma once

// Shared by both sides of the platform layer: the operating systems give back
// whole pages only, so the ragged ends of a range are zeroed by hand.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace fusion {
namespace platform {

struct WholePages {
    unsigned char* begin;
    std::size_t bytes;  // 0: the range holds no whole page
};

// Zeroes the parts of [region, region + bytes) that lie outside whole pages
// (the whole range when it holds none) and returns the whole pages inside.
inline WholePages zeroRaggedEnds(void* region, std::size_t bytes, std::size_t page) {
    auto* begin = static_cast<unsigned char*>(region);
    auto* end = begin + bytes;
    auto* aligned_begin = reinterpret_cast<unsigned char*>(
        (reinterpret_cast<std::uintptr_t>(begin) + page - 1) & ~(page - 1));
    auto* aligned_end =
        reinterpret_cast<unsigned char*>(reinterpret_cast<std::uintptr_t>(end) & ~(page - 1));
    if (aligned_begin >= aligned_end) {
        std::memset(begin, 0, bytes);
        return {nullptr, 0};
    }
    std::memset(begin, 0, static_cast<std::size_t>(aligned_begin - begin));
    std::memset(aligned_end, 0, static_cast<std::size_t>(end - aligned_end));
    return {aligned_begin, static_cast<std::size_t>(aligned_end - aligned_begin)};
}

}  // namespace platform
}  // namespace fusion
