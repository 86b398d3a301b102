// SimulatedClock: the clock of an offline run, which moves only when the
// host sets it.
#pragma once

#include <atomic>

#include "util/clock.h"

namespace vornix::host {

// Thread-safe: the host sets it, anything may read it.
class SimulatedClock final : public ClockSource {
 public:
  explicit SimulatedClock(Micros start) : now_(start) {}
  Micros now() override { return now_.load(std::memory_order_acquire); }
  // Pairs with the acquire load above: a reader that sees the new time also
  // sees everything the host wrote before advancing.
  void set(Micros t) { now_.store(t, std::memory_order_release); }

 private:
  std::atomic<Micros> now_;
};

}  // namespace vornix::host
