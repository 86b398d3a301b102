#include "standard_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform.h"

namespace loquant::cli {

namespace {

constexpr int kExitOutput = 1;  // the status of input and output errors

std::string reasonOf(int code) {
  return std::strerror(code != 0 ? code : EIO);
}

// Whether descriptor `fd` is open (dup fails with EBADF on a closed one).
bool isOpen(int fd) noexcept {
  const int copy = dup(fd);
  if (copy < 0) return errno != EBADF;
  close(copy);
  return true;
}

}  // namespace

void holdStandardDescriptors() noexcept {
  for (int fd = 0; fd <= 2; ++fd) {
    if (isOpen(fd)) continue;
    const int held = ::open(platform::nullDevice(), fd == 2 ? O_WRONLY : O_RDONLY);
    if (held >= 0 && held != fd) {
      dup2(held, fd);
      close(held);
    }
  }
}

bool writeAll(std::FILE* out, std::string_view text, std::string& reason) {
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), out) == text.size()) return true;
  reason = reasonOf(errno);
  return false;
}

bool flushAll(std::FILE* out, std::string& reason) {
  errno = 0;
  if (std::fflush(out) != 0) {
    reason = reasonOf(errno);
    return false;
  }
  if (std::ferror(out) != 0) {
    reason = reasonOf(EIO);
    return false;
  }
  return true;
}

int finishStandardOutput(const std::string& verb, int status) {
  std::string reason;
  if (flushAll(stdout, reason) || status != 0) return status;
  const std::string who = verb.empty() ? "loquant" : "loquant " + verb;
  std::fprintf(stderr, "%s: cannot write the output: %s\n", who.c_str(), reason.c_str());
  return kExitOutput;
}

StandardOutputGuard::StandardOutputGuard(bool verbose) {
  std::fflush(stdout);
  saved_ = dup(STDOUT_FILENO);
  if (saved_ < 0) return;
  // A standard output held read-only (see holdStandardDescriptors) gives a
  // stream for reading only, on which every write of the command fails
  // (EBADF) while the components' lines still go where they should.
  out_ = fdopen(saved_, "wb");
  if (out_ == nullptr) out_ = fdopen(saved_, "rb");
  if (out_ == nullptr) {
    close(saved_);
    return;
  }
  const int target = verbose ? dup(STDERR_FILENO) : ::open(platform::nullDevice(), O_WRONLY);
  if (target >= 0) {
    dup2(target, STDOUT_FILENO);
    close(target);
  }
}

StandardOutputGuard::~StandardOutputGuard() {
  std::fflush(stdout);
  if (out_ != nullptr) {
    std::fflush(out_);
    dup2(fileno(out_), STDOUT_FILENO);
    std::fclose(out_);
  }
}

}  // namespace loquant::cli
