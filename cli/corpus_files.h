// The files of a corpus run in its output folder: each written whole or not
// at all (a temporary named after the writing process, then a rename), the
// temporaries a killed process left behind, and the lock that keeps two runs
// of the same work apart.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace loquant::cli::corpus {

// This process's id and this machine's name (as the lock file holds them).
long processId() noexcept;
std::string hostName();
// Whether process `id` of this machine still runs.
bool processRuns(long id) noexcept;

// The name of a temporary of `path` written by this process:
// PATH.tmp.HOST.PID. Unique per process and machine, so that processes on a
// shared file system never write each other's temporaries.
std::filesystem::path temporaryOf(const std::filesystem::path& path);

// Writes `text` to `path` whole or not at all (through temporaryOf and a
// rename); false with the reason in `error`.
bool writeWhole(const std::filesystem::path& path, std::string_view text, std::string& error);
// Reads a whole file; false when it cannot be read.
bool readWhole(const std::filesystem::path& path, std::string& text);

// Removes the temporaries in `folder` that processes of this machine which
// no longer run left behind (a killed run). Those of running processes, and
// of other machines, are left alone.
void removeDeadTemporaries(const std::filesystem::path& folder);

// A lock file holding "PID HOST" for as long as the object lives.
class RunLock {
 public:
  // Takes the lock at `path`. When a process that still runs (or one of
  // another machine, which cannot be checked) holds it: none, with the
  // holder in `error`. A lock left by a process of this machine that no
  // longer runs is taken over, and `note` says so.
  static std::optional<RunLock> take(const std::filesystem::path& path, std::string& error,
                                     std::string& note);
  RunLock(RunLock&& other) noexcept : path_(std::move(other.path_)) { other.path_.clear(); }
  RunLock& operator=(RunLock&&) = delete;
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;
  ~RunLock();  // removes the lock file

 private:
  explicit RunLock(std::filesystem::path path) : path_(std::move(path)) {}
  std::filesystem::path path_;
};

}  // namespace loquant::cli::corpus
