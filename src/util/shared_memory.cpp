#include "util/shared_memory.h"

#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "util/log.h"
#include "util/named_objects.h"
#include "util/object_names.h"

namespace vornix {
namespace {

constexpr std::uintptr_t kViewAlignment = 4096;

struct MappingRegistry {
  std::mutex guard;                                  // guards `views`
  std::map<const std::uint8_t*, SectionView> views;  // by view address
};

// Built and torn down by the use counter only (see sync_registries.h).
union RegistrySlot {
  constexpr RegistrySlot() noexcept : none() {}
  ~RegistrySlot() {}
  char none;
  MappingRegistry registry;
};
constinit RegistrySlot slot;
constinit MappingRegistry* registry = nullptr;

// Records a fresh view; a view that cannot be recorded is unmapped again.
std::uint8_t* record(const SectionView& view) {
  MappingRegistry* current = registry;
  if (current != nullptr) {
    std::lock_guard<std::mutex> hold(current->guard);
    auto [entry, added] = current->views.emplace(view.address, view);
    if (added) return view.address;
    // The system just handed out this address, so the view recorded under it
    // was unmapped elsewhere (by another module's copy of these operations,
    // which unmaps by address and size): only its descriptor is left to close.
    unmapSection(SectionView{nullptr, 0, entry->second.handle});
    entry->second = view;
    return view.address;
  }
  unmapSection(view);
  return nullptr;
}

}  // namespace

namespace detail {

void startMappingRegistry() noexcept {
  registry = std::construct_at(&slot.registry);
}

void stopMappingRegistry() noexcept {
  if (registry == nullptr) return;
  // The views stay mapped: the process or the library is going away.
  std::destroy_at(std::exchange(registry, nullptr));
}

}  // namespace detail

SectionResult createSectionLogged(std::string_view logicalName, std::uint64_t size,
                                  bool keepHandle) {
  const std::string fullName = sectionFullName(logicalName);
  const SectionResult result = createSection(fullName, size, keepHandle);
  switch (result.status) {
    case SectionStatus::mapped:
      return result;
    case SectionStatus::createFailed:
      logLine(0, 1, 0, "Could not create shared memory '%s': %s", fullName.c_str(),
              systemErrorText(result.errorCode).c_str());
      return {};
    default:  // a failed mapping is silent; a refused name was logged already
      return {};
  }
}

SectionResult openSectionLogged(std::string_view logicalName, bool keepHandle) {
  const std::string fullName = sectionFullName(logicalName);
  const SectionResult result = openSection(fullName, keepHandle);
  switch (result.status) {
    case SectionStatus::mapped:
      return result;
    case SectionStatus::mapFailed:
      logLine(0, 1, 0, "Could not map shared memory '%s': %s", fullName.c_str(),
              systemErrorText(result.errorCode).c_str());
      return {};
    default:  // absent is silent; a refused name was logged already
      return {};
  }
}

std::uint8_t* createSharedMemory(std::string_view logicalName, std::uint64_t size, bool* created) {
  const SectionResult result = createSectionLogged(logicalName, size, false);
  if (created != nullptr) *created = result.created;
  return result.view.address != nullptr ? record(result.view) : nullptr;
}

std::uint8_t* openSharedMemory(std::string_view logicalName) {
  const SectionView view = openSectionLogged(logicalName, false).view;
  return view.address != nullptr ? record(view) : nullptr;
}

bool closeSharedMemory(std::uint8_t* address, std::uint64_t size) {
  if (address == nullptr || size == 0) return true;
  MappingRegistry* current = registry;
  // A view this module's registry never saw was mapped by another copy of
  // these operations (a component library carries its own): its user knows
  // the length it mapped, so it is unmapped by address and size.
  SectionView view{address, size, -1};
  bool known = false;
  if (current != nullptr) {
    std::lock_guard<std::mutex> hold(current->guard);
    auto entry = current->views.find(address);
    if (entry != current->views.end()) {
      view = entry->second;
      current->views.erase(entry);
      known = true;
    }
  }
  // Every view starts on a page (a multiple of kViewAlignment on every
  // system); anything else cannot be a view and is left alone.
  if (!known && reinterpret_cast<std::uintptr_t>(address) % kViewAlignment != 0) return false;
  unmapSection(view);
  return true;
}

std::uint64_t mappedLength(const std::uint8_t* address) {
  MappingRegistry* current = registry;
  if (current == nullptr || address == nullptr) return 0;
  std::lock_guard<std::mutex> hold(current->guard);
  auto entry = current->views.find(address);
  return entry == current->views.end() ? 0 : entry->second.length;
}

bool removeSharedMemory(std::string_view logicalName) {
  return removeSystemObject(sectionFullName(logicalName), SystemObjectKind::section);
}

std::size_t removeNamedObjectsWithPrefix(std::string_view fullNamePrefix) {
  return removeSystemObjectsWithPrefix(fullNamePrefix);
}

}  // namespace vornix
