// A progress bar on standard error, drawn only when standard error is a
// terminal and at most ten times a second; silent otherwise.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace loquant::cli {

class Progress {
 public:
  // `wanted` false: silent even on a terminal.
  Progress(std::string label, bool wanted);
  void update(std::uint64_t done, std::uint64_t total);
  // Clears the bar.
  void finish();

 private:
  std::string label_;
  bool enabled_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point last_{};
};

}  // namespace loquant::cli
