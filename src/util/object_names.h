// Every name of a named object, in one place.
//
// Full names: "Local\Mutex_<logical>", "Local\Semaphore_<logical>" and
// "Local\Shmem_<logical>"; the logical name ends at its first NUL, as a C text
// would.
//
// Instance names: the logical names of the objects of one system instance
// (its number `n`), which other processes of the host framework open by name,
// so they never change:
//   master section      "ZelkoraMasterMemory_<n>", mutex "ZelkoraMasterMemoryMutex_<n>"
//   growing sections    "Zelkora<Family>Memory_<n>_<serial>", one mutex per family
//                       "Zelkora<Family>MemoryMutex_<n>" (Family: Component,
//                       Process, Temporal, DataMaps)
//   temporal owner      "ZelkoraTemporalOwner_<n>"
//   semaphores          "ZelkoraQueue_<n>_<queue id>", "ZelkoraInbound_<n>_<component id>"
//   instance claim      full name "Local\Claim_ZelkoraInstance_<n>" (a claim file),
//                       "Local\Mutex_ZelkoraInstanceClaim_<n>" (a claim mutex)
// Numbers are written in decimal without leading zeros.
//
// Thread safety: pure functions.
#pragma once

#include <cstdint>
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

// What every instance name carries right after its kind ("Local\<Kind>_").
inline constexpr std::string_view kInstanceNameStem = "Zelkora";

// The sections that grow by replacement: each has one mutex and a serial
// number per section.
enum class SectionFamily { component, process, temporal, dataMaps };
inline constexpr SectionFamily kSectionFamilies[] = {
    SectionFamily::component, SectionFamily::process, SectionFamily::temporal,
    SectionFamily::dataMaps};

// Logical names.
std::string masterSectionName(std::uint32_t instance);
std::string masterMutexName(std::uint32_t instance);
std::string familyMutexName(SectionFamily family, std::uint32_t instance);
std::string familySectionName(SectionFamily family, std::uint32_t instance, std::uint32_t serial);
// The logical name of the family's sections up to the serial ("..._<n>_").
std::string familySectionPrefix(SectionFamily family, std::uint32_t instance);
std::string temporalOwnerName(std::uint32_t instance);
std::string queueSemaphoreName(std::uint32_t instance, std::uint32_t queueId);
std::string inboundSemaphoreName(std::uint32_t instance, std::uint32_t componentId);
// The logical names of those semaphores up to the id ("..._<n>_").
std::string queueSemaphorePrefix(std::uint32_t instance);
std::string inboundSemaphorePrefix(std::uint32_t instance);

// Full names.
std::string instanceClaimFileName(std::uint32_t instance);
std::string instanceClaimMutexName(std::uint32_t instance);
// The full name of every master section up to the instance number.
std::string masterSectionFullPrefix();

}  // namespace vornix
