// Runs a check in a forked child that sees a /dev/shm of its own: a fresh
// tmpfs of a given size in a private mount namespace. Only there can a test
// list every object a run made (no other process adds any) or fill
// /dev/shm. It takes privileges (root, as CI runs): without them, or where
// the system refuses a new mount namespace, the caller skips with the reason.
#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>

namespace vornix::test {

// The outcome of runInPrivateShm: the child's exit code, or the reason it
// could not run the check.
struct PrivateShmRun {
  std::optional<int> exitCode;  // empty: not run
  std::string skipReason;
};

// Forks a child that unshares its mount namespace, makes every mount in it
// private (nothing propagates back) and mounts a tmpfs of `sizeKiB` KiB on
// /dev/shm, then exits with body()'s result. A child killed by a signal
// gives 128 + the signal number (a SIGBUS is 135).
template <class Body>
PrivateShmRun runInPrivateShm(unsigned sizeKiB, Body body) {
  constexpr int kCannotIsolate = 200;
  if (::geteuid() != 0) return {std::nullopt, "needs root for a private /dev/shm (unshare -m)"};
  const pid_t child = ::fork();
  if (child < 0) return {std::nullopt, "fork failed"};
  if (child == 0) {
    const std::string options = "size=" + std::to_string(sizeKiB) + "k,mode=1777";
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
      ::_exit(kCannotIsolate);
    }
    ::_exit(body());
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child) return {std::nullopt, "waitpid failed"};
  if (WIFEXITED(status) && WEXITSTATUS(status) == kCannotIsolate) {
    return {std::nullopt, "the system refused a private mount namespace with a tmpfs"};
  }
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), {}};
}

}  // namespace vornix::test
