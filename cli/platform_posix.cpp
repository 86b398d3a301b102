#include <signal.h>
#include <sys/stat.h>

#include "platform.h"

namespace loquant::cli::platform {

const char* nullDevice() noexcept {
  return "/dev/null";
}

void shareWrittenFile(int fd) noexcept {
  fchmod(fd, 0644);
}

struct StopSignals::Saved {
  struct sigaction interrupt {};
  struct sigaction terminate {};
};

StopSignals::StopSignals(void (*handler)(int)) : saved_(std::make_unique<Saved>()) {
  struct sigaction action {};
  action.sa_handler = handler;  // no SA_RESTART
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &saved_->interrupt);
  sigaction(SIGTERM, &action, &saved_->terminate);
}

StopSignals::~StopSignals() {
  sigaction(SIGINT, &saved_->interrupt, nullptr);
  sigaction(SIGTERM, &saved_->terminate, nullptr);
}

}  // namespace loquant::cli::platform
