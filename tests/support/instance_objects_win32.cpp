// The objects of an instance on Windows: every name the instance can use is
// opened (never created); a name that opens is an object that exists.
#include <windows.h>

#include <cstdio>

#include "support/instance_objects.h"

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

std::string name(const char* format, unsigned a, unsigned b = 0) {
  char buffer[160];
  std::snprintf(buffer, sizeof buffer, format, a, b);
  return buffer;
}

}  // namespace

std::vector<std::string> objectsOfInstance(std::uint16_t instance) {
  std::vector<std::string> found;
  const unsigned n = instance;
  auto probe = [&](const std::string& full, Kind kind) {
    if (exists(full, kind)) found.push_back(full);
  };
  for (const char* mutex :
       {"Local\\Mutex_ZelkoraMasterMemoryMutex_%u", "Local\\Mutex_ZelkoraComponentMemoryMutex_%u",
        "Local\\Mutex_ZelkoraProcessMemoryMutex_%u", "Local\\Mutex_ZelkoraTemporalMemoryMutex_%u",
        "Local\\Mutex_ZelkoraDataMapsMemoryMutex_%u"}) {
    probe(name(mutex, n), Kind::mutex);
  }
  probe(name("Local\\Shmem_ZelkoraMasterMemory_%u", n), Kind::section);
  probe(name("Local\\Shmem_ZelkoraTemporalOwner_%u", n), Kind::section);
  for (const char* section :
       {"Local\\Shmem_ZelkoraComponentMemory_%u_%u", "Local\\Shmem_ZelkoraProcessMemory_%u_%u",
        "Local\\Shmem_ZelkoraTemporalMemory_%u_%u", "Local\\Shmem_ZelkoraDataMapsMemory_%u_%u"}) {
    for (unsigned serial = 0; serial < kProbedSerials; ++serial) {
      probe(name(section, n, serial), Kind::section);
    }
  }
  for (const char* semaphore :
       {"Local\\Semaphore_ZelkoraQueue_%u_%u", "Local\\Semaphore_ZelkoraInbound_%u_%u"}) {
    for (unsigned id = 0; id < kProbedIds; ++id) probe(name(semaphore, n, id), Kind::semaphore);
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
