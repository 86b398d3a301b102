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
// depth, totalEnters) belong to this process's object, not to the shared
// mutex; they are changed only while the mutex is held and read by the
// diagnostics of other threads (hence relaxed atomics: a line may show a value
// that is a moment old). They are the bookkeeping of leave.
//
// On POSIX a named mutex lives in its own small system object that stays
// until removeNamedMutex (or the host's cleanup) removes its name; see
// docs/platform-posix.md.
#pragma once

#include <atomic>
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
  // Must not be destroyed while another thread holds it. Levels still held by
  // the destroying thread are released first.
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  // Waits at most `timeoutMs` (0 only tries; 0xFFFFFFFF waits without
  // limit). With a label, a failure logs the time-out or error line
  // (category 1, level 0); without one it is silent. A holder that died gives
  // false with the error line and result 128 (0x80); the mutex is then free.
  [[nodiscard]] bool enter(std::uint32_t timeoutMs, const char* label);
  // Waits without limit; an abandoned mutex gives false without a line (and
  // is then free); any other failure logs "Lock of mutex failed: <name>".
  [[nodiscard]] bool lock();
  // Releases one level; true and nothing done when depth is 0. False, with
  // the counters unchanged, when the system refuses the release (for example
  // when the calling thread is not the holder).
  bool leave();

  // False when the system object could not be had.
  bool valid() const noexcept;
  const std::string& fullName() const noexcept { return fullName_; }
  std::uint32_t ownerThread() const noexcept {
    return ownerThread_.load(std::memory_order_relaxed);
  }
  std::uint32_t depth() const noexcept { return depth_.load(std::memory_order_relaxed); }
  std::uint32_t totalEnters() const noexcept {
    return totalEnters_.load(std::memory_order_relaxed);
  }

 private:
  void acquired() noexcept;

  std::string fullName_;  // empty for an unnamed mutex
  std::unique_ptr<OsMutex> os_;
  std::atomic<std::uint32_t> ownerThread_ = 0;
  std::atomic<std::uint32_t> totalEnters_ = 0;
  std::atomic<std::uint32_t> depth_ = 0;
};

// Removes the name of the named mutex "Local\Mutex_<logicalName>" so that no
// later Mutex finds it; Mutex objects that have it open keep working. Used by
// the creator of the guarded resource when its instance stops. False when
// there was no such mutex.
bool removeNamedMutex(std::string_view logicalName);

// Holds a Mutex for one scope: whatever leaves the scope (a return, an
// exception) leaves the level this holder took. Check held() before use. A
// holder may let the mutex go within its scope and take it again (a wait
// that must not hold it while it sleeps); it leaves only what it holds.
class MutexHold {
 public:
  // Takes the mutex with enter(timeoutMs, label).
  [[nodiscard]] MutexHold(Mutex& mutex, std::uint32_t timeoutMs, const char* label)
      : mutex_(&mutex), held_(mutex.enter(timeoutMs, label)) {}
  // Takes the mutex with lock(): waits without limit.
  [[nodiscard]] explicit MutexHold(Mutex& mutex) : mutex_(&mutex), held_(mutex.lock()) {}
  ~MutexHold() { release(); }
  MutexHold(const MutexHold&) = delete;
  MutexHold& operator=(const MutexHold&) = delete;
  bool held() const noexcept { return held_; }
  explicit operator bool() const noexcept { return held_; }

  // Leaves the mutex now when this holder holds it.
  void release() noexcept {
    if (held_) mutex_->leave();
    held_ = false;
  }
  // Takes it again after release(), as the constructor does; true when held.
  [[nodiscard]] bool enter(std::uint32_t timeoutMs, const char* label) {
    if (!held_) held_ = mutex_->enter(timeoutMs, label);
    return held_;
  }

 private:
  Mutex* mutex_;
  bool held_;
};

}  // namespace vornix
