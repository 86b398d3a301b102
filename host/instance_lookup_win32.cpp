// Instance lookup on Windows: "Local\" objects cannot be listed, so a name
// exists when it opens. Opening takes a reference that is dropped at once;
// it never creates an object and never keeps one alive.
//
// listInstances opens the master section name of every instance number,
// 0 to 65535. Each probe is one kernel call (a round trip to the server
// under Wine); docs/platform-win32.md records what the whole probe costs.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "host/instance_lookup.h"
#include "host/instance_view.h"
#include "util/named_objects.h"
#include "util/object_names.h"

namespace vornix::host {
namespace {

// Opens and closes `name` as an object of the kind its prefix names.
bool opens(const std::string& name) {
  HANDLE handle = nullptr;
  if (name.rfind("Local\\Mutex_", 0) == 0) {
    handle = ::OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
  } else if (name.rfind("Local\\Semaphore_", 0) == 0) {
    handle = ::OpenSemaphoreA(SYNCHRONIZE, FALSE, name.c_str());
  } else if (name.rfind("Local\\Shmem_", 0) == 0) {
    handle = ::OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
  }
  if (handle == nullptr) return false;
  ::CloseHandle(handle);
  return true;
}

}  // namespace

bool namedObjectExists(std::string_view fullName) {
  const std::optional<std::string> name = systemObjectName(fullName);
  return name && opens(*name);
}

std::vector<std::uint16_t> listInstances() {
  std::vector<std::uint16_t> found;
  for (std::uint32_t n = 0; n <= 0xFFFFU; ++n) {
    const std::string name = sectionFullName(masterSectionName(n));
    const HANDLE handle = ::OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
    if (handle == nullptr) continue;
    ::CloseHandle(handle);
    found.push_back(static_cast<std::uint16_t>(n));
  }
  return found;
}

}  // namespace vornix::host
