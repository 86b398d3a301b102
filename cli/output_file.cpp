#include "output_file.h"

#include "platform.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace loquant::cli {

OutputFile::OutputFile(std::string path, std::FILE* standardOutput)
    : path_(std::move(path)), out_(path_.empty() ? standardOutput : nullptr) {}

OutputFile::~OutputFile() {
  if (ownsFile_ && out_ != nullptr) {
    std::fclose(out_);
    std::remove(temporary_.c_str());
  }
}

bool OutputFile::open(std::string& error) {
  if (path_.empty()) return out_ != nullptr;
  temporary_ = path_ + ".tmp-XXXXXX";
  const int fd = mkstemp(temporary_.data());
  if (fd < 0) {
    error = path_ + ": cannot be written: " + std::strerror(errno);
    return false;
  }
  platform::shareWrittenFile(fd);
  out_ = fdopen(fd, "wb");
  if (out_ == nullptr) {
    close(fd);
    std::remove(temporary_.c_str());
    error = path_ + ": cannot be written: " + std::strerror(errno);
    return false;
  }
  ownsFile_ = true;
  return true;
}

bool OutputFile::write(const std::string& text) {
  if (out_ == nullptr || failed_) return false;
  if (std::fwrite(text.data(), 1, text.size(), out_) != text.size()) failed_ = true;
  return !failed_;
}

bool OutputFile::commit(std::string& error) {
  if (out_ == nullptr) return false;
  const bool flushed = std::fflush(out_) == 0 && !failed_;
  if (!ownsFile_) {
    if (!flushed) error = "standard output: write failed";
    return flushed;
  }
  const bool closed = std::fclose(out_) == 0;
  out_ = nullptr;
  if (!flushed || !closed || std::rename(temporary_.c_str(), path_.c_str()) != 0) {
    error = path_ + ": cannot be written: " + std::strerror(errno);
    std::remove(temporary_.c_str());
    ownsFile_ = false;
    return false;
  }
  ownsFile_ = false;
  return true;
}

}  // namespace loquant::cli
