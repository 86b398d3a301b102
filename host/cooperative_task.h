// CooperativeTask: a body that runs on a stack of its own, on the thread that
// resumes it, until it suspends itself or returns.
//
// The offline drive runs every component as one such task on its single
// thread: a component whose wait finds nothing suspends its task, and the
// drive resumes it once there is something for it. Switching is behind the
// platform seam (a context-switching library on POSIX, the system's fibers
// on Windows).
//
// Guarantees:
// - Each task's stack ends in a guard page: a body that overflows its stack
//   faults at once instead of writing over other memory.
// - An exception that leaves the body ends the task; it is kept and handed
//   to the drive (failure()), never thrown through resume().
// - Under AddressSanitizer and ThreadSanitizer every switch is announced to
//   the sanitizer, so both keep working on the tasks' stacks.
//
// Thread safety: a task is resumed by one thread only, the one that created
// it; resume() is never called from inside a task, suspend() only from inside
// the task's own body.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <string>

namespace vornix::host {

class CooperativeTask {
 public:
  // Bytes of stack per task: address space reserved, pages committed as the
  // body touches them.
  static std::size_t defaultStackBytes() noexcept;

  // Null with the reason in `error` when the stack cannot be had. The body
  // does not run before the first resume().
  [[nodiscard]] static std::unique_ptr<CooperativeTask> create(std::function<void()> body,
                                                               std::size_t stackBytes,
                                                               std::string& error);
  // A finished task only releases its stack. An unfinished one is ended
  // first: on POSIX its stack is unwound (destructors run); on Windows the
  // stack is dropped as it is.
  ~CooperativeTask();
  CooperativeTask(const CooperativeTask&) = delete;
  CooperativeTask& operator=(const CooperativeTask&) = delete;

  // Runs the task until it suspends or its body ends. Does nothing once the
  // task has finished.
  void resume();
  // From the task's own body only: hands control back to the caller of the
  // resume() that is running it; returns at the next resume().
  void suspend();
  // True once the body has returned or thrown.
  bool finished() const noexcept;
  // What the body threw, if it threw.
  std::exception_ptr failure() const noexcept;

  struct Impl;
  explicit CooperativeTask(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace vornix::host
