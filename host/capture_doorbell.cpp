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

CaptureDoorbell::CaptureDoorbell() {
#ifdef __linux__
  readFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (readFd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  writeFd_ = readFd_;
#else
  int fds[2];
  if (::pipe(fds) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
  for (int fd : fds) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  readFd_ = fds[0];
  writeFd_ = fds[1];
#endif
}

CaptureDoorbell::~CaptureDoorbell() {
  if (writeFd_ != readFd_) ::close(writeFd_);
  ::close(readFd_);
}

void CaptureDoorbell::ring() const noexcept {
  // Non-blocking: a full counter (or pipe) fails with EAGAIN, and then a
  // wake-up is pending already.
#ifdef __linux__
  const std::uint64_t one = 1;
  static_cast<void>(::write(writeFd_, &one, sizeof one));
#else
  const char one = 1;
  static_cast<void>(::write(writeFd_, &one, sizeof one));
#endif
}

bool CaptureDoorbell::wait(std::chrono::microseconds limit) const noexcept {
  pollfd fd{readFd_, POLLIN, 0};
  // Rounded up, so a wait shorter than a millisecond is not a busy loop.
  const auto ms = static_cast<int>((limit.count() + 999) / 1000);
  if (::poll(&fd, 1, ms < 0 ? 0 : ms) <= 0 || (fd.revents & POLLIN) == 0) return false;
  // Takes every ring made so far (an eventfd's read clears its counter).
  char drained[64];
  while (::read(readFd_, drained, sizeof drained) > 0) {
#ifdef __linux__
    break;
#endif
  }
  return true;
}

}  // namespace vornix::host
