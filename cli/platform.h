// The few operating-system differences of the command line, one file per
// system (platform_posix.cpp, platform_win32.cpp) chosen by the build.
#pragma once

#include <memory>

namespace loquant::cli::platform {

// The path of the null device ("/dev/null", "NUL"), for output that is to go
// nowhere.
const char* nullDevice() noexcept;

// Calls `handler` with the signal's number at an interrupt (Ctrl+C) or a
// termination request while the object lives, and on POSIX also at a hang-up
// (SIGHUP) and at a write to a pipe whose reader has gone (SIGPIPE: the write
// fails with EPIPE instead of ending the process). Interrupted waits are not
// resumed, so a sleeping thread wakes at once. The previous handlers are put
// back on destruction. The handler runs as a signal handler: it may only set
// lock-free atomics. A verb that stops for one of these signals cleans up and
// exits with 128 + its number, as the shell reports a process it ended.
class StopSignals {
 public:
  explicit StopSignals(void (*handler)(int));
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  struct Saved;  // the previous handlers, as each system keeps them

 private:
  std::unique_ptr<Saved> saved_;
};

}  // namespace loquant::cli::platform
