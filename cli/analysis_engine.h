// The engine of `loquant analyze`, apart from the command's files and
// signals: it reads the recordings' headers, makes the system (the built-in
// one or a configuration file's), applies the parameters, runs it offline and
// gathers the Conversation of the reports. The command and the Python module
// both run it, so that they give the same records for the same input.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "conversation.h"

namespace loquant::cli {

struct AnalysisSettings {
  std::vector<std::string> files;  // one speaker per channel, in order
  // Per file (by index), when given and not 0: only that channel (1-based)
  // is a speaker. Files beyond the list, or with 0, give every channel.
  std::vector<int> channels;
  std::string config;               // a user's system instead of the default
  std::vector<std::string> params;  // "Name=value" / "Component.Name=value"
  std::string library;              // component library path; empty: the default
  bool conditioning = true;
  bool raw = false;         // JSON lines with indexed entries as stored
  bool verbose = false;     // per-speaker conditioning counts to `log`
  std::FILE* log = stderr;  // the components' log lines; null: none
};

struct AnalysisHooks {
  // When set, receives the JSON line of every record (with its line break).
  std::function<void(const std::string& line)> jsonLine;
  // Called once everything is checked, just before the run; false with a
  // reason in its argument fails the analysis as an input error.
  std::function<bool(std::string& error)> ready;
  std::function<void(std::uint64_t done, std::uint64_t total)> progress;
  const std::atomic<bool>* stop = nullptr;
};

struct AnalysisOutcome {
  int status = 0;        // kExitOk, kExitInput or kExitUsage (analyze.h)
  bool stopped = false;  // `stop` ended the run
  // Why it failed, one line each, as the command prints them after
  // "loquant analyze: ".
  std::vector<std::string> errors;
  Conversation conversation;
};

// Analyses `settings.files` as one conversation.
AnalysisOutcome analyzeRecordings(const AnalysisSettings& settings, const AnalysisHooks& hooks);

// Origin of the simulated clock: frame k of a recording is processed at
// kOriginMicros + floor(k × BufferSize × 10^6 / rate) µs. A whole millisecond,
// and not 0 (which means "no time").
inline constexpr unsigned long long kOriginMicros = 1'000'000ULL;

}  // namespace loquant::cli
