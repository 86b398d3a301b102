// `loquant analyze FILE...`: offline analysis of recordings on the simulated
// clock, deterministic and far faster than real time.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "conversation.h"

namespace loquant::cli {

struct AnalyzeOptions {
  std::vector<std::string> files;
  std::string config;               // a user's system instead of the default
  std::vector<std::string> params;  // "Name=value" / "Component.Name=value"
  std::string format = "jsonl";     // jsonl, textgrid, rttm, csv
  bool raw = false;                 // indexed entries as stored
  bool summary = false;
  std::string plot;          // SVG file to write
  std::string output;        // file instead of standard output
  bool verbose = false;      // the components' own lines to stderr
  std::string library;       // component library path
  bool conditioning = true;  // --conditioning on|off
};

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitInput = 1;
inline constexpr int kExitUsage = 2;

// Runs the analysis; messages go to stderr. Returns an exit code.
int runAnalyze(const AnalyzeOptions& options);

// Origin of the simulated clock: frame k of a recording is processed at
// kOriginMicros + floor(k × BufferSize × 10^6 / rate) µs. A whole millisecond,
// and not 0 (which means "no time").
inline constexpr unsigned long long kOriginMicros = 1'000'000ULL;

}  // namespace loquant::cli
