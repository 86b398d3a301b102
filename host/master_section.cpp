#include "host/master_section.h"

#include <utility>

#include "util/bytes.h"
#include "util/format.h"
#include "util/object_names.h"

namespace vornix::host {

namespace {
constexpr std::uint32_t kSectionTimeoutMs = 5000;
}

std::unique_ptr<MasterSection> MasterSection::create(std::uint16_t instanceId) {
  std::optional<OwnedMutex> mutex = OwnedMutex::create(masterMutexName(instanceId));
  if (!mutex) return nullptr;
  std::optional<OwnedSection> section = OwnedSection::create(masterSectionName(instanceId), kSize);
  if (!section) return nullptr;
  return std::make_unique<MasterSection>(Key{}, instanceId, std::move(*mutex), std::move(*section));
}

MasterSection::MasterSection(Key, std::uint16_t instanceId, OwnedMutex mutex, OwnedSection section)
    : instanceId_(instanceId),
      mutex_(std::move(mutex)),
      section_(std::move(section)),
      memory_(instanceId, &mutex_.get(), section_.bytes()) {}

bool MasterSection::publish(std::uint64_t serialOffset, std::uint32_t serial,
                            std::uint64_t sizeOffset, std::uint64_t size) {
  MutexHold hold(mutex_.get(), kSectionTimeoutMs, "vornix::host::MasterSection::publish");
  if (!hold) return false;
  return bytes::store<std::uint32_t>(section_.bytes(), serialOffset, serial) &&
         bytes::store<std::uint64_t>(section_.bytes(), sizeOffset, size);
}

bool MasterSection::publishProcess(std::uint32_t serial, std::uint64_t size) {
  return publish(MasterMemory::kProcessSerial, serial, MasterMemory::kProcessSize, size);
}

bool MasterSection::publishComponent(std::uint32_t serial, std::uint64_t size) {
  return publish(MasterMemory::kComponentSerial, serial, MasterMemory::kComponentSize, size);
}

bool MasterSection::publishDataMaps(std::uint32_t serial, std::uint64_t size) {
  return publish(MasterMemory::kDataMapsSerial, serial, MasterMemory::kDataMapsSize, size);
}

}  // namespace vornix::host
