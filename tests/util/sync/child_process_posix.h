// A forked child process for the POSIX tests of named objects shared between
// processes: it runs a body, can say "ready" once, and is killed and reaped
// if the test ends first.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vornix::test {

// A child process running `body`; its exit code is body's result. The pipe
// lets the child say "ready" with one byte.
class Child {
 public:
  template <class Body>
  explicit Child(Body body) {
    if (::pipe(pipe_) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(pipe_[0]);
      const int code = body(pipe_[1]);
      ::_exit(code);
    }
    ::close(pipe_[1]);
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      waitResult();
    }
    if (pipe_[0] >= 0) ::close(pipe_[0]);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  // True when the child reported ready.
  bool awaitReady() {
    char byte = 0;
    return ::read(pipe_[0], &byte, 1) == 1;
  }
  void kill() { ::kill(pid_, SIGKILL); }
  // The raw wait status.
  int waitResult() {
    int status = -1;
    if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_) pid_ = -1;
    return status;
  }

  static void ready(int fd) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(fd, &byte, 1);
  }

 private:
  int pipe_[2] = {-1, -1};
  pid_t pid_ = -1;
};

}  // namespace vornix::test
