#include "CountingAllocator.h"

#include <atomic>
#include <cstdlib>
#include <limits>
#include <new>

namespace {

std::atomic<std::uint64_t> madeCount{0};
std::atomic<std::int64_t> liveCount{0};
std::atomic<std::size_t> failLimit{std::numeric_limits<std::size_t>::max()};
std::atomic<std::int64_t> failCountdown{-1}; // -1: no single failure armed

bool singleFailureDue() {
    if (failCountdown.load(std::memory_order_relaxed) < 0) return false;
    return failCountdown.fetch_sub(1, std::memory_order_relaxed) == 0;
}

void* allocate(std::size_t size, std::size_t alignment) {
    if (size >= failLimit.load(std::memory_order_relaxed)) return nullptr;
    if (singleFailureDue()) return nullptr;
    if (size == 0) size = 1;
    void* p = nullptr;
    if (alignment <= alignof(std::max_align_t)) {
        p = std::malloc(size);
    } else {
        const std::size_t rounded = (size + alignment - 1) / alignment * alignment;
        p = std::aligned_alloc(alignment, rounded);
    }
    if (p) {
        madeCount.fetch_add(1, std::memory_order_relaxed);
        liveCount.fetch_add(1, std::memory_order_relaxed);
    }
    return p;
}

void* allocateOrThrow(std::size_t size, std::size_t alignment) {
    void* p = allocate(size, alignment);
    if (!p) throw std::bad_alloc();
    return p;
}

void deallocate(void* p) {
    if (!p) return;
    liveCount.fetch_sub(1, std::memory_order_relaxed);
    std::free(p);
}

constexpr std::size_t kPlain = alignof(std::max_align_t);

} // namespace

namespace tv3test::allocations {

std::uint64_t made() { return madeCount.load(); }
std::int64_t live() { return liveCount.load(); }
void failFrom(std::size_t bytes) { failLimit.store(bytes); }
void failNth(std::uint64_t n) { failCountdown.store(static_cast<std::int64_t>(n)); }
void failNone() {
    failLimit.store(std::numeric_limits<std::size_t>::max());
    failCountdown.store(-1);
}

} // namespace tv3test::allocations

void* operator new(std::size_t size) { return allocateOrThrow(size, kPlain); }
void* operator new[](std::size_t size) { return allocateOrThrow(size, kPlain); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, kPlain); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, kPlain); }
void* operator new(std::size_t size, std::align_val_t a) { return allocateOrThrow(size, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t size, std::align_val_t a) { return allocateOrThrow(size, static_cast<std::size_t>(a)); }
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate(size, static_cast<std::size_t>(a));
}

void operator delete(void* p) noexcept { deallocate(p); }
void operator delete[](void* p) noexcept { deallocate(p); }
void operator delete(void* p, std::size_t) noexcept { deallocate(p); }
void operator delete[](void* p, std::size_t) noexcept { deallocate(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { deallocate(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { deallocate(p); }
void operator delete(void* p, std::align_val_t) noexcept { deallocate(p); }
void operator delete[](void* p, std::align_val_t) noexcept { deallocate(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { deallocate(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { deallocate(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { deallocate(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { deallocate(p); }
