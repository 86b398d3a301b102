#include <signal.h>

#include <iterator>

#include "platform.h"

namespace loquant::cli::platform {

const char* nullDevice() noexcept {
  return "/dev/null";
}

namespace {
// The requests to stop: an interrupt, a termination, a hang-up, and a write
// to a pipe whose reader has gone (the write itself then fails with EPIPE
// instead of ending the process, so the instance can be cleaned up).
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
}  // namespace

struct StopSignals::Saved {
  struct sigaction previous[std::size(kStopSignals)]{};
};

StopSignals::StopSignals(void (*handler)(int)) : saved_(std::make_unique<Saved>()) {
  struct sigaction action {};
  action.sa_handler = handler;  // no SA_RESTART
  sigemptyset(&action.sa_mask);
  for (std::size_t i = 0; i < std::size(kStopSignals); ++i) {
    sigaction(kStopSignals[i], &action, &saved_->previous[i]);
  }
}

StopSignals::~StopSignals() {
  for (std::size_t i = 0; i < std::size(kStopSignals); ++i) {
    sigaction(kStopSignals[i], &saved_->previous[i], nullptr);
  }
}

}  // namespace loquant::cli::platform
