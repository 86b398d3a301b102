#include "replaced_allocation.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<std::size_t> watchedSize{0};  // 0: not counting
std::atomic<std::size_t> largeBlocks{0};
std::atomic<std::size_t> allocations{0};
thread_local unsigned failCountdown = 0;  // 0: disarmed
}  // namespace

namespace vornix::testing {

std::size_t allocationsSoFar() {
  return allocations.load();
}

std::size_t watchLargeBlocks(std::size_t bytes) {
  watchedSize.store(bytes);
  return largeBlocks.exchange(0);
}

void failNthAllocationOnThisThread(unsigned n) {
  failCountdown = n;
}

}  // namespace vornix::testing

// The replacements pair malloc with free on purpose; GCC cannot see that
// through the inlined new-expressions and warns in optimised builds.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (failCountdown != 0 && --failCountdown == 0) throw std::bad_alloc();
  const std::size_t watched = watchedSize.load(std::memory_order_relaxed);
  if (watched != 0 && size >= watched) largeBlocks.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  return ::operator new(size);
}
// The non-throwing forms too: the library's sorts take their buffers
// through them and give them back through the plain delete.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return ::operator new(size, std::nothrow);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
