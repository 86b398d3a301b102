#include "output_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

namespace loquant::cli {

namespace fs = std::filesystem;

namespace {

#if defined(O_BINARY)
constexpr int kBinary = O_BINARY;  // no newline translation where the C runtime has it
#else
constexpr int kBinary = 0;
#endif

// The system's limit on links followed in one lookup.
constexpr int kMostLinks = 40;

// `path` with the symbolic links of its last component followed (a relative
// link is read from the link's own directory). A name that still is a link
// after kMostLinks steps is returned as it is, for open() to refuse.
fs::path followLinks(fs::path path) {
  for (int step = 0; step < kMostLinks; ++step) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(path, ec))) return path;
    const fs::path to = fs::read_symlink(path, ec);
    if (ec) return path;
    path = to.is_absolute() ? to : path.parent_path() / to;
  }
  return path;
}

// Creates `base`.tmp-XXXXXX exclusively with mode 0666, which the umask then
// narrows as for any new file (mkstemp would give 0600 whatever the umask).
// Returns the descriptor, or -1 with errno set.
int createTemporary(const std::string& base, std::string& name) {
  static std::mt19937 generator{std::random_device{}()};
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = base + ".tmp-";
    for (int i = 0; i < 6; ++i) name += kLetters[generator() % (sizeof kLetters - 1)];
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | kBinary, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;  // errno is EEXIST
}

// The name a file is known by for comparisons when it does not exist: its
// links and relative steps resolved as far as the existing directories go.
fs::path resolvedName(const std::string& path) {
  std::error_code ec;
  const fs::path absolute = fs::absolute(followLinks(path), ec);
  fs::path resolved = fs::weakly_canonical(absolute, ec);
  if (ec) resolved = absolute.lexically_normal();
  return resolved;
}

// Whether writing `a` would write `b`. A character device (the null device,
// a terminal) takes any number of writers and never counts as the same.
bool sameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  if (fs::is_character_file(fs::status(a, ec))) return false;
  const bool equivalent = fs::equivalent(a, b, ec);
  // Not comparable that way (neither exists, or both are pipes): by name.
  if (!ec) return equivalent;
  return resolvedName(a) == resolvedName(b);
}

}  // namespace

OutputFile::OutputFile(std::string path, std::FILE* standardOutput)
    : path_(std::move(path)), out_(path_.empty() ? standardOutput : nullptr) {}

OutputFile::~OutputFile() {
  if (ownsFile_ && out_ != nullptr) std::fclose(out_);
  if (!temporary_.empty()) std::remove(temporary_.c_str());
}

bool OutputFile::fail(std::string& error, int code) {
  error = path_.empty() ? std::string("cannot write the output: ") + std::strerror(code)
                        : path_ + ": cannot be written: " + std::strerror(code);
  return false;
}

bool OutputFile::open(std::string& error) {
  if (path_.empty()) return out_ != nullptr;
  target_ = followLinks(path_).string();
  std::error_code ec;
  const fs::file_status status = fs::status(target_, ec);
  if (status.type() == fs::file_type::none) return fail(error, ec.value());
  int fd = -1;
  if (status.type() == fs::file_type::regular || status.type() == fs::file_type::not_found) {
    fd = createTemporary(target_, temporary_);
    if (fd < 0) {
      const int code = errno;
      temporary_.clear();
      return fail(error, code);
    }
    // A replaced file keeps its permissions. Failing that (another user's
    // file), the new file's own narrower mode stands.
    if (status.type() == fs::file_type::regular) {
      fs::permissions(temporary_, status.permissions(), fs::perm_options::replace, ec);
    }
  } else {
    // A device, a pipe or a terminal is written as it is: replacing it with a
    // regular file would break it for everyone. A directory fails here.
    fd = ::open(target_.c_str(), O_WRONLY | kBinary);
    if (fd < 0) return fail(error, errno);
  }
  out_ = fdopen(fd, "wb");
  if (out_ == nullptr) {
    const int code = errno;
    ::close(fd);
    if (!temporary_.empty()) std::remove(temporary_.c_str());
    temporary_.clear();
    return fail(error, code);
  }
  ownsFile_ = true;
  return true;
}

bool OutputFile::write(const std::string& text) {
  if (out_ == nullptr || writeError_ != 0) return false;
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), out_) != text.size()) {
    writeError_ = errno != 0 ? errno : EIO;
  }
  return writeError_ == 0;
}

bool OutputFile::flush() {
  if (out_ == nullptr || writeError_ != 0) return false;
  errno = 0;
  if (std::fflush(out_) != 0) writeError_ = errno != 0 ? errno : EIO;
  return writeError_ == 0;
}

bool OutputFile::finish(std::string& error) {
  if (finished_) return true;
  if (out_ == nullptr) return fail(error, writeError_ != 0 ? writeError_ : EBADF);
  errno = 0;
  if (std::fflush(out_) != 0 && writeError_ == 0) writeError_ = errno != 0 ? errno : EIO;
  // A write made around this object (a flush of the stream by its owner)
  // that failed leaves only the stream's error flag.
  if (std::ferror(out_) != 0 && writeError_ == 0) writeError_ = EIO;
  if (ownsFile_) {
    errno = 0;
    if (std::fclose(out_) != 0 && writeError_ == 0) writeError_ = errno != 0 ? errno : EIO;
    ownsFile_ = false;
  }
  out_ = nullptr;
  if (writeError_ != 0) {
    if (!temporary_.empty()) std::remove(temporary_.c_str());
    temporary_.clear();
    return fail(error, writeError_);
  }
  finished_ = true;
  return true;
}

bool OutputFile::commit(std::string& error) {
  if (!finish(error)) return false;
  if (temporary_.empty()) return true;
  if (std::rename(temporary_.c_str(), target_.c_str()) != 0) {
    const int code = errno;
    std::remove(temporary_.c_str());
    temporary_.clear();
    return fail(error, code);
  }
  temporary_.clear();
  return true;
}

bool commitOutputs(OutputFile& main, const std::string& extraPath, const std::string& extraText,
                   std::string& error) {
  if (extraPath.empty()) return main.commit(error);
  OutputFile extra(extraPath, nullptr);
  if (!extra.open(error)) return false;
  extra.write(extraText);  // a failure is reported by finish
  // Nothing is renamed until both are written; either one's destructor
  // removes its temporary file when the other fails.
  if (!extra.finish(error) || !main.finish(error)) return false;
  return main.commit(error) && extra.commit(error);
}

bool checkOutputPaths(std::span<const std::string> inputs, std::span<const std::string> outputs,
                      std::string& error) {
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const std::string& output = outputs[i];
    if (output.empty()) continue;
    for (const std::string& input : inputs) {
      if (!input.empty() && sameFile(output, input)) {
        error = output + ": is the input " + input + ": refusing to write over it";
        return false;
      }
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (!outputs[j].empty() && sameFile(output, outputs[j])) {
        error = output + ": named for two outputs (with " + outputs[j] + ")";
        return false;
      }
    }
  }
  return true;
}

}  // namespace loquant::cli
