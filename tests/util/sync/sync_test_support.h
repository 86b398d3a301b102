// Helpers of the synchronisation tests: unique object names per test run, a
// capture of log lines and a look at the system objects under /dev/shm.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "util/log.h"
#include "util/mutex.h"
#include "util/named_objects.h"
#include "util/semaphore.h"
#include "util/shared_memory.h"

namespace vornix::test {

// A logical name no other run or test uses: "SyncTest_<pid>_<n>_<tag>".
inline std::string uniqueName(const std::string& tag) {
  static std::atomic<unsigned> next{0};
  return "SyncTest_" + std::to_string(::getpid()) + "_" + std::to_string(next++) + "_" + tag;
}

// A unique logical name for one test's object of a kind, whose object is
// removed when the test ends, passed or failed, so no run leaves it behind.
template <bool (*Remove)(std::string_view)>
struct ScopedName {
  explicit ScopedName(const std::string& tag) : logical(uniqueName(tag)) {}
  ~ScopedName() { Remove(logical); }
  ScopedName(const ScopedName&) = delete;
  ScopedName& operator=(const ScopedName&) = delete;
  std::string logical;
};

struct NamedMutexName : ScopedName<removeNamedMutex> {
  explicit NamedMutexName(const std::string& tag = "mutex") : ScopedName(tag) {}
};
struct NamedSemaphoreName : ScopedName<removeNamedSemaphore> {
  explicit NamedSemaphoreName(const std::string& tag = "semaphore") : ScopedName(tag) {}
};
struct SectionName : ScopedName<removeSharedMemory> {
  explicit SectionName(const std::string& tag = "section") : ScopedName(tag) {}
};

// The prefix of every full name this run creates (for the final cleanup check).
inline std::string runPrefixOf(const std::string& kind) {
  return "Local\\" + kind + "SyncTest_" + std::to_string(::getpid()) + "_";
}

// Collects the lines logged while it lives.
class LogCapture {
 public:
  LogCapture() {
    setLogLineSink(
        [this](std::uint32_t, std::uint8_t category, std::uint8_t, std::string_view line) {
          std::lock_guard<std::mutex> hold(guard_);
          lines_.emplace_back(line);
          categories_.push_back(category);
        });
  }
  ~LogCapture() { setLogLineSink({}); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> hold(guard_);
    return lines_;
  }
  std::vector<std::uint8_t> categories() const {
    std::lock_guard<std::mutex> hold(guard_);
    return categories_;
  }

 private:
  mutable std::mutex guard_;
  std::vector<std::string> lines_;
  std::vector<std::uint8_t> categories_;
};

// The file the system keeps for a named object (of any kind), or empty when
// the name is refused.
inline std::string objectFile(const std::string& fullName) {
  const std::optional<std::string> name = systemObjectName(fullName);
  if (!name) return {};
  return "/dev/shm/" + name->substr(1);
}

// Mode bits of the object's file, or -1 when it does not exist.
inline int objectMode(const std::string& fullName) {
  struct stat info {};
  if (::stat(objectFile(fullName).c_str(), &info) != 0) return -1;
  return static_cast<int>(info.st_mode & 07777);
}

}  // namespace vornix::test
