#include "runtime/data_maps_memory.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "util/bytes.h"
#include "util/format.h"
#include "util/log.h"
#include "util/object_names.h"

namespace vornix {

namespace {
constexpr std::uint32_t kSectionTimeoutMs = 5000;
constexpr std::uint8_t kCategorySections = 3;
using L = DataMapsMemory::Layout;
}  // namespace

DataMapsMemory::DataMapsMemory(MasterMemory& master, Mutex* mutex)
    : master_(&master), mutex_(mutex), instanceId_(master.instanceId()) {}

DataMapsMemory::~DataMapsMemory() = default;

bool DataMapsMemory::getTypeLevelName(std::uint16_t level, std::span<char> buffer) {
  if (!buffer.empty()) buffer[0] = '\0';
  if (mutex_ == nullptr) return false;
  MutexHold hold(*mutex_, kSectionTimeoutMs, "vornix::DataMapsMemory::getTypeLevelName");
  if (!hold) return false;
  if ((!view_ || master_->getDataMapsShmemSerial() != serial_) && !openLocked()) return false;

  return typeLevelName(view_.bytes(), level, buffer);
}

bool DataMapsMemory::typeLevelName(std::span<const std::uint8_t> section, std::uint16_t level,
                                   std::span<char> buffer) {
  if (!buffer.empty()) buffer[0] = '\0';
  // The type-level map is the first one.
  const std::uint64_t mapSize = bytes::loadOr<std::uint64_t>(section, L::kFirstMap, 0);
  if (!bytes::inRange(section.size(), L::kFirstMap, mapSize)) return false;
  const std::span<const std::uint8_t> map =
      section.subspan(static_cast<std::size_t>(L::kFirstMap), static_cast<std::size_t>(mapSize));
  const std::uint64_t entry = L::kMapEntriesBase +
                              bytes::loadOr<std::uint32_t>(map, L::kMapEntryArray, 0) +
                              static_cast<std::uint64_t>(level) * L::kEntrySize;
  if (!bytes::inRange(map.size(), entry, L::kEntrySize)) return false;
  const std::span<const std::uint8_t> fields =
      map.subspan(static_cast<std::size_t>(entry), L::kEntrySize);
  if (bytes::loadAt<std::uint16_t>(fields.data() + L::kEntryLevel) != level ||
      bytes::loadAt<std::uint64_t>(fields.data() + L::kEntryValue) == 0 ||
      fields[L::kEntryState] <= 1) {
    return false;
  }
  const std::span<const std::uint8_t> name = fields.subspan(L::kEntryName, L::kEntryNameWidth);
  const std::size_t nameLength =
      static_cast<std::size_t>(std::find(name.begin(), name.end(), 0) - name.begin());
  if (buffer.empty()) return false;
  const std::size_t copied = std::min(nameLength, buffer.size() - 1);
  std::memcpy(buffer.data(), name.data(), copied);
  buffer[copied] = '\0';
  return copied > 0;
}

LevelNameLookup DataMapsMemory::levelNameLookup() {
  return [this](std::uint16_t level, std::string& name) {
    std::array<char, 257> buffer{};
    const bool found = getTypeLevelName(level, std::span<char>(buffer).first(256));
    name = found ? std::string(buffer.data()) : std::string();
    return found;
  };
}

bool DataMapsMemory::open() {
  if (mutex_ == nullptr) {
    instanceId_ = master_->instanceId();
    ownedMutex_ = std::make_unique<Mutex>(familyMutexName(SectionFamily::dataMaps, instanceId_));
    mutex_ = ownedMutex_.get();
  }
  MutexHold hold(*mutex_, kSectionTimeoutMs, "vornix::DataMapsMemory::open");
  if (!hold) return false;
  return openLocked();
}

bool DataMapsMemory::openLocked() {
  // The serial is kept before the open is tried (see open()).
  serial_ = master_->getDataMapsShmemSerial();
  instanceId_ = master_->instanceId();
  if (view_) {
    logLine(0, kCategorySections, 0,
            " --------- Reopening DataMapsMemory section serial %u --------",
            static_cast<unsigned>(serial_));
  }
  MappedSection next = MappedSection::open(
      familySectionName(SectionFamily::dataMaps, instanceId_, serial_), kFormatMark);
  if (!next) return false;

  // Locate the five maps; each must lie wholly inside the view, the
  // type-level map with room for its header.
  const std::span<const std::uint8_t> section = next.bytes();
  std::uint64_t position = L::kFirstMap;
  for (std::size_t i = 0; i < kMaps; ++i) {
    std::uint64_t mapSize = 0;
    if (!bytes::load(section, position, mapSize) || mapSize < sizeof(std::uint64_t) ||
        !bytes::inRange(section.size(), position, mapSize)) {
      return false;
    }
    if (i == 0 && mapSize < L::kMapEntriesBase) return false;
    position += mapSize & 0xFFFFFFFFU;
  }
  view_ = std::move(next);
  return true;
}

}  // namespace vornix
