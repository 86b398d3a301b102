#include "standard_output.h"

#include <fcntl.h>
#include <unistd.h>

#include "platform.h"

namespace loquant::cli {

StandardOutputGuard::StandardOutputGuard(bool verbose) {
  std::fflush(stdout);
  saved_ = dup(STDOUT_FILENO);
  const int target = verbose ? dup(STDERR_FILENO) : ::open(platform::nullDevice(), O_WRONLY);
  if (saved_ >= 0 && target >= 0) {
    dup2(target, STDOUT_FILENO);
    out_ = fdopen(saved_, "wb");
  }
  if (target >= 0) close(target);
  if (out_ == nullptr && saved_ >= 0) close(saved_);
}

StandardOutputGuard::~StandardOutputGuard() {
  std::fflush(stdout);
  if (out_ != nullptr) {
    std::fflush(out_);
    dup2(fileno(out_), STDOUT_FILENO);
    std::fclose(out_);
  }
}

}  // namespace loquant::cli
