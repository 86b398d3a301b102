// Output that is either standard output or a named file.
//
// A regular file (or a name that does not exist yet) is written in full or
// not at all: the text goes to a temporary file beside it, which replaces the
// file only when everything was written. The temporary file is created with
// mode 0666 less the umask, as any new file; when it replaces an existing
// file it takes that file's permissions. A symbolic link is followed and its
// target written (the temporary file then lies beside the target). Anything
// else that exists under the name (a device, a pipe, a terminal) is written
// directly, never replaced.
#pragma once

#include <cstdio>
#include <span>
#include <string>

namespace loquant::cli {

class OutputFile {
 public:
  // `path` empty: write to `standardOutput` (not owned).
  OutputFile(std::string path, std::FILE* standardOutput);
  ~OutputFile();  // an output not committed is removed
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // False with the reason in `error` when the file (or its temporary) cannot
  // be opened.
  bool open(std::string& error);
  // False once any write has failed; the first failure's reason is kept for
  // `finish` and `commit`.
  bool write(const std::string& text);
  // Hands what was written so far on to the system (for output read as it
  // is made); a failure is kept like a failed write.
  bool flush();
  // Flushes and closes the stream, reporting any failed write with the
  // system's reason; the temporary file, if any, is not moved into place yet.
  // An output that cannot be finished removes its temporary file.
  bool finish(std::string& error);
  // `finish`, then for a temporary file the rename that puts it in place.
  bool commit(std::string& error);

 private:
  bool fail(std::string& error, int code);

  std::string path_;       // as given
  std::string target_;     // the file written: `path_` with its links followed
  std::string temporary_;  // empty unless written through a temporary file
  std::FILE* out_ = nullptr;
  bool ownsFile_ = false;
  bool finished_ = false;
  int writeError_ = 0;  // errno of the first failed write, 0 if none
};

// Commits `main` and, when `extraPath` is not empty, a second file holding
// `extraText` (the plot beside a report), both or as nearly as possible
// neither: both are written out and closed before either is renamed into
// place, so a failure to write one leaves the other unwritten too.
bool commitOutputs(OutputFile& main, const std::string& extraPath, const std::string& extraText,
                   std::string& error);

// Checks, before anything runs, that no output (`outputs`, empty entries
// meaning standard output or none, and skipped) is one of the `inputs` and
// that no two outputs are the same file. Files that exist are compared by
// identity (device and inode, through links), others by their resolved path;
// a character device (the null device, a terminal) may take several outputs.
// False with "PATH: ..." in `error` when one is refused.
bool checkOutputPaths(std::span<const std::string> inputs, std::span<const std::string> outputs,
                      std::string& error);

}  // namespace loquant::cli
