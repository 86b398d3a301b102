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

class ActivityMonitor final : public WaitObserver {
 public:
  // Declares a component before its thread starts; it counts as busy until
  // its first wait.
  void add(std::uint32_t componentId);
  // A component whose thread has ended counts as quiet.
  void finished(std::uint32_t componentId);

  void waiting(std::uint32_t componentId) override;
  void resumed(std::uint32_t componentId) override;
  // Wakes a quiet() waiter to look again (the router calls it after routing).
  void poke();

  // Blocks until `isQuiet(idle)` holds, where idle(id) tells whether that
  // component is blocked in its wait; false after `limit` without quiet.
  // isQuiet is evaluated under no lock of this object.
  bool awaitQuiet(const std::function<bool(const std::function<bool(std::uint32_t)>&)>& isQuiet,
                  std::chrono::milliseconds limit);

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::uint32_t, bool> idle_;
  std::uint64_t version_ = 0;
};

}  // namespace vornix::host
