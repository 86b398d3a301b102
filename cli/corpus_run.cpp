// `loquant corpus run OUTDIR`: the plan's conversations not yet done, each
// in a child process of its own (`corpus run OUTDIR --item N`), up to
// --jobs at once. A process per conversation is what makes each one's
// outputs equal those of `loquant analyze` of its files: the component
// library keeps state for the whole process, and a run carries over into the
// next one there.
//
// Resuming: a conversation is done when its `.done` marker holds the stamps
// its inputs have now and its outputs exist. Every output is renamed into
// place whole, and the marker comes last, so a run killed at any moment
// leaves each conversation either done or to be redone; redoing it writes
// the same bytes.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "analysis_engine.h"
#include "analyze.h"
#include "child_process.h"
#include "corpus.h"
#include "corpus_files.h"
#include "corpus_tables.h"
#include "platform.h"
#include "reports.h"
#include "standard_output.h"

namespace loquant::cli::corpus {

namespace fs = std::filesystem;

namespace {

std::atomic<bool> corpusStop{false};
std::atomic<int> corpusSignal{0};

extern "C" void onCorpusStop(int signal) {
  int none = 0;
  corpusSignal.compare_exchange_strong(none, signal);
  corpusStop.store(true);
}

constexpr const char* kOutputs[] = {".jsonl", ".TextGrid", ".rttm", ".summary.txt", ".rows"};

fs::path outputOf(const std::string& outdir, const WorkItem& item, const char* suffix) {
  return fs::path(conversationsFolder(outdir)) / (item.id + suffix);
}

// What the `.done` marker of `item` must hold for its outputs to stand: the
// stamps its inputs (and the configuration file) have now. Empty when an
// input cannot be read.
std::string doneText(const Plan& plan, const WorkItem& item) {
  std::string text;
  const auto add = [&text](const std::string& path) {
    const std::optional<Stamp> stamp = stampOf(path);
    if (!stamp) return false;
    text +=
        std::to_string(stamp->size) + "\t" + std::to_string(stamp->modified) + "\t" + path + "\n";
    return true;
  };
  for (const PlanInput& input : item.inputs) {
    if (!add(input.file)) return "";
  }
  if (!plan.options.config.empty() && !add(plan.options.config)) return "";
  return text;
}

bool isDone(const std::string& outdir, const Plan& plan, const WorkItem& item) {
  std::string marker;
  if (!readWhole(outputOf(outdir, item, ".done"), marker)) return false;
  const std::string expected = doneText(plan, item);
  if (expected.empty() || marker != expected) return false;
  std::error_code ec;
  return std::all_of(std::begin(kOutputs), std::end(kOutputs), [&](const char* suffix) {
    return fs::exists(outputOf(outdir, item, suffix), ec);
  });
}

// One conversation in this process: analysed as `loquant analyze` would,
// its outputs written, then its marker. The reason of a failure goes to
// standard output (the parent's capture file).
int runItem(const std::string& outdir, std::size_t index, bool verbose) {
  Plan plan;
  std::string error;
  if (!loadPlan(outdir, plan, error)) {
    std::printf("%s\n", error.c_str());
    return kExitInput;
  }
  if (index >= plan.items.size()) {
    std::printf("the plan has no conversation %zu\n", index);
    return kExitUsage;
  }
  const WorkItem& item = plan.items[index];
  platform::StopSignals signals(onCorpusStop);
  StandardOutputGuard guard(verbose);
  const std::string stamps = doneText(plan, item);

  AnalysisSettings settings;
  for (const PlanInput& input : item.inputs) {
    settings.files.push_back(input.file);
    settings.channels.push_back(input.channel);
  }
  settings.config = plan.options.config;
  settings.params = plan.options.params;
  settings.conditioning = plan.options.conditioning;
  settings.verbose = verbose;
  if (!verbose) settings.log = nullptr;
  std::string jsonLines;
  AnalysisHooks hooks;
  hooks.jsonLine = [&jsonLines](const std::string& line) { jsonLines += line; };
  hooks.stop = &corpusStop;
  const AnalysisOutcome outcome = analyzeRecordings(settings, hooks);
  if (outcome.stopped || corpusSignal.load() != 0) return 128 + corpusSignal.load();
  if (outcome.status != kExitOk || stamps.empty()) {
    std::string reason;
    for (const std::string& line : outcome.errors) reason += (reason.empty() ? "" : "; ") + line;
    if (reason.empty()) reason = "an input cannot be read";
    std::fprintf(guard.out(), "%s\n", reason.c_str());
    return outcome.status != kExitOk ? outcome.status : kExitInput;
  }

  const Conversation& conversation = outcome.conversation;
  std::string textGrid;
  std::string rttm;
  std::string summary;
  writeTextGrid(conversation, textGrid);
  writeRttm(conversation, item.id, rttm);
  writeSummary(conversation, summary);
  const std::pair<const char*, const std::string*> outputs[] = {{".jsonl", &jsonLines},
                                                                {".TextGrid", &textGrid},
                                                                {".rttm", &rttm},
                                                                {".summary.txt", &summary}};
  for (const auto& [suffix, text] : outputs) {
    if (!writeWhole(outputOf(outdir, item, suffix), *text, error)) {
      std::fprintf(guard.out(), "%s\n", error.c_str());
      return kExitInput;
    }
  }
  if (!writeWhole(outputOf(outdir, item, ".rows"), conversationRows(item, conversation), error) ||
      !writeWhole(outputOf(outdir, item, ".done"), stamps, error)) {
    std::fprintf(guard.out(), "%s\n", error.c_str());
    return kExitInput;
  }
  std::error_code ec;
  fs::remove(outputOf(outdir, item, ".failed"), ec);
  return kExitOk;
}

// The run's progress on standard error when it is a terminal, at most four
// times a second: conversations done and failed, hours of audio, speed (audio
// time per wall-clock time) and the time left at that speed.
class CorpusProgress {
 public:
  CorpusProgress(bool wanted, std::size_t total, double totalSeconds)
      : enabled_(wanted && isatty(STDERR_FILENO) != 0),
        total_(total),
        totalSeconds_(totalSeconds),
        start_(std::chrono::steady_clock::now()) {}

  void skipped(double seconds) {
    ++done_;
    doneSeconds_ += seconds;
  }
  void ended(bool ok, double seconds) {
    ok ? ++done_ : ++failed_;
    doneSeconds_ += seconds;
    runSeconds_ += seconds;
    draw(false);
  }
  void draw(bool force) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && drawn_ && now - last_ < std::chrono::milliseconds(250)) return;
    last_ = now;
    drawn_ = true;
    const double wall = std::chrono::duration<double>(now - start_).count();
    const double speed = wall > 0 ? runSeconds_ / wall : 0;
    const double left = totalSeconds_ - doneSeconds_;
    std::string eta = "--";
    if (speed > 0) {
      const auto s = static_cast<long>(left / speed);
      char text[32];
      std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
      eta = text;
    }
    std::fprintf(
        stderr,
        "\r\033[K%zu/%zu done, %zu failed, %.2f of %.2f h of audio, %.0fx real time, %s left",
        done_, total_, failed_, doneSeconds_ / 3600, totalSeconds_ / 3600, speed, eta.c_str());
    std::fflush(stderr);
  }
  void finish() {
    if (enabled_ && drawn_) std::fprintf(stderr, "\r\033[K");
  }

 private:
  bool enabled_;
  std::size_t total_;
  double totalSeconds_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_{};
  bool drawn_ = false;
  std::size_t done_ = 0, failed_ = 0;
  double doneSeconds_ = 0, runSeconds_ = 0;
};

}  // namespace

bool writeFailures(const std::string& outdir, const Plan& plan, std::string& error) {
  std::string table = "conversation,reason\n";
  for (const WorkItem& item : plan.items) {
    std::string reason;
    if (!readWhole(outputOf(outdir, item, ".failed"), reason)) continue;
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
    table += csvField(item.id) + "," + csvField(reason) + "\n";
  }
  return writeWhole(fs::path(outdir) / "failures.csv", table, error);
}

std::string conversationsFolder(const std::string& outdir) {
  return (fs::path(outdir) / "conversations").string();
}

int runCorpus(const RunCommand& command) {
  if (command.item) return runItem(command.outdir, *command.item, command.verbose);
  const char* const verb = "loquant corpus run";
  Plan plan;
  std::string error;
  if (!loadPlan(command.outdir, plan, error)) {
    std::fprintf(stderr, "%s: %s\n", verb, error.c_str());
    return kExitInput;
  }
  const std::string folder = conversationsFolder(command.outdir);
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) {
    std::fprintf(stderr, "%s: %s: %s\n", verb, folder.c_str(), ec.message().c_str());
    return kExitInput;
  }
  // One run per share of the work at a time; shards of a cluster job run side
  // by side.
  const std::string lockName = command.shards == 1
                                   ? std::string("run.lock")
                                   : "run-" + std::to_string(command.shard) + "-of-" +
                                         std::to_string(command.shards) + ".lock";
  std::string note;
  std::optional<RunLock> lock = RunLock::take(fs::path(command.outdir) / lockName, error, note);
  if (!lock) {
    std::fprintf(stderr, "%s: %s\n", verb, error.c_str());
    return kExitInput;
  }
  if (!note.empty()) std::fprintf(stderr, "%s: %s\n", verb, note.c_str());
  removeDeadTemporaries(command.outdir);
  removeDeadTemporaries(folder);

  platform::StopSignals signals(onCorpusStop);
  corpusStop.store(false);
  corpusSignal.store(0);
  std::vector<std::size_t> pending;
  double shareSeconds = 0;
  std::size_t share = 0;
  CorpusProgress progress(command.progress, 0, 0);
  std::vector<double> skippedSeconds;
  for (std::size_t i = command.shard; i < plan.items.size(); i += command.shards) {
    ++share;
    shareSeconds += plan.items[i].seconds;
    if (isDone(command.outdir, plan, plan.items[i])) {
      skippedSeconds.push_back(plan.items[i].seconds);
    } else {
      pending.push_back(i);
    }
  }
  progress = CorpusProgress(command.progress, share, shareSeconds);
  for (const double s : skippedSeconds) progress.skipped(s);
  progress.draw(true);

  std::vector<ChildProcess> children;
  std::vector<std::size_t> itemOf;
  std::vector<std::string> captureOf;
  std::size_t next = 0;
  std::size_t running = 0;
  std::size_t failed = 0;
  const auto ended = [&](std::size_t item, int status, const std::string& capture) {
    const WorkItem& work = plan.items[item];
    std::string reason;
    readWhole(capture, reason);
    fs::remove(capture, ec);
    if (status == kExitOk) {
      progress.ended(true, work.seconds);
      return;
    }
    // A conversation stopped by a signal to the whole run has not failed.
    if (corpusStop.load()) return;
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
    if (reason.empty()) {
      reason = status > 128 ? "the analysis ended by signal " + std::to_string(status - 128)
                            : "the analysis failed with status " + std::to_string(status);
    }
    std::string writeError;
    if (!writeWhole(outputOf(command.outdir, work, ".failed"), reason + "\n", writeError)) {
      std::fprintf(stderr, "%s: %s\n", verb, writeError.c_str());
    }
    ++failed;
    progress.ended(false, work.seconds);
  };
  while ((next < pending.size() && !corpusStop.load()) || running > 0) {
    if (next < pending.size() && running < command.jobs && !corpusStop.load()) {
      const std::size_t item = pending[next++];
      const std::string capture =
          temporaryOf(outputOf(command.outdir, plan.items[item], ".out")).string();
      std::vector<std::string> args = {"corpus", "run", command.outdir, "--item",
                                       std::to_string(item)};
      if (command.verbose) args.emplace_back("--verbose");
      std::optional<ChildProcess> child = ChildProcess::start(args, capture, error);
      if (!child) {
        std::fprintf(stderr, "%s: %s\n", verb, error.c_str());
        ended(item, kExitInput, capture);
        continue;
      }
      children.push_back(std::move(*child));
      itemOf.push_back(item);
      captureOf.push_back(capture);
      ++running;
      continue;
    }
    const auto [index, status] = ChildProcess::waitAny(children);
    --running;
    if (index < children.size()) ended(itemOf[index], status, captureOf[index]);
  }
  progress.finish();
  if (!writeFailures(command.outdir, plan, error)) {
    std::fprintf(stderr, "%s: %s\n", verb, error.c_str());
  }
  if (corpusStop.load()) return 128 + corpusSignal.load();
  const std::size_t redone = pending.size() - failed;
  std::fprintf(
      stderr, "%s: %zu of %zu conversations done (%zu now, %zu skipped), %zu failed%s\n", verb,
      share - failed, share, redone, share - pending.size(), failed,
      failed > 0 ? ("; see " + (fs::path(command.outdir) / "failures.csv").string()).c_str() : "");
  return failed > 0 ? kExitInput : kExitOk;
}

}  // namespace loquant::cli::corpus
