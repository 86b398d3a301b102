#include "analyze.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>

#include "default_system.h"
#include "host/audio_source.h"
#include "host/conditioning.h"
#include "host/config.h"
#include "host/offline_run.h"
#include "host/system.h"
#include "json_lines.h"
#include "output_file.h"
#include "platform.h"
#include "progress.h"
#include "reports.h"
#include "sound_report.h"
#include "soundfile/sample_reader.h"
#include "soundfile/sound_file.h"
#include "standard_output.h"

namespace loquant::cli {

namespace {

std::atomic<bool> analyzeStop{false};
std::atomic<int> analyzeSignal{0};

extern "C" void onAnalyzeStop(int signal) {
  int none = 0;
  analyzeSignal.compare_exchange_strong(none, signal);
  analyzeStop.store(true);
}

// The stop signals (platform::StopSignals) during one analysis: the run stops
// before its next step and exits with 128 + the signal, as the shell reports a
// process the signal ended.
class StopRequest {
 public:
  StopRequest() : scope_(onAnalyzeStop) {
    analyzeStop.store(false);
    analyzeSignal.store(0);
  }
  const std::atomic<bool>& requested() const noexcept { return analyzeStop; }
  int signal() const noexcept { return analyzeSignal.load(); }
  int status() const noexcept { return 128 + signal(); }

 private:
  platform::StopSignals scope_;
};

}  // namespace

int runAnalyze(const AnalyzeOptions& options) {
  if (options.files.empty()) {
    std::fprintf(stderr, "loquant analyze: name at least one recording (WAV or AIFF)\n");
    return kExitUsage;
  }
  const std::vector<std::string> formats = {"jsonl", "textgrid", "rttm", "csv"};
  if (std::find(formats.begin(), formats.end(), options.format) == formats.end()) {
    std::fprintf(stderr, "loquant analyze: --format takes jsonl, textgrid, rttm or csv, not '%s'\n",
                 options.format.c_str());
    return kExitUsage;
  }
  {
    std::vector<std::string> inputs = options.files;
    if (!options.config.empty()) inputs.push_back(options.config);
    if (std::string error;
        !checkOutputPaths(inputs, std::array{options.output, options.plot}, error)) {
      std::fprintf(stderr, "loquant analyze: %s\n", error.c_str());
      return kExitInput;
    }
  }

  // A stop request ends the run before its next step; the instance and the
  // temporary output are removed on the way out.
  StopRequest stop;
  StandardOutputGuard guard(options.verbose);
  const bool jsonOut = options.format == "jsonl" && !options.summary;
  OutputFile output(options.output, guard.out());
  Progress progress(options.files.front(), options.progress);

  AnalysisSettings settings;
  settings.files = options.files;
  settings.config = options.config;
  settings.params = options.params;
  settings.library = options.library;
  settings.conditioning = options.conditioning;
  settings.raw = options.raw;
  settings.verbose = options.verbose;
  AnalysisHooks hooks;
  if (jsonOut) hooks.jsonLine = [&output](const std::string& line) { output.write(line); };
  hooks.ready = [&output](std::string& error) { return output.open(error); };
  hooks.progress = [&progress](std::uint64_t done, std::uint64_t total) {
    progress.update(done, total);
  };
  hooks.stop = &stop.requested();
  const AnalysisOutcome outcome = analyzeRecordings(settings, hooks);
  progress.finish();
  for (const std::string& line : outcome.errors) {
    std::fprintf(stderr, "loquant analyze: %s\n", line.c_str());
  }
  const Conversation& conversation = outcome.conversation;
  if (outcome.stopped || stop.signal() != 0) return stop.status();
  if (outcome.status != kExitOk) return outcome.status;

  std::string error;
  std::string text;
  if (options.summary) {
    writeSummary(conversation, text);
  } else if (options.format == "textgrid") {
    writeTextGrid(conversation, text);
  } else if (options.format == "rttm") {
    writeRttm(conversation, std::filesystem::path(options.files.front()).stem().string(), text);
  } else if (options.format == "csv") {
    writeCsv(conversation, text);
  }
  if (!text.empty()) output.write(text);
  std::string svg;
  if (!options.plot.empty()) writeSvgPlot(conversation, svg);
  if (!commitOutputs(output, options.plot, svg, error)) {
    std::fprintf(stderr, "loquant analyze: %s\n", error.c_str());
    return stop.signal() != 0 ? stop.status() : kExitInput;
  }
  return kExitOk;
}

}  // namespace loquant::cli
