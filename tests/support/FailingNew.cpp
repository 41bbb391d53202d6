// The replaceable global allocation functions of the test program. Every form
// is replaced, so that no allocation goes around the count and every block
// is released the way it was obtained (malloc and free), also under the
// sanitizers.

#include "support/FailingNew.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> g_counting{false};
std::atomic<long> g_calls{0};
std::atomic<long> g_fail_at{-1};

void* allocate(std::size_t size) noexcept {
    if (g_counting.load(std::memory_order_relaxed)) {
        const long call = g_calls.fetch_add(1, std::memory_order_relaxed);
        if (call == g_fail_at.load(std::memory_order_relaxed)) return nullptr;
    }
    return std::malloc(size == 0 ? 1 : size);
}

void* allocateOrThrow(std::size_t size) {
    void* p = allocate(size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

}  // namespace

namespace fusion_test {

FailingNew::FailingNew(long fail_at) {
    g_calls.store(0);
    g_fail_at.store(fail_at);
    g_counting.store(true);
}

FailingNew::~FailingNew() {
    g_counting.store(false);
    g_fail_at.store(-1);
}

long FailingNew::calls() const { return g_calls.load(); }

}  // namespace fusion_test

void* operator new(std::size_t size) { return allocateOrThrow(size); }
void* operator new[](std::size_t size) { return allocateOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
