// The objects of an instance on POSIX: this user's files in /dev/shm, whose
// names are the system names of util/named_objects.h (semaphores with the
// system's "sem." in front).
#include <filesystem>
#include <fstream>
#include <optional>

#include "support/instance_objects.h"
#include "util/named_objects.h"
#include "util/object_names.h"

namespace vornix::test {

std::vector<std::string> objectsOfInstance(std::uint16_t instance) {
  std::vector<std::string> found;
  const std::optional<std::string> prefix = systemObjectName("");
  if (!prefix) return found;
  const std::string mine = prefix->substr(1);  // "loquant.<uid>."
  const std::string tag = "_" + std::to_string(instance);
  std::error_code error;
  for (const auto& item : std::filesystem::directory_iterator("/dev/shm", error)) {
    std::string name = item.path().filename().string();
    if (name.rfind("sem.", 0) == 0) name.erase(0, 4);
    if (name.rfind(mine, 0) != 0) continue;
    name.erase(0, mine.size());
    const bool ends =
        name.size() >= tag.size() && name.compare(name.size() - tag.size(), tag.size(), tag) == 0;
    if (name.find(kInstanceNameStem) != std::string::npos &&
        (ends || name.find(tag + "_") != std::string::npos)) {
      found.push_back(name);
    }
  }
  return found;
}

std::vector<std::string> leftAfterStop(std::uint16_t instance) {
  return objectsOfInstance(instance);
}

bool namesAreRemovedAhead() {
  return true;
}

std::size_t mappedViewsOfInstance(std::uint16_t instance) {
  std::ifstream maps("/proc/self/maps");
  const std::string tag = "_" + std::to_string(instance) + "_";
  std::size_t count = 0;
  for (std::string line; std::getline(maps, line);) {
    if (line.find(kInstanceNameStem) != std::string::npos && line.find(tag) != std::string::npos)
      ++count;
  }
  return count;
}

}  // namespace vornix::test
