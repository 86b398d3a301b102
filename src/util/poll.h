// Bounded polling for hand-overs that come every few microseconds, where a
// blocked thread's wake-up would cost several times the work handed over.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

namespace vornix {

// Tells the processor that the caller is busy-waiting (lets a sibling
// hardware thread run, saves power); nothing on processors without a hint.
inline void cpuRelax() noexcept {
#if defined(__i386__) || defined(__x86_64__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Calls `ready` until it returns true (then true) or until `micros` of real
// time have passed (then false). Between short bursts of looks the core is
// offered to other threads, so a poller never starves the thread it waits
// for when there are more runnable threads than cores.
template <class Ready>
bool pollFor(std::uint32_t micros, Ready&& ready) {
  constexpr int kLooksPerBurst = 32;
  const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(micros);
  while (true) {
    for (int i = 0; i < kLooksPerBurst; ++i) {
      if (ready()) return true;
      cpuRelax();
    }
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::yield();
  }
}

}  // namespace vornix
