// Replaces the global operator new/delete pair with thin malloc/free wrappers
// that remember the largest request. Sanitizers still see every malloc.
#include "AllocationProbe.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<size_t> largestRequest{0};

void* allocate(size_t n) {
    size_t seen = largestRequest.load(std::memory_order_relaxed);
    while (n > seen && !largestRequest.compare_exchange_weak(seen, n, std::memory_order_relaxed)) {
    }
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
}  // namespace

namespace allocprobe {
void reset() { largestRequest.store(0); }
size_t largest() { return largestRequest.load(); }
}  // namespace allocprobe

// Every unaligned form is replaced, so no block crosses between this pair and
// the runtime's own (the sanitizers report such a mix as a mismatch).
void* operator new(size_t n) { return allocate(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
    try {
        return allocate(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
    return operator new(n, std::nothrow);
}
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void* operator new[](size_t n) { return allocate(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
