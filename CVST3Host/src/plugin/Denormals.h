// Audio runs with denormal numbers flushed to zero, as hosts run their audio
// threads: a decaying filter or reverb tail would otherwise crawl through
// denormals at many times the cost of normal numbers, and a plug-in's output
// would depend on whichever thread happened to call it (a plug-in may set the
// flags for itself on the thread that activated it).
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif
#include <cstdint>

namespace tv3m {

// Sets flush-to-zero and denormals-are-zero for the calling thread while it
// lives, and puts the caller's settings back after.
class NoDenormals {
public:
#if defined(__x86_64__) || defined(__i386__)
    NoDenormals() : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | kFlushToZero | kDenormalsAreZero); }
    ~NoDenormals() { _mm_setcsr(saved_); }

private:
    static constexpr unsigned kFlushToZero = 0x8000;
    static constexpr unsigned kDenormalsAreZero = 0x0040;
    unsigned saved_;
#elif defined(__aarch64__)
    NoDenormals() {
        asm volatile("mrs %0, fpcr" : "=r"(saved_));
        const std::uint64_t flushed = saved_ | kFlushToZero;
        asm volatile("msr fpcr, %0" : : "r"(flushed));
    }
    ~NoDenormals() { asm volatile("msr fpcr, %0" : : "r"(saved_)); }

private:
    static constexpr std::uint64_t kFlushToZero = std::uint64_t{1} << 24;
    std::uint64_t saved_;
#else
    NoDenormals() = default;
#endif
    NoDenormals(const NoDenormals&) = delete;
    NoDenormals& operator=(const NoDenormals&) = delete;
};

} // namespace tv3m
