#include <cstdio>

#include "verbs.h"

namespace loquant::cli {

bool optionValue(const Arguments& args, std::size_t& i, const char* verb, std::string& out) {
  if (i + 1 >= args.size()) {
    std::fprintf(stderr, "loquant %s: %s needs a value\n", verb, args[i].c_str());
    return false;
  }
  out = args[++i];
  return true;
}

}  // namespace loquant::cli
