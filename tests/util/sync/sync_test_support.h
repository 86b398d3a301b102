// Helpers of the synchronisation tests: unique object names per test run, a
// capture of log lines and a look at the system objects under /dev/shm.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "util/log.h"
#include "util/named_objects.h"

namespace vornix::test {

// A logical name no other run or test uses: "SyncTest_<pid>_<n>_<tag>".
inline std::string uniqueName(const std::string& tag) {
  static std::atomic<unsigned> next{0};
  return "SyncTest_" + std::to_string(::getpid()) + "_" + std::to_string(next++) + "_" + tag;
}

// The prefix of every full name this run creates (for the final cleanup check).
inline std::string runPrefixOf(const std::string& kind) {
  return "Local\\" + kind + "SyncTest_" + std::to_string(::getpid()) + "_";
}

// Collects the lines logged while it lives.
class LogCapture {
 public:
  LogCapture() {
    setLogLineSink(
        [this](std::uint32_t, std::uint8_t category, std::uint8_t, std::string_view line) {
          std::lock_guard<std::mutex> hold(guard_);
          lines_.emplace_back(line);
          categories_.push_back(category);
        });
  }
  ~LogCapture() { setLogLineSink({}); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> hold(guard_);
    return lines_;
  }
  std::vector<std::uint8_t> categories() const {
    std::lock_guard<std::mutex> hold(guard_);
    return categories_;
  }

 private:
  mutable std::mutex guard_;
  std::vector<std::string> lines_;
  std::vector<std::uint8_t> categories_;
};

// The file the system keeps for a named object (of any kind), or empty when
// the name is refused.
inline std::string objectFile(const std::string& fullName) {
  const std::optional<std::string> name = systemObjectName(fullName);
  if (!name) return {};
  return "/dev/shm/" + name->substr(1);
}

// Mode bits of the object's file, or -1 when it does not exist.
inline int objectMode(const std::string& fullName) {
  struct stat info {};
  if (::lstat(objectFile(fullName).c_str(), &info) != 0) return -1;
  return static_cast<int>(info.st_mode & 07777);
}

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
