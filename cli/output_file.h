// Output that is either standard output or a file written in full or not at
// all: a file's text goes to a temporary file beside it, which replaces the
// file only when everything was written.
#pragma once

#include <cstdio>
#include <string>

namespace loquant::cli {

class OutputFile {
 public:
  // `path` empty: write to `standardOutput` (not owned).
  OutputFile(std::string path, std::FILE* standardOutput);
  ~OutputFile();  // an output not committed is removed
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // False with the reason in `error` when the temporary file cannot be made.
  bool open(std::string& error);
  bool write(const std::string& text);
  // Flushes and, for a file, renames it into place.
  bool commit(std::string& error);

 private:
  std::string path_;
  std::string temporary_;
  std::FILE* out_ = nullptr;
  bool ownsFile_ = false;
  bool failed_ = false;
};

}  // namespace loquant::cli
