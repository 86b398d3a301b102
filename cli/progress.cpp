#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace loquant::cli {

Progress::Progress(std::string label, bool wanted)
    : label_(std::move(label)), enabled_(wanted && isatty(STDERR_FILENO) != 0) {}

void Progress::update(std::uint64_t done, std::uint64_t total) {
  if (!enabled_ || total == 0) return;
  const auto now = std::chrono::steady_clock::now();
  if (drawn_ && now - last_ < std::chrono::milliseconds(100)) return;
  last_ = now;
  drawn_ = true;
  const double fraction =
      done >= total ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
  constexpr int kWidth = 30;
  const int filled = static_cast<int>(fraction * kWidth);
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.append(static_cast<std::size_t>(kWidth - filled), '.');
  std::fprintf(stderr, "\r%s [%s] %3d%%", label_.c_str(), bar.c_str(),
               static_cast<int>(fraction * 100.0));
  std::fflush(stderr);
}

void Progress::finish() {
  if (enabled_ && drawn_) {
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
  }
}

}  // namespace loquant::cli
