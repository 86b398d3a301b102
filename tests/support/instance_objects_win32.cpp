// The objects of an instance on Windows: every name the instance can use is
// opened (never created); a name that opens is an object that exists.
#include <windows.h>

#include "support/instance_objects.h"
#include "util/object_names.h"

namespace vornix::test {
namespace {

enum class Kind { mutex, semaphore, section };

bool exists(const std::string& fullName, Kind kind) {
  HANDLE handle = nullptr;
  switch (kind) {
    case Kind::mutex:
      handle = ::OpenMutexA(SYNCHRONIZE, FALSE, fullName.c_str());
      break;
    case Kind::semaphore:
      handle = ::OpenSemaphoreA(SYNCHRONIZE, FALSE, fullName.c_str());
      break;
    case Kind::section:
      handle = ::OpenFileMappingA(FILE_MAP_READ, FALSE, fullName.c_str());
      break;
  }
  if (handle == nullptr) return false;
  ::CloseHandle(handle);
  return true;
}

}  // namespace

std::vector<std::string> objectsOfInstance(std::uint16_t instance) {
  std::vector<std::string> found;
  const std::uint32_t n = instance;
  auto probe = [&](const std::string& full, Kind kind) {
    if (exists(full, kind)) found.push_back(full);
  };
  probe(mutexFullName(masterMutexName(n)), Kind::mutex);
  for (const SectionFamily family : kSectionFamilies) {
    probe(mutexFullName(familyMutexName(family, n)), Kind::mutex);
  }
  probe(sectionFullName(masterSectionName(n)), Kind::section);
  probe(sectionFullName(temporalOwnerName(n)), Kind::section);
  for (const SectionFamily family : kSectionFamilies) {
    for (std::uint32_t serial = 0; serial < kProbedSerials; ++serial) {
      probe(sectionFullName(familySectionName(family, n, serial)), Kind::section);
    }
  }
  for (std::uint32_t id = 0; id < kProbedIds; ++id) {
    probe(semaphoreFullName(queueSemaphoreName(n, id)), Kind::semaphore);
  }
  for (std::uint32_t id = 0; id < kProbedIds; ++id) {
    probe(semaphoreFullName(inboundSemaphoreName(n, id)), Kind::semaphore);
  }
  return found;
}

std::vector<std::string> leftAfterStop(std::uint16_t instance) {
  return objectsOfInstance(instance);
}

bool namesAreRemovedAhead() {
  return false;
}

std::size_t mappedViewsOfInstance(std::uint16_t instance) {
  std::size_t count = 0;
  for (const std::string& name : objectsOfInstance(instance)) {
    count += name.find("\\Shmem_") != std::string::npos ? 1U : 0U;
  }
  return count;
}

}  // namespace vornix::test
