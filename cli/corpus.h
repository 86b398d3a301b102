// `loquant corpus plan|run|merge|slurm`: a whole corpus of conversations
// analysed into one output folder, resumably, here or as a cluster job
// array, and merged into tables. Every conversation's outputs are exactly
// those of `loquant analyze` of its files with the same options.
//
// The output folder holds
//   plan.tsv                  the work (corpus_plan.h)
//   conversations/ID.jsonl    JSON lines, as `analyze` prints them
//   conversations/ID.TextGrid as `analyze --format textgrid`
//   conversations/ID.rttm     as `analyze --format rttm`, file id ID
//   conversations/ID.summary.txt  as `analyze --summary`
//   conversations/ID.rows     the conversation's rows of the merged tables
//   conversations/ID.done     the inputs' stamps when it was analysed:
//                             written last, so its presence means the
//                             rest is whole
//   conversations/ID.failed   why its last run failed
//   failures.csv              conversation,reason
//   speakers.csv, conversations.csv, transitions.csv, corpus.rttm  (merge)
//   slurm/                    the cluster job scripts and task logs
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "corpus_plan.h"

namespace loquant::cli::corpus {

struct PlanCommand {
  std::string source;  // folder or manifest
  std::string outdir;
  AnalysisOptions options;
};
int planCorpus(const PlanCommand& command);

struct RunCommand {
  std::string outdir;
  unsigned jobs = 1;
  unsigned shard = 0;  // this run takes the items i with i % shards == shard
  unsigned shards = 1;
  bool progress = true;
  bool verbose = false;             // the components' own lines on stderr
  std::optional<std::size_t> item;  // a child: this one item, in this process
};
int runCorpus(const RunCommand& command);

int mergeCorpus(const std::string& outdir);

struct SlurmCommand {
  std::string outdir;
  std::string partition;
  unsigned tasks = 0;  // 0: one per conversation, at most 64
  unsigned limit = 0;  // tasks at once; 0: no limit
  std::string time = "01:00:00";
  std::string memory = "2G";
  bool submit = false;
};
int slurmCorpus(const SlurmCommand& command);

// Writes OUTDIR/failures.csv (conversation,reason) from the failure markers
// of the whole plan, in its order; false with the reason.
bool writeFailures(const std::string& outdir, const Plan& plan, std::string& error);

// The folder of the conversations' outputs.
std::string conversationsFolder(const std::string& outdir);

}  // namespace loquant::cli::corpus
