#include <csignal>

#include "platform.h"

namespace loquant::cli::platform {

const char* nullDevice() noexcept {
  return "NUL";
}

// The C runtime turns Ctrl+C into SIGINT and Ctrl+Break into SIGBREAK; SIGTERM
// is raised only by the program itself. Its handlers are reset to the default
// before each call, so the handler stays installed for one request: a second
// Ctrl+C ends the program at once, as one would expect of a stuck run.
struct StopSignals::Saved {
  void (*interrupt)(int) = SIG_DFL;
  void (*terminate)(int) = SIG_DFL;
  void (*breakRequest)(int) = SIG_DFL;
};

StopSignals::StopSignals(void (*handler)(int)) : saved_(std::make_unique<Saved>()) {
  saved_->interrupt = std::signal(SIGINT, handler);
  saved_->terminate = std::signal(SIGTERM, handler);
  saved_->breakRequest = std::signal(SIGBREAK, handler);
}

StopSignals::~StopSignals() {
  std::signal(SIGINT, saved_->interrupt == SIG_ERR ? SIG_DFL : saved_->interrupt);
  std::signal(SIGTERM, saved_->terminate == SIG_ERR ? SIG_DFL : saved_->terminate);
  std::signal(SIGBREAK, saved_->breakRequest == SIG_ERR ? SIG_DFL : saved_->breakRequest);
}

}  // namespace loquant::cli::platform
