// Replacements of the global allocation functions for the suites that link
// them (not the others, whose allocations the sanitizers keep watching):
// every allocation of the program, and of a library it loads on a system
// whose shared libraries use the program's allocation functions (not a
// Windows DLL, which carries its own), passes through them. Tests use them to
// count allocations, watch large blocks and make allocations fail.
#pragma once

#include <cstddef>

namespace vornix::testing {

// True where the library's allocations come through this program's
// replacements.
#ifdef _WIN32
inline constexpr bool kSeesLibraryAllocations = false;
#else
inline constexpr bool kSeesLibraryAllocations = true;
#endif

// Allocations made by the whole program so far.
std::size_t allocationsSoFar();

// Counts the blocks of at least `bytes` from now on (0: stops counting) and
// returns how many were counted since the last call.
std::size_t watchLargeBlocks(std::size_t bytes);

// The `n`-th allocation made on the calling thread from now on (1: the next
// one) throws std::bad_alloc; every other succeeds. 0 disarms.
void failNthAllocationOnThisThread(unsigned n);

}  // namespace vornix::testing
