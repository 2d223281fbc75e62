// This test program replaces the global operator new and delete with versions
// that count, so that a test can see what a piece of code allocates and frees,
// and can make large allocations fail.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tv3test::allocations {

// Allocations made so far, on every thread.
std::uint64_t made();
// Blocks allocated and not yet freed.
std::int64_t live();
// From now on, every allocation of at least this many bytes fails as if
// memory had run out; failNone() ends that.
void failFrom(std::size_t bytes);
// The allocation `n` allocations from now (0: the very next one) fails, once.
void failNth(std::uint64_t n);
// Ends failFrom and failNth.
void failNone();

} // namespace tv3test::allocations
