// Helpers shared by the section tests: an instance id that no other test
// process uses at the same time, a log-line capture, and the check that an
// instance left nothing behind among the system's named objects.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "support/instance_objects.h"
#include "support/test_instances.h"
#include "support/test_process.h"
#include "util/log.h"

namespace vornix::test {

// An instance of this test process (support/test_instances.h).
inline std::uint16_t uniqueInstanceId() {
  return testInstance();
}

// Collects the lines logged while it lives.
class LogCapture {
 public:
  LogCapture() {
    setLogLineSink([this](std::uint32_t, std::uint8_t, std::uint8_t, std::string_view line) {
      const std::lock_guard<std::mutex> lock(mutex_);
      lines_.emplace_back(line);
    });
  }
  ~LogCapture() { setLogLineSink({}); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  std::vector<std::string> lines() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  std::size_t count(const std::string& part) {
    std::size_t n = 0;
    for (const std::string& line : lines()) n += line.find(part) != std::string::npos ? 1U : 0U;
    return n;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// Full names of the sections and section mutexes of `instance` that exist.
inline std::vector<std::string> leftoverSections(std::uint16_t instance) {
  std::vector<std::string> found;
  const std::string serialPart = "Memory_" + std::to_string(instance) + "_";
  const std::string master = "MasterMemory_" + std::to_string(instance);
  const std::string mutex = "MemoryMutex_" + std::to_string(instance);
  auto endsWith = [](const std::string& name, const std::string& end) {
    return name.size() >= end.size() &&
           name.compare(name.size() - end.size(), end.size(), end) == 0;
  };
  for (const std::string& name : objectsOfInstance(instance)) {
    if (name.find(serialPart) != std::string::npos || endsWith(name, master) ||
        endsWith(name, mutex)) {
      found.push_back(name);
    }
  }
  return found;
}

}  // namespace vornix::test
