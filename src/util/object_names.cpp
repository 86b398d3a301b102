#include "util/object_names.h"

#include "util/format.h"

namespace vornix {

namespace {

const char* familyWord(SectionFamily family) {
  switch (family) {
    case SectionFamily::component:
      return "Component";
    case SectionFamily::process:
      return "Process";
    case SectionFamily::temporal:
      return "Temporal";
    case SectionFamily::dataMaps:
      return "DataMaps";
  }
  return "";
}

}  // namespace

std::string fullObjectName(std::string_view kind, std::string_view logicalName) {
  const std::size_t end = logicalName.find('\0');
  if (end != std::string_view::npos) logicalName = logicalName.substr(0, end);
  std::string name = "Local\\";
  name.reserve(name.size() + kind.size() + logicalName.size());
  name += kind;
  name += logicalName;
  return name;
}

std::string masterSectionName(std::uint32_t instance) {
  return formatString("ZelkoraMasterMemory_%u", unsigned{instance});
}

std::string masterMutexName(std::uint32_t instance) {
  return formatString("ZelkoraMasterMemoryMutex_%u", unsigned{instance});
}

std::string familyMutexName(SectionFamily family, std::uint32_t instance) {
  return formatString("Zelkora%sMemoryMutex_%u", familyWord(family), unsigned{instance});
}

std::string familySectionName(SectionFamily family, std::uint32_t instance, std::uint32_t serial) {
  return familySectionPrefix(family, instance) + std::to_string(serial);
}

std::string familySectionPrefix(SectionFamily family, std::uint32_t instance) {
  return formatString("Zelkora%sMemory_%u_", familyWord(family), unsigned{instance});
}

std::string temporalOwnerName(std::uint32_t instance) {
  return formatString("ZelkoraTemporalOwner_%u", unsigned{instance});
}

std::string queueSemaphoreName(std::uint32_t instance, std::uint32_t queueId) {
  return queueSemaphorePrefix(instance) + std::to_string(queueId);
}

std::string inboundSemaphoreName(std::uint32_t instance, std::uint32_t componentId) {
  return inboundSemaphorePrefix(instance) + std::to_string(componentId);
}

std::string queueSemaphorePrefix(std::uint32_t instance) {
  return formatString("ZelkoraQueue_%u_", unsigned{instance});
}

std::string inboundSemaphorePrefix(std::uint32_t instance) {
  return formatString("ZelkoraInbound_%u_", unsigned{instance});
}

std::string instanceClaimFileName(std::uint32_t instance) {
  return formatString("Local\\Claim_ZelkoraInstance_%u", unsigned{instance});
}

std::string instanceClaimMutexName(std::uint32_t instance) {
  return formatString("Local\\Mutex_ZelkoraInstanceClaim_%u", unsigned{instance});
}

std::string masterSectionFullPrefix() {
  return sectionFullName("ZelkoraMasterMemory_");
}

}  // namespace vornix
