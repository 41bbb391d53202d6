#pragma once

// The only place for compiler intrinsics: each has a branch for Microsoft's
// compiler and one for GCC and Clang (clang-cl takes the latter). Everything
// else in the library is standard C++.

#include <cstdint>
#include <type_traits>

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#define KELVANE_MSVC_INTRINSICS 1
#endif

namespace fusion {
namespace platform {

// The index of the lowest set bit of a non-zero word.
inline int countTrailingZeros(uint64_t word) noexcept {
#if defined(KELVANE_MSVC_INTRINSICS)
    unsigned long index;
    _BitScanForward64(&index, word);
    return static_cast<int>(index);
#else
    return __builtin_ctzll(word);
#endif
}

// One untorn, unordered read of a word that other threads write.
template <class T>
inline T relaxedLoad(const T& field) noexcept {
    static_assert(std::is_trivially_copyable<T>::value &&
                      (sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8),
                  "one machine word or less");
#if defined(KELVANE_MSVC_INTRINSICS)
    // Aligned accesses of up to eight bytes are single instructions on the
    // 64-bit targets; volatile keeps the compiler from splitting or merging.
    return *static_cast<const volatile T*>(&field);
#else
    T value;
    __atomic_load(&field, &value, __ATOMIC_RELAXED);
    return value;
#endif
}

// One untorn, unordered write of a word that other threads read.
template <class T>
inline void relaxedStore(T& field, T value) noexcept {
    static_assert(std::is_trivially_copyable<T>::value &&
                      (sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8),
                  "one machine word or less");
#if defined(KELVANE_MSVC_INTRINSICS)
    *static_cast<volatile T*>(&field) = value;
#else
    __atomic_store(&field, &value, __ATOMIC_RELAXED);
#endif
}

// Replaces *field by `desired` when it holds `expected`; true on success.
inline bool compareExchange32(int32_t& field, int32_t expected, int32_t desired) noexcept {
#if defined(KELVANE_MSVC_INTRINSICS)
    // long is 32 bits under every Windows compiler.
    static_assert(sizeof(long) == sizeof(int32_t), "a 32-bit long");
    return _InterlockedCompareExchange(reinterpret_cast<volatile long*>(&field), desired,
                                       expected) == expected;
#else
    return __atomic_compare_exchange_n(&field, &expected, desired, false, __ATOMIC_ACQ_REL,
                                       __ATOMIC_ACQUIRE);
#endif
}

}  // namespace platform
}  // namespace fusion
