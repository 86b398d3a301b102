// The host's log sink: every LogEntry a component sends becomes one
// time-stamped line on standard error ("dd/mm/yyyy hh:mm:ss.mmm <text>").
// Thread-safe; lines from several components never interleave.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/log_entry.h"

namespace vornix::host {

class LogPrinter final : public LogSink {
 public:
  // `out` is not owned (standard error by default); null prints nothing.
  explicit LogPrinter(std::FILE* out = stderr) : out_(out) {}

  bool take(LogEntry entry) override;

  // Lines taken so far at level 0 (the failures), for checks after a run.
  std::uint64_t errorLines() const;
  // Every text taken, in order (kept only when `keep` is set).
  void keepTexts(bool keep);
  std::vector<std::string> texts() const;

 private:
  std::FILE* out_;
  mutable std::mutex mutex_;
  std::uint64_t errors_ = 0;
  bool keep_ = false;
  std::vector<std::string> texts_;
};

}  // namespace vornix::host
