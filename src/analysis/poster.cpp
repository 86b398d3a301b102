#include "analysis/poster.h"

#include <cstdio>

namespace vornix {

void StdoutLineWriter::write(std::string_view text) {
  if (text.empty()) return;
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

LineWriter& standardOutput() {
  static StdoutLineWriter writer;
  return writer;
}

}  // namespace vornix
