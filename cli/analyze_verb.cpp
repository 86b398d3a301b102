// Argument parsing of `loquant analyze` and `loquant config`.
#include <cstdio>
#include <cstdlib>

#include "analyze.h"
#include "default_system.h"
#include "host/conditioning.h"
#include "verbs.h"

namespace loquant::cli {

namespace {

constexpr const char* kAnalyzeHelp =
    "usage: loquant analyze FILE... [options]\n"
    "\n"
    "Analyses recordings on a simulated clock: every channel of every file is one\n"
    "speaker. Prints one JSON object per posted message on standard output.\n"
    "\n"
    "options:\n"
    "  --format F          jsonl (default), textgrid, rttm or csv\n"
    "  --summary           print a summary of the conversation instead\n"
    "  --plot FILE.svg     also draw the pitch contours and turn-taking segments\n"
    "  --output FILE       write to FILE (in full or not at all) instead of stdout\n"
    "  --param N=V         set parameter N on every component that reads it\n"
    "  --param C.N=V       set parameter N on component C\n"
    "  --param Conditioning.N=V\n"
    "                      set a setting of the audio conditioning\n"
    "  --conditioning on|off\n"
    "                      condition the audio before analysis (default on)\n"
    "  --config FILE       run the system of a configuration file instead\n"
    "  --raw               print indexed entries as stored, not grouped in arrays\n"
    "  --verbose           show the components' own lines on stderr\n"
    "  --library PATH      the component library to load\n"
    "  --jobs N            analyse every FILE as a conversation of its own, N at a\n"
    "                      time, each in a process of its own; outputs in the\n"
    "                      order of the files, identical to one run per file\n"
    "  --no-progress       no progress bar, even on a terminal\n";

}  // namespace

int analyzeVerb(const Arguments& args) {
  AnalyzeOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string v;
    if (a == "--help" || a == "-h") {
      std::fputs(kAnalyzeHelp, stdout);
      // Every conditioning setting with its default, from the table that
      // parses them, so the list cannot fall behind.
      std::fputs("\nconditioning settings (--param Conditioning.N=V; the defaults shown):\n",
                 stdout);
      std::fputs(vornix::host::conditioningSettingsHelp("  ").c_str(), stdout);
      return kExitOk;
    } else if (a == "--format") {
      if (!optionValue(args, i, "analyze", options.format)) return kExitUsage;
    } else if (a == "--summary") {
      options.summary = true;
    } else if (a == "--plot") {
      if (!optionValue(args, i, "analyze", options.plot)) return kExitUsage;
    } else if (a == "--output" || a == "-o") {
      if (!optionValue(args, i, "analyze", options.output)) return kExitUsage;
    } else if (a == "--param") {
      if (!optionValue(args, i, "analyze", v)) return kExitUsage;
      options.params.push_back(v);
    } else if (a == "--conditioning") {
      if (!optionValue(args, i, "analyze", v)) return kExitUsage;
      if (v != "on" && v != "off") {
        std::fprintf(stderr, "loquant analyze: --conditioning takes on or off, not '%s'\n",
                     v.c_str());
        return kExitUsage;
      }
      options.conditioning = v == "on";
    } else if (a == "--config") {
      if (!optionValue(args, i, "analyze", options.config)) return kExitUsage;
    } else if (a == "--raw") {
      options.raw = true;
    } else if (a == "--verbose" || a == "-v") {
      options.verbose = true;
    } else if (a == "--library") {
      if (!optionValue(args, i, "analyze", options.library)) return kExitUsage;
    } else if (a == "--jobs" || a == "-j") {
      if (!optionValue(args, i, "analyze", v)) return kExitUsage;
      char* end = nullptr;
      const unsigned long n = std::strtoul(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || n < 1 || n > 256) {
        std::fprintf(stderr,
                     "loquant analyze: --jobs takes a whole number from 1 to 256, not '%s'\n",
                     v.c_str());
        return kExitUsage;
      }
      options.jobs = static_cast<unsigned>(n);
    } else if (a == "--no-progress") {
      options.progress = false;
    } else if (a.size() > 1 && a[0] == '-') {
      std::fprintf(stderr, "loquant analyze: unknown option '%s' (see --help)\n", a.c_str());
      return kExitUsage;
    } else {
      options.files.push_back(a);
    }
  }
  return options.jobs ? runAnalyzeJobs(options) : runAnalyze(options);
}

int configVerb(const Arguments& args) {
  bool print = false;
  int speakers = 2;
  long rate = 44100;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string v;
    if (args[i] == "--print-default") {
      print = true;
    } else if (args[i] == "--speakers") {
      if (!optionValue(args, i, "analyze", v)) return kExitUsage;
      speakers = std::atoi(v.c_str());
    } else if (args[i] == "--rate") {
      if (!optionValue(args, i, "analyze", v)) return kExitUsage;
      rate = std::atol(v.c_str());
    } else {
      std::fprintf(stderr, "loquant config: unknown option '%s'\n", args[i].c_str());
      return kExitUsage;
    }
  }
  if (!print || speakers < 1 || speakers > 64 || rate < 1000 || rate > 1'000'000) {
    std::fprintf(
        stderr,
        "usage: loquant config --print-default [--speakers 1..64] [--rate 1000..1000000]\n");
    return kExitUsage;
  }
  std::fputs(defaultSystemText(speakers, static_cast<std::uint32_t>(rate)).c_str(), stdout);
  return kExitOk;
}

}  // namespace loquant::cli
