#include "host/data_maps_section.h"

#include <algorithm>
#include <cstring>

#include "runtime/data_maps_memory.h"
#include "util/bytes.h"
#include "util/format.h"
#include "util/object_names.h"

namespace vornix::host {

namespace {
constexpr std::uint32_t kSectionTimeoutMs = 5000;
using L = DataMapsMemory::Layout;
constexpr std::size_t kFurtherMaps = DataMapsMemory::kMaps - 1;
}  // namespace

std::unique_ptr<DataMapsSection> DataMapsSection::create(MasterSection& master,
                                                         std::span<const LevelName> levels,
                                                         std::uint16_t highestLevel) {
  std::optional<OwnedMutex> mutex =
      OwnedMutex::create(familyMutexName(SectionFamily::dataMaps, master.instanceId()));
  if (!mutex) return nullptr;
  auto section = std::make_unique<DataMapsSection>(Key{}, master, std::move(*mutex));
  if (!section->replace(levels, highestLevel)) return nullptr;
  return section;
}

DataMapsSection::DataMapsSection(Key, MasterSection& master, OwnedMutex mutex)
    : master_(&master), mutex_(std::move(mutex)) {}

bool DataMapsSection::replace(std::span<const LevelName> levels, std::uint16_t highestLevel) {
  MutexHold hold(mutex_.get(), kSectionTimeoutMs, "vornix::host::DataMapsSection::replace");
  if (!hold) return false;
  for (const LevelName& level : levels) {
    if (level.level > highestLevel) return false;
  }
  const std::uint64_t mapSize =
      L::kMapEntriesBase + kEntryArrayOffset + (std::uint64_t{highestLevel} + 1) * L::kEntrySize;
  const std::uint64_t size = L::kFirstMap + mapSize + kFurtherMaps * kEmptyMapSize;
  const std::uint32_t serial = serial_ + 1;
  std::optional<OwnedSection> next = OwnedSection::create(
      familySectionName(SectionFamily::dataMaps, master_->instanceId(), serial), size);
  if (!next) return false;
  const std::span<std::uint8_t> out = next->bytes();
  bytes::store<std::uint32_t>(out, 8, DataMapsMemory::kFormatMark);
  bytes::store<std::uint64_t>(out, L::kFirstMap, mapSize);
  bytes::store<std::uint32_t>(out, L::kFirstMap + L::kMapEntryArray,
                              static_cast<std::uint32_t>(kEntryArrayOffset));
  for (const LevelName& level : levels) {
    const std::uint64_t entry = L::kFirstMap + L::kMapEntriesBase + kEntryArrayOffset +
                                std::uint64_t{level.level} * L::kEntrySize;
    bytes::store<std::uint16_t>(out, entry + L::kEntryLevel, level.level);
    out[static_cast<std::size_t>(entry + L::kEntryState)] = 2;
    bytes::store<std::uint64_t>(out, entry + L::kEntryValue, 1);
    const std::size_t length = std::min<std::size_t>(level.name.size(), L::kEntryNameWidth - 1);
    std::memcpy(out.data() + entry + L::kEntryName, level.name.data(), length);
  }
  for (std::size_t i = 0; i < kFurtherMaps; ++i) {
    bytes::store<std::uint64_t>(out, L::kFirstMap + mapSize + i * kEmptyMapSize, kEmptyMapSize);
  }
  if (!master_->publishDataMaps(serial, size)) return false;
  section_ = std::move(*next);
  serial_ = serial;
  highestLevel_ = highestLevel;
  return true;
}

std::optional<std::uint64_t> DataMapsSection::levelEntryOffset(std::uint16_t level) const {
  if (level > highestLevel_ || section_.bytes().empty()) return std::nullopt;
  return L::kFirstMap + L::kMapEntriesBase + kEntryArrayOffset +
         std::uint64_t{level} * L::kEntrySize;
}

}  // namespace vornix::host
