// Processes in tests, the same way on every system: a child process that
// runs one registered role and hands back an exit code, a kill from outside
// or from within, and the id of this process.
//
// A role is a plain function of one text argument, registered under a name
// at static initialisation. On POSIX the child is a fork of the caller; on
// Windows it is this test program started anew (CreateProcessA), which runs
// only the role. A role must therefore depend on nothing but its argument
// and what it opens by name itself (sections, mutexes, files).
//
// Thread safety: start() may be called from several threads; one
// ChildProcess object is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace vornix::test {

// A role's body: its exit code from its argument.
using ChildRole = int (*)(const std::string& argument);

// Registers `role` under `name` (a literal); always true, so that the result
// can initialise a namespace-scope constant. A name registered twice keeps
// its first role.
bool registerChildRole(const char* name, ChildRole role);

// The exit code that wait() reports for a child ended by kill() or by
// killSelf(): 128 + SIGKILL, as a POSIX shell reports it, on every system.
inline constexpr int kKilledStatus = 137;

class ChildProcess {
 public:
  // Starts the registered `role` with `argument` in a new process. Null when
  // the role is unknown or the system refuses a process.
  static std::unique_ptr<ChildProcess> start(std::string_view role, std::string_view argument);
  // Kills a child that is still running and reaps it.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The exit code (kKilledStatus when it was killed); -1 when the child did
  // not end within `timeoutMs`. Once it has ended, asks again at no cost.
  int wait(std::uint32_t timeoutMs = 60'000);
  // Ends the child at once, as SIGKILL or TerminateProcess do.
  void kill();

  struct Impl;
  explicit ChildProcess(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

// Ends this process at once with kKilledStatus: no destructors run, nothing
// is flushed, and mutexes it holds are left to the system (abandoned).
[[noreturn]] void killSelf();

// The id of this process.
std::uint32_t processId();

}  // namespace vornix::test
