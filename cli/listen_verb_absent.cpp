// Builds without a capture library (the Windows build) have no live input.
#include <cstdio>

#include "analyze.h"
#include "verbs.h"

namespace loquant::cli {

namespace {

int absent(const char* verb) {
  std::fprintf(stderr, "loquant %s: this build of loquant has no live capture\n", verb);
  return kExitInput;
}

}  // namespace

int devicesVerb(const Arguments& /*args*/) {
  return absent("devices");
}

int listenVerb(const Arguments& /*args*/) {
  return absent("listen");
}

}  // namespace loquant::cli
