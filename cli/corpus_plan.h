// The plan of a corpus: its conversations (work items), each with the
// inputs that make it and their sizes and modification times, and the
// analysis options every conversation is run with. `loquant corpus plan`
// writes it into the output folder; every later step (a run here, a task of
// a cluster job, the merge) reads it from there, so they all agree on the
// same work.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace loquant::cli::corpus {

// The size and modification time of a file, as the file system reports them.
struct Stamp {
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // file-clock ticks, compared for equality only
  bool operator==(const Stamp&) const = default;
};

// The stamp of `path` now; none when it cannot be read.
std::optional<Stamp> stampOf(const std::filesystem::path& path);

struct PlanInput {
  std::string speaker;  // the manifest's name; empty: the analysis names it
  std::string file;     // absolute path
  int channel = 0;      // 1-based; 0: every channel of the file
  Stamp stamp;
};

struct WorkItem {
  std::string id;  // the conversation's name: its output files' stem
  std::vector<PlanInput> inputs;
  double seconds = 0;  // length of the recording
};

struct AnalysisOptions {
  std::string config;               // absolute path; empty: the built-in system
  std::vector<std::string> params;  // as given to --param, in order
  bool conditioning = true;
  bool operator==(const AnalysisOptions&) const = default;
};

struct Plan {
  AnalysisOptions options;
  std::vector<WorkItem> items;  // by id
};

// What failed, as one line "PLACE: REASON", and the exit status (1: the
// input, 2: the command's usage).
struct PlanError {
  std::string text;
  int status = 1;
};

// A plan from a folder of recordings (one conversation per WAV/AIFF file,
// every channel a speaker, the file's stem its name) or from a manifest CSV
// with the header `conversation,speaker,file,channel` (one row per speaker;
// a relative file is relative to the manifest; an empty channel names a
// mono file). Refuses a missing column, a missing or unreadable file, an
// unknown speaker layout (a channel the file does not have, a multi-channel
// file without a channel), a speaker or a file channel listed twice, rates
// that differ within a conversation, and a folder without recordings.
std::optional<Plan> makePlan(const std::filesystem::path& source, const AnalysisOptions& options,
                             PlanError& error);

// The plan file of an output folder.
std::filesystem::path planFile(const std::filesystem::path& outdir);

// The plan as text (what planFile holds) and back. `parsePlan` false with
// "line N: reason" in `error` on text it did not write.
std::string formatPlan(const Plan& plan);
bool parsePlan(const std::string& text, Plan& plan, std::string& error);

// Two plans are of the same corpus when they have the same conversations of
// the same inputs (speakers, files, channels) and the same options; sizes,
// times and lengths may differ (a changed input is redone, not refused).
bool sameCorpus(const Plan& a, const Plan& b);

// The plan in `outdir`; false with the reason when there is none or it
// cannot be read.
bool loadPlan(const std::filesystem::path& outdir, Plan& plan, std::string& error);

}  // namespace loquant::cli::corpus
