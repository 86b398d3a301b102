// The command's standard output: kept apart from the components' own lines,
// and every failure to write it reported, never taken for success.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace loquant::cli {

// Makes descriptors 0, 1 and 2 valid for the rest of the run, on the null
// device where one was closed: otherwise the first file the command opens
// would take that number and, say, the recording read as an input would also
// be "standard output". A closed standard output is held open for reading
// only, so that every write to it fails (EBADF) and is reported. Call first
// thing in main.
void holdStandardDescriptors() noexcept;

// Writes all of `text` to `out`; false with the system's reason for the
// failed write in `reason`.
bool writeAll(std::FILE* out, std::string_view text, std::string& reason);
// Flushes `out`; false with the reason when something could not be written
// (now or by an earlier write whose failure left only the error flag).
bool flushAll(std::FILE* out, std::string& reason);

// The end of a verb that returned `status`: standard output is flushed and,
// if the verb succeeded but its output could not be written, the line
// "loquant VERB: cannot write the output: REASON" ("loquant: ..." for an
// empty `verb`) goes to standard error and the status becomes 1.
int finishStandardOutput(const std::string& verb, int status);

// While a system runs, the components' own lines (written to file
// descriptor 1 by the library) must never mix into the command's output.
// StandardOutputGuard points descriptor 1 at standard error (verbose) or
// the null device for its lifetime and hands out a stream on a duplicate of
// the original standard output for the command's own output.
class StandardOutputGuard {
 public:
  explicit StandardOutputGuard(bool verbose);
  ~StandardOutputGuard();  // puts descriptor 1 back
  StandardOutputGuard(const StandardOutputGuard&) = delete;
  StandardOutputGuard& operator=(const StandardOutputGuard&) = delete;

  // The command's output stream (standard output itself if the redirection
  // could not be made). Writes to it fail when standard output was closed.
  std::FILE* out() const { return out_ != nullptr ? out_ : stdout; }

 private:
  int saved_ = -1;
  std::FILE* out_ = nullptr;
};

}  // namespace loquant::cli
