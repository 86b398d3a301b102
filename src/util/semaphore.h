// Semaphore: a named counting semaphore shared by every process that names
// it ("Local\Semaphore_<logical name>"), with a maximum count; and the
// process-wide semaphore registry.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "util/named_objects.h"
#include "util/sync_registries.h"

namespace vornix {

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

  // Whether the system name still leads to this semaphore (OsSemaphore::
  // nameBinding: one stat on POSIX, always `thisObject` on Windows);
  // `noObject` when there is no system object.
  using NameBinding = OsSemaphore::NameBinding;
  NameBinding nameBinding() const noexcept;

 private:
  std::string name_;
  std::unique_ptr<OsSemaphore> os_;
};

// The maximum count of the semaphores that wake the readers of message queues
// (one release per record), whether registered or opened by a client.
inline constexpr std::int32_t kQueueSemaphoreMaximum = 100;

// The semaphore registered under `logicalName` (the whole name, compared
// bytewise) in this process, created (with maximum count 100) when absent and
// `create` is true; null otherwise, and null when the system object cannot be
// had (nothing is registered then, so a later call tries again).
//
// Never hands out a semaphore whose name has been removed: every call checks
// that the system name still leads to the registered object (one stat on
// POSIX, nothing on Windows where an open object keeps its name). When the
// name was removed, by this process, another process or another copy of this
// code in the process, the call opens what the name leads to now (creating it
// when there is none and `create` is true; null when there is none and
// `create` is false), so that it shares signals with every other opener. The
// replaced semaphore is retired, not deleted: pointers handed out earlier stay
// valid (they reach the unnamed object).
//
// The registry owns every object until unload (sync_registries.h); the
// pointers stay valid until then. Thread-safe: the registry is guarded by an
// unnamed Mutex.
Semaphore* getNamedSemaphore(std::string_view logicalName, bool create);

// Removes the name of the semaphore "Local\Semaphore_<logicalName>" from the
// system; those that have it open keep using it. False when there was none.
bool removeNamedSemaphore(std::string_view logicalName);

}  // namespace vornix
