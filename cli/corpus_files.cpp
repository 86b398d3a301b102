#include "corpus_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace loquant::cli::corpus {

namespace fs = std::filesystem;

namespace {

#if defined(O_BINARY)
constexpr int kBinary = O_BINARY;
#else
constexpr int kBinary = 0;
#endif

constexpr std::string_view kTemporaryMark = ".tmp.";

bool writeDescriptor(int fd, std::string_view text) {
  while (!text.empty()) {
    const auto wrote = ::write(fd, text.data(), static_cast<unsigned>(text.size()));
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(wrote));
  }
  return true;
}

}  // namespace

fs::path temporaryOf(const fs::path& path) {
  return path.string() + std::string(kTemporaryMark) + hostName() + "." +
         std::to_string(processId());
}

bool writeWhole(const fs::path& path, std::string_view text, std::string& error) {
  const fs::path temporary = temporaryOf(path);
  const int fd = ::open(temporary.string().c_str(), O_WRONLY | O_CREAT | O_TRUNC | kBinary, 0666);
  if (fd < 0) {
    error = temporary.string() + ": " + std::strerror(errno);
    return false;
  }
  const bool wrote = writeDescriptor(fd, text);
  const int code = errno;
  if (::close(fd) != 0 || !wrote) {
    error = temporary.string() + ": " + std::strerror(wrote ? errno : code);
    std::remove(temporary.string().c_str());
    return false;
  }
  std::error_code ec;
  fs::rename(temporary, path, ec);
  if (ec) {
    error = path.string() + ": " + ec.message();
    std::remove(temporary.string().c_str());
    return false;
  }
  return true;
}

bool readWhole(const fs::path& path, std::string& text) {
  std::FILE* file = std::fopen(path.string().c_str(), "rb");
  if (file == nullptr) return false;
  text.clear();
  std::array<char, 1 << 16> buffer{};
  for (std::size_t got = 0; (got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0;) {
    text.append(buffer.data(), got);
  }
  const bool ok = std::ferror(file) == 0;
  std::fclose(file);
  return ok;
}

void removeDeadTemporaries(const fs::path& folder) {
  const std::string host = hostName();
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    const std::size_t mark = name.rfind(kTemporaryMark);
    if (mark == std::string::npos) continue;
    // NAME.tmp.HOST.PID: the host may hold dots, the id does not.
    const std::string owner = name.substr(mark + kTemporaryMark.size());
    const std::size_t dot = owner.rfind('.');
    if (dot == std::string::npos || owner.substr(0, dot) != host) continue;
    char* endOfId = nullptr;
    const long id = std::strtol(owner.c_str() + dot + 1, &endOfId, 10);
    if (*endOfId != '\0' || processRuns(id)) continue;
    std::error_code ignored;
    fs::remove(it->path(), ignored);
  }
}

namespace {

// Makes `path` holding `text`, only if no file of that name exists. The text
// is written to a temporary first and linked into place, so the file never
// exists empty or half written, whenever the process is killed. Where the
// file system has no links, it is made exclusively and then written.
enum class Made { made, existed, failed };
Made makeWhole(const fs::path& path, std::string_view text, std::string& error) {
  const fs::path temporary = temporaryOf(path);
  if (!writeWhole(temporary, text, error)) return Made::failed;
  std::error_code ec;
  fs::create_hard_link(temporary, path, ec);
  std::error_code ignored;
  fs::remove(temporary, ignored);
  if (!ec) return Made::made;
  if (ec == std::errc::file_exists) return Made::existed;
  const int fd = ::open(path.string().c_str(), O_WRONLY | O_CREAT | O_EXCL | kBinary, 0644);
  if (fd < 0) {
    if (errno == EEXIST) return Made::existed;
    error = path.string() + ": " + std::strerror(errno);
    return Made::failed;
  }
  const bool wrote = writeDescriptor(fd, text);
  ::close(fd);
  if (wrote) return Made::made;
  error = path.string() + ": cannot write it";
  std::remove(path.string().c_str());
  return Made::failed;
}

// The file that makes taking over an ended holder's lock one run's act: the
// check that the lock still names that holder and its removal happen while
// the guard exists, so two runs that both saw the holder end cannot each
// remove the lock the other has just made. The guard names its run as the
// lock does; one left by a run of this machine that has ended (killed in
// that short stretch) is removed at once, any other once it is 10 s old.
class TakeoverGuard {
 public:
  TakeoverGuard() = default;
  TakeoverGuard(const TakeoverGuard&) = delete;
  TakeoverGuard& operator=(const TakeoverGuard&) = delete;
  ~TakeoverGuard() {
    std::error_code ec;
    if (!path_.empty()) fs::remove(path_, ec);
  }

  bool held() const noexcept { return !path_.empty(); }

  // Makes the guard file `path`; false, with the reason in `error`, when
  // another run holds it.
  bool take(const fs::path& path, std::string_view mine, std::string& error) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      const Made made = makeWhole(path, mine, error);
      if (made == Made::made) {
        path_ = path;
        return true;
      }
      if (made == Made::failed) return false;
      if (!stale(path)) break;
      std::error_code ec;
      fs::remove(path, ec);
    }
    error = path.parent_path().string() + ": another run is starting on this output folder";
    return false;
  }

 private:
  static bool stale(const fs::path& path) {
    std::string held;
    if (!readWhole(path, held)) return true;  // gone meanwhile
    std::istringstream words(held);
    long holder = 0;
    std::string host;
    words >> holder >> host;
    if (holder > 0 && host == hostName()) return !processRuns(holder);
    std::error_code ec;
    const auto age = fs::file_time_type::clock::now() - fs::last_write_time(path, ec);
    return !ec && age >= std::chrono::seconds(10);
  }

  fs::path path_;
};

}  // namespace

std::optional<RunLock> RunLock::take(const fs::path& path, std::string& error, std::string& note) {
  const std::string mine = std::to_string(processId()) + " " + hostName() + "\n";
  // Held from the takeover until this run's own lock is made (or refused).
  TakeoverGuard guard;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const Made made = makeWhole(path, mine, error);
    if (made == Made::made) return RunLock(path);
    if (made == Made::failed) return std::nullopt;
    std::string held;
    if (!readWhole(path, held)) continue;  // released meanwhile: try again
    std::istringstream words(held);
    long holder = 0;
    std::string host;
    words >> holder >> host;
    if (holder <= 0 || host.empty()) {
      // A lock without a holder (made where files cannot be linked, by a
      // run killed before it wrote it): taken over only once it is old.
      std::error_code ec;
      const auto age = fs::file_time_type::clock::now() - fs::last_write_time(path, ec);
      if (ec || age < std::chrono::seconds(10)) {
        error = path.string() + ": another run is starting on this output folder";
        return std::nullopt;
      }
    } else if (host != hostName() || processRuns(holder)) {
      error = "another run (process " + std::to_string(holder) + " on " + host + ") holds " +
              path.string() + (host != hostName() ? "; if it has ended, remove the file" : "");
      return std::nullopt;
    }
    if (!guard.held() && !guard.take(fs::path(path.string() + ".takeover"), mine, error)) {
      return std::nullopt;
    }
    // Removed only while it still names the ended holder: another run may
    // have taken it over between the read above and the guard.
    std::string still;
    if (!readWhole(path, still) || still != held) continue;
    note = "took over " + path.string() + " from process " + std::to_string(holder) + " on " +
           (host.empty() ? "an unknown host" : host) + ", which has ended";
    std::error_code ec;
    fs::remove(path, ec);
  }
  error = path.string() + ": cannot take the lock";
  return std::nullopt;
}

RunLock::~RunLock() {
  if (path_.empty()) return;
  std::error_code ec;
  fs::remove(path_, ec);
}

}  // namespace loquant::cli::corpus
