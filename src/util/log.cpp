// The process-wide diagnostic logger.
#include "util/log.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "util/clock.h"
#include "util/format.h"

namespace vornix {
namespace {

constexpr std::size_t kCategoryCount = 12;

class Logger {
 public:
  bool wouldWrite(std::uint8_t category, std::uint8_t level) const noexcept {
    // No category above 11 is in use; such lines are filtered out.
    return category < thresholds_.size() && level <= thresholds_[category];
  }

  void setSink(LogLineSink sink) {
    std::shared_ptr<const LogLineSink> next;
    if (sink) next = std::make_shared<const LogLineSink>(std::move(sink));
    const std::lock_guard lock(sinkMutex_);
    sink_.swap(next);
    // The old sink is released outside the lock (when `next` goes), and a
    // line that already took it keeps it alive until it is done.
  }

  std::shared_ptr<const LogLineSink> sink() const {
    const std::lock_guard lock(sinkMutex_);
    return sink_;
  }

 private:
  // One threshold per category 0 to 11: level 0 and 1 are written.
  std::array<std::uint8_t, kCategoryCount> thresholds_ = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
  mutable std::mutex sinkMutex_;
  std::shared_ptr<const LogLineSink> sink_;  // empty: standard output
};

// Created by the first use from whichever thread; the language makes the
// initialisation of a function-local static safe between threads.
Logger& logger() {
  static Logger instance;
  return instance;
}

// One fwrite per line: the stream's own lock keeps lines of different threads
// whole. Flushed so that diagnostics are out before a crash or a kill.
bool writeToStandardOutput(std::string_view line) {
  const std::size_t written = std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
  return written == line.size();
}

}  // namespace

bool logWouldWrite(std::uint8_t category, std::uint8_t level) noexcept {
  return logger().wouldWrite(category, level);
}

bool logLine(std::uint32_t source, std::uint8_t category, std::uint8_t level, const char* format,
             ...) {
  Logger& log = logger();
  if (!log.wouldWrite(category, level)) return true;
  std::va_list arguments;
  va_start(arguments, format);
  const std::string text = formatStringV(format, arguments);
  va_end(arguments);
  if (text.empty()) return false;

  std::string line = formatCurrentTime(true, true, true);
  line.reserve(line.size() + text.size() + 2);
  line += ' ';
  line += text;
  line += '\n';

  if (const auto sink = log.sink()) {
    (*sink)(source, category, level, line);
    return true;
  }
  return writeToStandardOutput(line);
}

void setLogLineSink(LogLineSink sink) {
  logger().setSink(std::move(sink));
}

}  // namespace vornix
