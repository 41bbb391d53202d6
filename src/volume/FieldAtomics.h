#pragma once

// Atomic operations on plain fields of records that live in shared storage
// (for example FusionPoint::frame_stamp), where the field cannot be a
// std::atomic because the record is copied whole and sits in zero pages.

#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

namespace fusion {

// Replaces *field by `desired` when it holds `expected`; true on success.
inline bool compareExchange32(int32_t* field, int32_t expected, int32_t desired) noexcept {
#if defined(_MSC_VER) && !defined(__clang__)
    return _InterlockedCompareExchange(reinterpret_cast<volatile long*>(field), desired,
                                       expected) == expected;
#else
    return __atomic_compare_exchange_n(field, &expected, desired, false, __ATOMIC_ACQ_REL,
                                       __ATOMIC_ACQUIRE);
#endif
}

inline int32_t loadRelaxed32(const int32_t* field) noexcept {
#if defined(_MSC_VER) && !defined(__clang__)
    return *reinterpret_cast<const volatile long*>(field);
#else
    return __atomic_load_n(field, __ATOMIC_RELAXED);
#endif
}

}  // namespace fusion
