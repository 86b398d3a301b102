// CaptureDoorbell: how an audio callback wakes the thread that reads its
// ring, without ever blocking.
//
// ring() may be called from an audio callback (or a signal handler): it is
// one non-blocking write to a kernel counter (an eventfd on Linux, a pipe
// elsewhere), which neither locks, allocates nor waits; when the counter or
// the pipe is full the reader has a wake-up pending anyway and the write is
// dropped. Rings made while the reader is busy collapse into one wake-up.
//
// Thread safety: ring() from any number of threads; wait() from one thread.
#pragma once

#include <chrono>

namespace vornix::host {

class CaptureDoorbell {
 public:
  // The kernel object behind it: the platform's own (an eventfd on Linux,
  // a pipe elsewhere), or a pipe wherever (what other POSIX systems use,
  // selectable so that it is exercised on Linux too).
  enum class Counter { native, pipe };

  // Throws std::system_error when the kernel gives no descriptor.
  explicit CaptureDoorbell(Counter counter = Counter::native);
  ~CaptureDoorbell();
  CaptureDoorbell(const CaptureDoorbell&) = delete;
  CaptureDoorbell& operator=(const CaptureDoorbell&) = delete;

  // Wakes the waiter (or makes its next wait() return at once).
  void ring() const noexcept;

  // Returns once the doorbell has rung since the last wait() (true) or
  // after `limit` (false), and clears the rings taken.
  bool wait(std::chrono::microseconds limit) const noexcept;

 private:
  int readFd_ = -1;
  int writeFd_ = -1;  // the same descriptor as readFd_ for an eventfd
  bool eventCounter_ = false;
};

}  // namespace vornix::host
