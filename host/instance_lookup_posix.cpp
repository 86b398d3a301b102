// Instance lookup on POSIX: the named objects are files in /dev/shm under
// their system names (util/named_objects.h), semaphores included; a
// directory listing finds every running instance. Anyone can create files
// there: only a master that is a regular file of this user, of an instance
// whose claim a live host holds (host/instance_claim.h), counts.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "host/instance_claim.h"
#include "host/instance_lookup.h"
#include "host/instance_view.h"
#include "util/named_objects.h"
#include "util/object_names.h"

namespace vornix::host {
namespace {

// Where the system keeps the named objects (shm_open, glibc on Linux).
constexpr const char* kShmDirectory = "/dev/shm";

}  // namespace

bool namedObjectExists(std::string_view fullName) {
  const std::optional<std::string> name = systemObjectName(fullName);
  if (!name || name->size() < 2) return false;
  const std::string file = name->substr(1);
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::path(kShmDirectory) / file, ec);
}

std::vector<std::uint16_t> listInstances() {
  std::vector<std::uint16_t> found;
  const std::optional<std::string> prefix = systemObjectName(masterSectionFullPrefix());
  if (!prefix) return found;
  const std::string wanted = prefix->substr(1);
  std::error_code ec;
  for (const auto& file : std::filesystem::directory_iterator(kShmDirectory, ec)) {
    const std::string name = file.path().filename().string();
    if (name.size() <= wanted.size() || name.compare(0, wanted.size(), wanted) != 0) continue;
    const char* first = name.data() + wanted.size();
    const char* last = name.data() + name.size();
    unsigned value = 0;
    const auto [end, problem] = std::from_chars(first, last, value);
    if (problem != std::errc() || end != last || value > 0xFFFFU) continue;
    std::error_code statError;
    const std::filesystem::file_status status = std::filesystem::symlink_status(file, statError);
    struct stat info {};
    if (statError || !std::filesystem::is_regular_file(status) ||
        ::lstat(file.path().c_str(), &info) != 0 || info.st_uid != ::geteuid() ||
        !instanceClaimed(static_cast<std::uint16_t>(value))) {
      continue;
    }
    found.push_back(static_cast<std::uint16_t>(value));
  }
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace vornix::host
