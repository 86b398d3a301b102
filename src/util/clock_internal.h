// Internals of the clock, shared by clock.cpp and its tests. Not part of the
// library's interface.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "util/clock.h"

namespace vornix::detail {

// Longest time between two anchorings of the clock.
inline constexpr Micros kAnchorLifetimeMicros = 60'000'000;

// Converts counter ticks to microseconds at `frequency` ticks per second:
// exact integer arithmetic below 2^40 - 1 ticks, double precision above.
// Empty for a frequency <= 0 or a result beyond the 64-bit range.
std::optional<Micros> counterToMicros(std::uint64_t ticks, std::int64_t frequency) noexcept;

// Scales a thread's CPU ticks by the counter's ticks per microsecond
// (frequency / 1,000,000). A counter slower than 1 MHz scales up instead of
// dividing by zero. Empty for a frequency <= 0; saturates at the 64-bit limit.
std::optional<std::uint64_t> scaleCpuTicks(std::uint64_t ticks, std::int64_t frequency) noexcept;

// The anchor of the clock and the counter time at which it was taken.
//
// Readers and the anchoring thread meet through a sequence lock: the writer
// makes the sequence odd, stores both values and makes it even again; a reader
// retries until it has read both values between two equal, even readings of
// the sequence, so it never pairs an anchor with the counter time of another
// anchoring. Reads take no lock and never wait for the (up to 1 ms) wall-clock
// calibration, which runs before the short write section; at most one thread
// anchors at a time, the others keep using the previous anchor meanwhile.
class AnchoredClock {
 public:
  struct Anchor {
    Micros anchor = 0;         // wall time minus counter time; 0 = not anchored
    Micros counterMicros = 0;  // counter time of the anchoring
  };

  // Wall-clock calibration: returns the anchor (wall minus counter time),
  // 0 on failure. Must be thread-safe.
  using Calibrate = Micros (*)(void* context);

  // The time for the counter reading `counterMicros`: anchor + counterMicros,
  // anchoring first through `calibrate` when there is no anchor yet or the
  // reading lies outside [anchoring time, anchoring time + 60 s]. Gives 0
  // when the clock has never been anchored and the calibration fails.
  Micros timeAt(Micros counterMicros, Calibrate calibrate, void* context) noexcept;

  // Publishes a new anchor. Thread-safe.
  void store(Anchor value) noexcept;

  // A consistent snapshot of the anchor. Thread-safe, lock-free.
  Anchor load() const noexcept;

 private:
  // Odd while a writer is storing. Paired: the writer's release increments
  // with the reader's acquire loads.
  std::atomic<std::uint64_t> sequence_{0};
  std::atomic<Micros> anchor_{0};
  std::atomic<Micros> counterMicros_{0};
  // Set while one thread calibrates, so that concurrent stale readers do not
  // all spin on the wall clock.
  std::atomic<bool> anchoring_{false};
  // Serialises writers against each other (store is rare).
  std::atomic<bool> writing_{false};
};

}  // namespace vornix::detail
