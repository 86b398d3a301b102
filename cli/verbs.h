// The verbs of the loquant command. Each takes its own arguments (after the
// verb) and returns the process's exit status: 0 done, 1 bad input, 2 usage.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace loquant::cli {

using Arguments = std::vector<std::string>;

// Takes the value of the option at args[i] into `out` and steps past it.
// False, with "loquant VERB: OPTION needs a value" on stderr, when the
// option is the last argument.
bool optionValue(const Arguments& args, std::size_t& i, const char* verb, std::string& out);

int analyzeVerb(const Arguments& args);
int configVerb(const Arguments& args);
int corpusVerb(const Arguments& args);
int infoVerb(const Arguments& args);
int inspectVerb(const Arguments& args);
int runVerb(const Arguments& args);
int pitchVerb(const Arguments& args);
// Live input (listen_verb.cpp; listen_verb_absent.cpp in builds without capture).
int devicesVerb(const Arguments& args);
int listenVerb(const Arguments& args);

}  // namespace loquant::cli
