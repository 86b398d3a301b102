// `loquant analyze FILE...`: offline analysis of recordings on the simulated
// clock, deterministic and far faster than real time.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "analysis_engine.h"
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
  // With a value: every file is a conversation of its own, analysed in a
  // process of its own, up to `jobs` at once; outputs in argument order.
  std::optional<unsigned> jobs;
  bool progress = true;  // a progress bar on stderr when it is a terminal
};

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitInput = 1;
inline constexpr int kExitUsage = 2;

// Runs the analysis; messages go to stderr. Returns an exit code.
int runAnalyze(const AnalyzeOptions& options);

// Runs every file of `options` as an analysis of its own (options.jobs at
// once), each identical to `loquant analyze FILE` with the same options, and
// writes their outputs in argument order (all or nothing).
int runAnalyzeJobs(const AnalyzeOptions& options);

}  // namespace loquant::cli
