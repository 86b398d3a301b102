// Child roles on POSIX: the child is a fork of the caller and runs the role
// directly; its exit status is read with waitpid.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/child_roles.h"
#include "support/test_process.h"

namespace vornix::test {

struct ChildProcess::Impl {
  pid_t pid = -1;
  int status = -1;  // the exit code once reaped
  bool reaped = false;

  // Reaps the child when it has ended; true when it has.
  bool poll(bool block) {
    if (reaped) return true;
    int raw = 0;
    const pid_t got = ::waitpid(pid, &raw, block ? 0 : WNOHANG);
    if (got != pid) return false;
    reaped = true;
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + (WIFSIGNALED(raw) ? WTERMSIG(raw) : 0);
    return true;
  }
};

ChildProcess::ChildProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ChildProcess::~ChildProcess() {
  if (!impl_->reaped) {
    ::kill(impl_->pid, SIGKILL);
    impl_->poll(true);
  }
}

std::unique_ptr<ChildProcess> ChildProcess::start(std::string_view role,
                                                  std::string_view argument) {
  const ChildRole body = detail::findChildRole(role);
  if (body == nullptr) return nullptr;
  const std::string text(argument);
  const pid_t pid = ::fork();
  if (pid < 0) return nullptr;
  if (pid == 0) std::_Exit(body(text));
  auto impl = std::make_unique<Impl>();
  impl->pid = pid;
  return std::make_unique<ChildProcess>(std::move(impl));
}

int ChildProcess::wait(std::uint32_t timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!impl_->poll(false)) {
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return impl_->status;
}

void ChildProcess::kill() {
  if (!impl_->reaped) ::kill(impl_->pid, SIGKILL);
}

void killSelf() {
  ::raise(SIGKILL);
  std::_Exit(kKilledStatus);  // not reached: SIGKILL cannot be caught
}

std::uint32_t processId() {
  return static_cast<std::uint32_t>(::getpid());
}

}  // namespace vornix::test
