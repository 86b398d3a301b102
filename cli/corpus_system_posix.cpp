#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string>

#include "corpus_files.h"

namespace loquant::cli::corpus {

long processId() noexcept {
  return static_cast<long>(::getpid());
}

std::string hostName() {
  std::array<char, 256> name{};
  if (::gethostname(name.data(), name.size() - 1) != 0) return "localhost";
  return name.data();
}

bool processRuns(long id) noexcept {
  if (id <= 0) return false;
  // Signal 0 checks for the process without sending anything; EPERM means
  // it exists but belongs to someone else.
  return ::kill(static_cast<pid_t>(id), 0) == 0 || errno == EPERM;
}

}  // namespace loquant::cli::corpus
