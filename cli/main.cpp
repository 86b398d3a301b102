// loquant: speech and turn-taking analysis from the command line.
#include <cstdio>
#include <cstring>
#include <string>

#include "standard_output.h"
#include "verbs.h"

namespace {

constexpr const char* kUsage =
    "usage: loquant <verb> [options]\n"
    "\n"
    "verbs:\n"
    "  analyze FILE...      analyse recordings (one speaker per channel) and print the\n"
    "                       posted messages as JSON Lines; see 'loquant analyze --help'\n"
    "  corpus plan|run|merge|slurm\n"
    "                       a whole corpus, resumable, merged into tables, here or as\n"
    "                       a Slurm job array; see 'loquant corpus --help'\n"
    "  run CONFIG           run a configured system in real time (audio sources play\n"
    "                       their recordings); see 'loquant run --help'\n"
    "  listen [--device D] [--channels 1|2]\n"
    "                       the built-in system on live input until Ctrl-C; see\n"
    "                       'loquant listen --help'\n"
    "  devices              list the capture devices\n"
    "  inspect [--instance N]\n"
    "                       show a running instance's components, queues and store\n"
    "  pitch FILE           per-frame pitch tracker output as CSV\n"
    "  info FILE            the header of a WAV or AIFF file\n"
    "  config --print-default [--speakers N] [--rate HZ]\n"
    "                       print the built-in system as a configuration file\n";

int dispatch(const std::string& verb, const loquant::cli::Arguments& args) {
  if (verb == "analyze") return loquant::cli::analyzeVerb(args);
  if (verb == "config") return loquant::cli::configVerb(args);
  if (verb == "corpus") return loquant::cli::corpusVerb(args);
  if (verb == "info") return loquant::cli::infoVerb(args);
  if (verb == "inspect") return loquant::cli::inspectVerb(args);
  if (verb == "run") return loquant::cli::runVerb(args);
  if (verb == "pitch") return loquant::cli::pitchVerb(args);
  if (verb == "devices") return loquant::cli::devicesVerb(args);
  if (verb == "listen") return loquant::cli::listenVerb(args);
  std::fprintf(stderr, "loquant: unknown verb '%s' (see loquant --help)\n", verb.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  loquant::cli::holdStandardDescriptors();
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::fputs(kUsage, argc < 2 ? stderr : stdout);
    return loquant::cli::finishStandardOutput("", argc < 2 ? 2 : 0);
  }
  const std::string verb = argv[1];
  // Whatever a verb printed on standard output must have arrived.
  return loquant::cli::finishStandardOutput(verb, dispatch(verb, {argv + 2, argv + argc}));
}
