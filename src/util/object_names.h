// The full names of named objects: "Local\Mutex_<logical>",
// "Local\Semaphore_<logical>" and "Local\Shmem_<logical>". The logical name
// ends at its first NUL, as a C text would.
#pragma once

#include <string>
#include <string_view>

namespace vornix {

std::string fullObjectName(std::string_view kind, std::string_view logicalName);

inline std::string mutexFullName(std::string_view logicalName) {
  return fullObjectName("Mutex_", logicalName);
}
inline std::string semaphoreFullName(std::string_view logicalName) {
  return fullObjectName("Semaphore_", logicalName);
}
inline std::string sectionFullName(std::string_view logicalName) {
  return fullObjectName("Shmem_", logicalName);
}

}  // namespace vornix
