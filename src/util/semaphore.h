// Semaphore: a named counting semaphore shared by every process that names
// it ("Local\Semaphore_<logical name>"), with a maximum count; and the
// process-wide semaphore registry.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace vornix {

class OsSemaphore;  // the operating system's object (util/named_objects.h)

class Semaphore {
 public:
  // Creates or opens the semaphore (initial count 0, the given maximum). The
  // stored name is the logical name cut to 255 characters.
  Semaphore(std::string_view logicalName, std::int32_t maximumCount);
  ~Semaphore();
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  // Raises the count by one; false when the system refused (for example the
  // count is at its maximum).
  bool signal();
  // True only when the semaphore was obtained within `timeoutMs`.
  bool wait(std::uint32_t timeoutMs);

  bool valid() const noexcept;
  const std::string& name() const noexcept { return name_; }

 private:
  std::string name_;
  std::unique_ptr<OsSemaphore> os_;
};

// The semaphore registered under `logicalName` in this process, created (with
// maximum count 100) when absent and `create` is true; null otherwise. The
// registry owns the object until unload. Thread-safe.
Semaphore* getNamedSemaphore(std::string_view logicalName, bool create);

}  // namespace vornix
