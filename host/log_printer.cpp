#include "host/log_printer.h"

#include "util/clock.h"

namespace vornix::host {

bool LogPrinter::take(LogEntry entry) {
  const std::string line =
      formatTimeString(entry.time(), true, false, true) + " " + std::string(entry.text()) + "\n";
  std::lock_guard<std::mutex> lock(mutex_);
  if (entry.level() == 0) ++errors_;
  if (keep_) texts_.emplace_back(entry.text());
  if (out_ != nullptr) {
    std::fwrite(line.data(), 1, line.size(), out_);
    std::fflush(out_);
  }
  return true;
}

std::uint64_t LogPrinter::errorLines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return errors_;
}

void LogPrinter::keepTexts(bool keep) {
  std::lock_guard<std::mutex> lock(mutex_);
  keep_ = keep;
}

std::vector<std::string> LogPrinter::texts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return texts_;
}

}  // namespace vornix::host
