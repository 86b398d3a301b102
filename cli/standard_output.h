// While a system runs, the components' own lines (written to file
// descriptor 1 by the library) must never mix into the command's output.
// StandardOutputGuard points descriptor 1 at standard error (verbose) or
// the null device for its lifetime and hands out a stream on a duplicate of
// the original standard output for the command's own output.
#pragma once

#include <cstdio>

namespace loquant::cli {

class StandardOutputGuard {
 public:
  explicit StandardOutputGuard(bool verbose);
  ~StandardOutputGuard();  // puts descriptor 1 back
  StandardOutputGuard(const StandardOutputGuard&) = delete;
  StandardOutputGuard& operator=(const StandardOutputGuard&) = delete;

  // The command's output stream (standard output itself if the redirection
  // could not be made).
  std::FILE* out() const { return out_ != nullptr ? out_ : stdout; }

 private:
  int saved_ = -1;
  std::FILE* out_ = nullptr;
};

}  // namespace loquant::cli
