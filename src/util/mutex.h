// Mutex: a named (shared by every process that names it) or unnamed
// recursive mutex with bookkeeping for diagnostics.
//
// Full names are "Local\Mutex_<logical name>". Every user of a shared section
// takes its mutex with enter(5000, "<operation label>"), does its work and
// leaves on every path. A holder that died is reported as "abandoned": the
// waiter's enter/lock fails once (with the error line when labelled), and the
// mutex is made consistent and released so that the next caller gets it.
//
// Thread safety: any thread may use the object. The counters (ownerThread,
// depth, totalEnters) are plain fields of this process's object, changed only
// while the mutex is held; they are diagnostics and the bookkeeping of leave.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace vornix {

class OsMutex;  // the operating system's object (util/named_objects.h)

class Mutex {
 public:
  // Creates or opens the named mutex "Local\Mutex_<logicalName>". When the
  // system object cannot be had (for example the name is too long for the
  // system), the failure is logged and every operation fails.
  explicit Mutex(std::string_view logicalName);
  // An unnamed mutex private to this process.
  Mutex();
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  // Waits at most `timeoutMs`. With a label, a failure logs the time-out or
  // error line (category 1, level 0); without one it is silent.
  bool enter(std::uint32_t timeoutMs, const char* label);
  // Waits without limit; an abandoned mutex gives false without a line.
  bool lock();
  // Releases one level; true and nothing done when depth is 0.
  bool leave();

  bool valid() const noexcept;
  const std::string& fullName() const noexcept { return fullName_; }
  std::uint32_t ownerThread() const noexcept { return ownerThread_; }
  std::uint32_t depth() const noexcept { return depth_; }
  std::uint32_t totalEnters() const noexcept { return totalEnters_; }

 private:
  void acquired() noexcept;

  std::string fullName_;  // empty for an unnamed mutex
  std::unique_ptr<OsMutex> os_;
  std::uint32_t ownerThread_ = 0;
  std::uint32_t totalEnters_ = 0;
  std::uint32_t depth_ = 0;
};

// Holds a Mutex taken with enter() for one scope; check held() before use.
class MutexHold {
 public:
  MutexHold(Mutex& mutex, std::uint32_t timeoutMs, const char* label)
      : mutex_(&mutex), held_(mutex.enter(timeoutMs, label)) {}
  ~MutexHold() {
    if (held_) mutex_->leave();
  }
  MutexHold(const MutexHold&) = delete;
  MutexHold& operator=(const MutexHold&) = delete;
  bool held() const noexcept { return held_; }
  explicit operator bool() const noexcept { return held_; }

 private:
  Mutex* mutex_;
  bool held_;
};

}  // namespace vornix
