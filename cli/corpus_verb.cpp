// `loquant corpus`: its arguments, and the plan, merge and slurm steps.
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "analysis_engine.h"
#include "analyze.h"
#include "corpus.h"
#include "corpus_files.h"
#include "corpus_tables.h"
#include "verbs.h"

namespace loquant::cli {

namespace fs = std::filesystem;

namespace {

constexpr const char* kCorpusHelp =
    "usage: loquant corpus plan DIR|MANIFEST.csv --out OUTDIR [options]\n"
    "       loquant corpus run OUTDIR [--jobs N] [--shard I/K] [--no-progress]\n"
    "       loquant corpus merge OUTDIR\n"
    "       loquant corpus slurm OUTDIR [--partition P] [--tasks K] [--limit M]\n"
    "                            [--time T] [--mem M] [--submit]\n"
    "\n"
    "Analyses a whole corpus into OUTDIR, one conversation at a time, each exactly\n"
    "as 'loquant analyze' would; a run can be killed and resumed.\n"
    "\n"
    "plan: DIR holds WAV/AIFF files, one conversation per file (every channel a\n"
    "  speaker); MANIFEST.csv has the header conversation,speaker,file,channel and\n"
    "  one row per speaker. Options as for analyze:\n"
    "  --param N=V, --param C.N=V, --config FILE, --conditioning on|off\n"
    "run: every conversation not yet done, N at once (--jobs), or only the I-th\n"
    "  of K shares of the plan (--shard I/K, 0 <= I < K); failures go to\n"
    "  OUTDIR/failures.csv; exit status 1 if any failed\n"
    "merge: speakers.csv, conversations.csv, transitions.csv and corpus.rttm\n"
    "slurm: a job-array script (task i runs --shard i/K, at most M at once) and a\n"
    "  merge job after it in OUTDIR/slurm; --submit hands both to sbatch\n";

bool count(const std::string& option, const std::string& text, unsigned low, unsigned high,
           unsigned& out) {
  char* end = nullptr;
  const unsigned long n = std::strtoul(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || n < low || n > high) {
    std::fprintf(stderr, "loquant corpus: %s takes a whole number from %u to %u, not '%s'\n",
                 option.c_str(), low, high, text.c_str());
    return false;
  }
  out = static_cast<unsigned>(n);
  return true;
}

int unknown(const std::string& option) {
  std::fprintf(stderr, "loquant corpus: unknown option '%s' (see loquant corpus --help)\n",
               option.c_str());
  return kExitUsage;
}

// The options and parameters of a plan, checked the way `analyze` checks them
// (the system made and every parameter applied to it, nothing run) on its
// first conversation.
int checkOptions(const corpus::Plan& plan) {
  AnalysisSettings settings;
  for (const corpus::PlanInput& input : plan.items.front().inputs) {
    settings.files.push_back(input.file);
    settings.channels.push_back(input.channel);
  }
  settings.config = plan.options.config;
  settings.params = plan.options.params;
  settings.conditioning = plan.options.conditioning;
  settings.log = nullptr;
  constexpr const char* kChecked = "checked";
  AnalysisHooks hooks;
  hooks.ready = [](std::string& error) {
    error = kChecked;
    return false;
  };
  const AnalysisOutcome outcome = analyzeRecordings(settings, hooks);
  if (outcome.errors.size() == 1 && outcome.errors.front() == kChecked) return kExitOk;
  for (const std::string& line : outcome.errors) {
    std::fprintf(stderr, "loquant corpus plan: %s\n", line.c_str());
  }
  return outcome.status != kExitOk ? outcome.status : kExitInput;
}

int planVerb(const Arguments& args) {
  corpus::PlanCommand command;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string v;
    if (a == "--out" || a == "-o") {
      if (!optionValue(args, i, "corpus", command.outdir)) return kExitUsage;
    } else if (a == "--param") {
      if (!optionValue(args, i, "corpus", v)) return kExitUsage;
      command.options.params.push_back(v);
    } else if (a == "--config") {
      if (!optionValue(args, i, "corpus", command.options.config)) return kExitUsage;
    } else if (a == "--conditioning") {
      if (!optionValue(args, i, "corpus", v)) return kExitUsage;
      if (v != "on" && v != "off") {
        std::fprintf(stderr, "loquant corpus plan: --conditioning takes on or off, not '%s'\n",
                     v.c_str());
        return kExitUsage;
      }
      command.options.conditioning = v == "on";
    } else if (a.size() > 1 && a[0] == '-') {
      return unknown(a);
    } else if (command.source.empty()) {
      command.source = a;
    } else {
      std::fprintf(stderr, "loquant corpus plan: one folder or manifest, not also '%s'\n",
                   a.c_str());
      return kExitUsage;
    }
  }
  if (command.source.empty() || command.outdir.empty()) {
    std::fprintf(stderr, "usage: loquant corpus plan DIR|MANIFEST.csv --out OUTDIR [options]\n");
    return kExitUsage;
  }
  return corpus::planCorpus(command);
}

int runVerbOfCorpus(const Arguments& args) {
  corpus::RunCommand command;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string v;
    if (a == "--jobs" || a == "-j") {
      if (!optionValue(args, i, "corpus", v) || !count(a, v, 1, 256, command.jobs))
        return kExitUsage;
    } else if (a == "--shard") {
      if (!optionValue(args, i, "corpus", v)) return kExitUsage;
      const std::size_t slash = v.find('/');
      if (slash == std::string::npos ||
          !count(a + " (K)", v.substr(slash + 1), 1, 1'000'000, command.shards) ||
          !count(a + " (I)", v.substr(0, slash), 0, command.shards - 1, command.shard)) {
        std::fprintf(stderr, "loquant corpus run: --shard takes I/K with 0 <= I < K\n");
        return kExitUsage;
      }
    } else if (a == "--item") {  // a child of a run: one conversation
      unsigned item = 0;
      if (!optionValue(args, i, "corpus", v) || !count(a, v, 0, 100'000'000, item))
        return kExitUsage;
      command.item = item;
    } else if (a == "--no-progress") {
      command.progress = false;
    } else if (a == "--verbose" || a == "-v") {
      command.verbose = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return unknown(a);
    } else if (command.outdir.empty()) {
      command.outdir = a;
    } else {
      std::fprintf(stderr, "loquant corpus run: one output folder, not also '%s'\n", a.c_str());
      return kExitUsage;
    }
  }
  if (command.outdir.empty()) {
    std::fprintf(stderr, "usage: loquant corpus run OUTDIR [--jobs N] [--shard I/K]\n");
    return kExitUsage;
  }
  return corpus::runCorpus(command);
}

int slurmVerb(const Arguments& args) {
  corpus::SlurmCommand command;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string v;
    if (a == "--partition") {
      if (!optionValue(args, i, "corpus", command.partition)) return kExitUsage;
    } else if (a == "--tasks") {
      if (!optionValue(args, i, "corpus", v) || !count(a, v, 1, 100'000, command.tasks))
        return kExitUsage;
    } else if (a == "--limit") {
      if (!optionValue(args, i, "corpus", v) || !count(a, v, 1, 100'000, command.limit))
        return kExitUsage;
    } else if (a == "--time") {
      if (!optionValue(args, i, "corpus", command.time)) return kExitUsage;
    } else if (a == "--mem") {
      if (!optionValue(args, i, "corpus", command.memory)) return kExitUsage;
    } else if (a == "--submit") {
      command.submit = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return unknown(a);
    } else if (command.outdir.empty()) {
      command.outdir = a;
    } else {
      return unknown(a);
    }
  }
  if (command.outdir.empty()) {
    std::fprintf(stderr, "usage: loquant corpus slurm OUTDIR [options]\n");
    return kExitUsage;
  }
  return corpus::slurmCorpus(command);
}

}  // namespace

namespace corpus {

int planCorpus(const PlanCommand& command) {
  const char* const verb = "loquant corpus plan";
  PlanError planError;
  const std::optional<Plan> plan = makePlan(command.source, command.options, planError);
  if (!plan) {
    std::fprintf(stderr, "%s: %s\n", verb, planError.text.c_str());
    return planError.status;
  }
  if (const int status = checkOptions(*plan); status != kExitOk) return status;
  const fs::path outdir(command.outdir);
  std::error_code ec;
  if (fs::exists(outdir, ec) && !fs::is_directory(outdir, ec)) {
    std::fprintf(stderr, "%s: %s: not a folder\n", verb, command.outdir.c_str());
    return kExitInput;
  }
  if (fs::exists(planFile(outdir), ec)) {
    Plan existing;
    std::string error;
    if (!loadPlan(outdir, existing, error)) {
      std::fprintf(stderr, "%s: %s\n", verb, error.c_str());
      return kExitInput;
    }
    if (!sameCorpus(existing, *plan)) {
      std::fprintf(stderr,
                   "%s: %s belongs to another plan (other inputs or options); choose another "
                   "output folder\n",
                   verb, command.outdir.c_str());
      return kExitInput;
    }
  }
  fs::create_directories(outdir, ec);
  std::string error;
  if (ec || !writeWhole(planFile(outdir), formatPlan(*plan), error)) {
    std::fprintf(stderr, "%s: %s\n", verb,
                 ec ? (command.outdir + ": " + ec.message()).c_str() : error.c_str());
    return kExitInput;
  }
  double seconds = 0;
  for (const WorkItem& item : plan->items) seconds += item.seconds;
  std::fprintf(stderr, "%s: %zu conversations, %.2f hours of audio, planned in %s\n", verb,
               plan->items.size(), seconds / 3600, command.outdir.c_str());
  return kExitOk;
}

int mergeCorpus(const std::string& outdir) {
  const char* const verb = "loquant corpus merge";
  Plan plan;
  std::string error;
  if (!loadPlan(outdir, plan, error)) {
    std::fprintf(stderr, "%s: %s\n", verb, error.c_str());
    return kExitInput;
  }
  const MergedTables tables = mergeTables(plan, conversationsFolder(outdir));
  const fs::path base(outdir);
  if (!writeWhole(base / "speakers.csv", tables.speakers, error) ||
      !writeWhole(base / "conversations.csv", tables.conversations, error) ||
      !writeWhole(base / "transitions.csv", tables.transitions, error) ||
      !writeWhole(base / "corpus.rttm", tables.rttm, error) ||
      !writeFailures(outdir, plan, error)) {
    std::fprintf(stderr, "%s: %s\n", verb, error.c_str());
    return kExitInput;
  }
  if (!tables.missing.empty()) {
    std::fprintf(stderr, "%s: %zu of %zu conversations not done yet (first: %s); merged the rest\n",
                 verb, tables.missing.size(), plan.items.size(), tables.missing.front().c_str());
    return kExitInput;
  }
  return kExitOk;
}

}  // namespace corpus

int corpusVerb(const Arguments& args) {
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    std::fputs(kCorpusHelp, args.empty() ? stderr : stdout);
    return args.empty() ? kExitUsage : kExitOk;
  }
  const std::string& step = args[0];
  const Arguments rest(args.begin() + 1, args.end());
  if (step == "plan") return planVerb(rest);
  if (step == "run") return runVerbOfCorpus(rest);
  if (step == "merge") {
    if (rest.size() != 1 || rest[0].empty() || rest[0][0] == '-') {
      std::fprintf(stderr, "usage: loquant corpus merge OUTDIR\n");
      return kExitUsage;
    }
    return corpus::mergeCorpus(rest[0]);
  }
  if (step == "slurm") return slurmVerb(rest);
  std::fprintf(stderr, "loquant corpus: plan, run, merge or slurm, not '%s'\n", step.c_str());
  return kExitUsage;
}

}  // namespace loquant::cli
