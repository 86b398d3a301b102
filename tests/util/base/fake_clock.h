// A settable clock source for deterministic clock and log tests.
#pragma once

#include <atomic>

#include "util/clock.h"

namespace vornix::testing {

class FakeClock final : public ClockSource {
 public:
  explicit FakeClock(Micros start) : now_(start) {}
  Micros now() override { return now_.load(); }
  void set(Micros value) { now_.store(value); }

 private:
  std::atomic<Micros> now_;
};

// Installs a FakeClock for the lifetime of the guard.
class ScopedFakeClock {
 public:
  explicit ScopedFakeClock(Micros start) : clock_(start) { setClockSource(&clock_); }
  ~ScopedFakeClock() { setClockSource(nullptr); }
  ScopedFakeClock(const ScopedFakeClock&) = delete;
  ScopedFakeClock& operator=(const ScopedFakeClock&) = delete;
  FakeClock& clock() { return clock_; }

 private:
  FakeClock clock_;
};

}  // namespace vornix::testing
