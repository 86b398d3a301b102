#include "host/capture_doorbell.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#ifdef __linux__
#include <sys/eventfd.h>
#endif

namespace vornix::host {

CaptureDoorbell::CaptureDoorbell(Counter counter) {
#ifdef __linux__
  if (counter == Counter::native) {
    readFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (readFd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    writeFd_ = readFd_;
    eventCounter_ = true;
    return;
  }
#else
  static_cast<void>(counter);
#endif
  int fds[2];
  if (::pipe(fds) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
  for (int fd : fds) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  readFd_ = fds[0];
  writeFd_ = fds[1];
}

CaptureDoorbell::~CaptureDoorbell() {
  if (writeFd_ != readFd_) ::close(writeFd_);
  ::close(readFd_);
}

void CaptureDoorbell::ring() const noexcept {
  // Non-blocking: a full counter (or pipe) fails with EAGAIN, and then a
  // wake-up is pending already.
  if (eventCounter_) {
    const std::uint64_t one = 1;
    static_cast<void>(::write(writeFd_, &one, sizeof one));
  } else {
    const char one = 1;
    static_cast<void>(::write(writeFd_, &one, sizeof one));
  }
}

bool CaptureDoorbell::wait(std::chrono::microseconds limit) const noexcept {
  pollfd fd{readFd_, POLLIN, 0};
  // Rounded up, so a wait shorter than a millisecond is not a busy loop.
  const auto ms = static_cast<int>((limit.count() + 999) / 1000);
  if (::poll(&fd, 1, ms < 0 ? 0 : ms) <= 0 || (fd.revents & POLLIN) == 0) return false;
  // Takes every ring made so far: an eventfd's one read clears its counter,
  // a pipe is read until it is empty.
  char drained[64];
  while (::read(readFd_, drained, sizeof drained) > 0 && !eventCounter_) {
  }
  return true;
}

}  // namespace vornix::host
