// What the host needs to drive a simulated clock: the clock itself, and a
// watch over the components' waits that tells when the whole system is
// quiet (every component blocked in its wait with nothing queued, and every
// posted message routed), so that the clock may advance.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "runtime/zel_api.h"
#include "util/clock.h"

namespace vornix::host {

// A clock that moves only when the host sets it. Thread-safe.
class SimulatedClock final : public ClockSource {
 public:
  explicit SimulatedClock(Micros start) : now_(start) {}
  Micros now() override { return now_.load(std::memory_order_acquire); }
  // Pairs with the acquire load above: a component that sees the new time
  // also sees everything the host wrote before advancing.
  void set(Micros t) { now_.store(t, std::memory_order_release); }

 private:
  std::atomic<Micros> now_;
};

// What one look at the system found.
enum class Look {
  quiet,       // nothing to do anywhere
  busy,        // some component works or has queued pairs: wait for a change
  progressed,  // the looker itself moved messages on: look again at once
};

// Tracks which components are blocked in their waits. Every change of a
// component's state raises a version number, so that a look at the whole
// system can tell whether anything moved while it looked. Thread-safe.
class ActivityMonitor final : public WaitObserver {
 public:
  // pollMicros: how long components poll before they block, and how long
  // awaitQuiet polls for a change before it sleeps (0: neither polls). An
  // offline drive hands work back and forth every few microseconds, and a
  // sleeping thread costs a wake-up of several times that.
  // Set before any component thread starts.
  void setPollMicros(std::uint32_t micros) noexcept { pollMicros_ = micros; }
  // Times the components' waits on `clock` (see dueAt()) instead of letting
  // them time out in real time. Set before any component thread starts.
  void timeWaitsOn(ClockSource* clock) noexcept { clock_ = clock; }

  // Declares a component before its thread starts; it counts as busy until
  // its first wait.
  void add(std::uint32_t componentId);
  // A component whose thread has ended counts as quiet.
  void finished(std::uint32_t componentId);

  void waiting(std::uint32_t componentId, std::uint32_t timeoutMs) override;
  void resumed(std::uint32_t componentId) override;
  std::uint32_t pollMicros() const noexcept override { return pollMicros_; }
  bool timesWaits() const noexcept override { return clock_ != nullptr; }

  // With waits timed on a clock: the components blocked in a wait whose
  // time-out has passed at `now`, in id order. Each is reported once per
  // wait; the caller ends those waits.
  std::vector<std::uint32_t> dueAt(Micros now);

  // True when the component is blocked in its wait (or unknown, or ended).
  bool idle(std::uint32_t componentId) const;

  // Blocks until `look()` answers quiet while no component changed state
  // during the look, so that a component that posted and went back to its
  // wait in the middle of a look is never missed. `look` runs under no lock
  // of this object and may call idle(). False after `limit` without quiet.
  bool awaitQuiet(const std::function<Look()>& look, std::chrono::milliseconds limit);

 private:
  struct Entry {
    bool idle = false;
    Micros deadline = 0;  // of the current wait on clock_; 0: none
  };
  void changed(std::uint32_t componentId, bool idle, Micros deadline, bool wake);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::uint32_t, Entry> entries_;
  // Raised under mutex_ at every change; read under it, or without it by a
  // poll that only asks whether it moved.
  std::atomic<std::uint64_t> version_{0};
  std::uint32_t pollMicros_ = 0;
  ClockSource* clock_ = nullptr;
};

}  // namespace vornix::host
