// The loquant program started from the cli tests on POSIX: a fork that
// changes into the scratch directory, sends its output to the two files and
// runs the program through the shell (which passes the words on as written).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "cli/cli_support.h"

namespace loquant::test {

struct BackgroundLoquant::Impl {
  pid_t pid = -1;
  bool reaped = false;
  int status = -1;
};

std::string loquantBinary() {
  return std::string(LOQUANT_TEST_BINARY_DIR) + "/cli/loquant";
}

BackgroundLoquant::BackgroundLoquant(const ScratchDir& dir, const std::string& arguments,
                                     const std::string& stem)
    : impl_(std::make_unique<Impl>()) {
  const std::string command = "cd '" + dir.path().string() + "' && exec '" + loquantBinary() +
                              "' " + arguments + " >'" + stem + ".out' 2>'" + stem + ".err'";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    std::_Exit(127);
  }
  impl_->pid = pid;
}

BackgroundLoquant::~BackgroundLoquant() {
  if (impl_->pid > 0 && !impl_->reaped) {
    ::kill(impl_->pid, SIGKILL);
    ::waitpid(impl_->pid, nullptr, 0);
  }
}

bool BackgroundLoquant::started() const {
  return impl_->pid > 0;
}

std::uint32_t BackgroundLoquant::id() const {
  return impl_->pid > 0 ? static_cast<std::uint32_t>(impl_->pid) : 0U;
}

int BackgroundLoquant::wait(std::chrono::milliseconds limit) {
  if (impl_->reaped || impl_->pid <= 0) return impl_->status;
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int raw = 0;
    const pid_t got = ::waitpid(impl_->pid, &raw, WNOHANG);
    if (got == impl_->pid) {
      impl_->reaped = true;
      impl_->status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
      return impl_->status;
    }
    if (got < 0 || std::chrono::steady_clock::now() >= end) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace loquant::test
