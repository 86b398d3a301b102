// Semaphore: a named counting semaphore shared by every process that names
// it ("Local\Semaphore_<logical name>"), with a maximum count; and the
// process-wide semaphore registry.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "util/sync_registries.h"

namespace vornix {

class OsSemaphore;  // the operating system's object (util/named_objects.h)

class Semaphore {
 public:
  // Creates or opens the semaphore (initial count 0, the given maximum). The
  // stored name is the logical name cut to 255 characters. When the system
  // object cannot be had (a name too long for the system, a maximum below 1)
  // the reason is logged, valid() is false and signal and wait fail.
  // The maximum is kept by this object: processes that open the same
  // semaphore with different maxima each enforce their own.
  Semaphore(std::string_view logicalName, std::int32_t maximumCount);
  ~Semaphore();
  static constexpr std::uint32_t kPollBeforeSleepMicros = 10;
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  // Raises the count by one; false when the system refused (for example the
  // count is at its maximum).
  bool signal();
  // True only when the semaphore was obtained within `timeoutMs` (0 only
  // tries; 0xFFFFFFFF waits without limit). A waiting call polls for
  // kPollBeforeSleepMicros before it sleeps.
  bool wait(std::uint32_t timeoutMs);
  // The current count; -1 when there is no system object.
  std::int32_t count() const noexcept;

  bool valid() const noexcept;
  const std::string& name() const noexcept { return name_; }

 private:
  std::string name_;
  std::unique_ptr<OsSemaphore> os_;
};

// The semaphore registered under `logicalName` (the whole name, compared
// bytewise) in this process, created (with maximum count 100) when absent and
// `create` is true; null otherwise, and null when the system object cannot be
// had (nothing is registered then, so a later call tries again). The registry
// owns the object until unload (sync_registries.h); the pointer stays valid
// until then. Thread-safe: the registry is guarded by an unnamed Mutex.
Semaphore* getNamedSemaphore(std::string_view logicalName, bool create);

// Removes the name of the semaphore "Local\Semaphore_<logicalName>" from the
// system; those that have it open keep using it. False when there was none.
bool removeNamedSemaphore(std::string_view logicalName);

}  // namespace vornix
