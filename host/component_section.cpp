#include "host/component_section.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "runtime/component_memory.h"
#include "util/bytes.h"
#include "util/format.h"
#include "util/object_names.h"

namespace vornix::host {

namespace {

constexpr std::uint32_t kSectionTimeoutMs = 5000;
constexpr const char* kLabel = "vornix::host::ComponentSection";
using L = ComponentMemory::Layout;
using Type = ComponentMemory::ParameterType;

std::uint64_t roundUp8(std::uint64_t n) {
  return (n + 7U) & ~std::uint64_t{7};
}

void append(std::vector<std::uint8_t>& out, const void* data, std::size_t length) {
  const std::size_t at = out.size();
  out.resize(at + length);
  if (length > 0) std::memcpy(out.data() + at, data, length);
}

template <class T>
void appendValue(std::vector<std::uint8_t>& out, T value) {
  std::uint8_t raw[sizeof(T)];
  bytes::storeAt(raw, value);
  append(out, raw, sizeof(T));
}

void appendText(std::vector<std::uint8_t>& out, const std::string& text) {
  append(out, text.c_str(), text.size() + 1);
}

void appendListHead(std::vector<std::uint8_t>& out, std::uint32_t current) {
  appendValue<std::uint32_t>(out, current);
  appendValue<std::uint64_t>(out, 0);  // value bytes 4 to 11: the host's, unused
}

Type typeOf(const ParameterValue& value) {
  return std::visit(
      [](const auto& v) {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, std::string>) return Type::kText;
        if constexpr (std::is_same_v<V, std::int64_t>) return Type::kInteger;
        if constexpr (std::is_same_v<V, double>) return Type::kReal;
        if constexpr (std::is_same_v<V, TextList>) return Type::kTextList;
        if constexpr (std::is_same_v<V, IntegerList>) return Type::kIntegerList;
        if constexpr (std::is_same_v<V, RealList>) return Type::kRealList;
      },
      value);
}

}  // namespace

std::vector<std::uint8_t> ComponentSection::encodeParameter(const ParameterSpec& parameter) {
  std::vector<std::uint8_t> out(L::kRecordHead, 0);
  out[4] = static_cast<std::uint8_t>(typeOf(parameter.value));
  appendText(out, parameter.name);
  std::visit(
      [&out](const auto& v) {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, std::string>) {
          appendText(out, v);
        } else if constexpr (std::is_same_v<V, std::int64_t> || std::is_same_v<V, double>) {
          appendValue(out, v);
        } else if constexpr (std::is_same_v<V, TextList>) {
          appendListHead(out, v.current);
          for (const std::string& item : v.items) appendText(out, item);
        } else {
          appendListHead(out, v.current);
          for (auto item : v.items) appendValue(out, item);
        }
      },
      parameter.value);
  bytes::storeAt<std::uint32_t>(out.data(), static_cast<std::uint32_t>(out.size()));
  return out;
}

std::unique_ptr<ComponentSection> ComponentSection::create(
    MasterSection& master, std::span<const ComponentSpec> components, std::uint32_t highestId) {
  std::optional<OwnedMutex> mutex =
      OwnedMutex::create(familyMutexName(SectionFamily::component, master.instanceId()));
  if (!mutex) return nullptr;
  auto section = std::make_unique<ComponentSection>(Key{}, master, std::move(*mutex));
  if (!section->replace(components, highestId)) return nullptr;
  return section;
}

ComponentSection::ComponentSection(Key, MasterSection& master, OwnedMutex mutex)
    : master_(&master), mutex_(std::move(mutex)) {}

std::optional<OwnedSection> ComponentSection::layOut(std::span<const ComponentSpec> components,
                                                     std::uint32_t highestId,
                                                     std::uint32_t serial) const {
  std::vector<std::vector<std::uint8_t>> areas;
  const std::uint64_t tableEnd = L::kOffsetTable + (std::uint64_t{highestId} + 1) * 8;
  std::uint64_t size = roundUp8(tableEnd);
  for (const ComponentSpec& component : components) {
    if (component.id > highestId) return std::nullopt;
    std::vector<std::uint8_t> area;
    for (const ParameterSpec& parameter : component.parameters) {
      const std::vector<std::uint8_t> record = encodeParameter(parameter);
      area.insert(area.end(), record.begin(), record.end());
    }
    size += roundUp8(L::kParameters + area.size());
    areas.push_back(std::move(area));
  }
  std::optional<OwnedSection> section = OwnedSection::create(
      familySectionName(SectionFamily::component, master_->instanceId(), serial), size);
  if (!section) return std::nullopt;
  const std::span<std::uint8_t> out = section->bytes();
  bytes::store<std::uint32_t>(out, 8, ComponentMemory::kFormatMark);
  bytes::store<std::uint32_t>(out, L::kCount, highestId);
  std::uint64_t entry = roundUp8(tableEnd);
  for (std::size_t i = 0; i < components.size(); ++i) {
    const ComponentSpec& component = components[i];
    bytes::store<std::uint64_t>(out, L::kOffsetTable + std::uint64_t{component.id} * 8,
                                entry - std::uint64_t{highestId} * 8);
    const std::span<std::uint8_t> fields = out.subspan(static_cast<std::size_t>(entry));
    const std::size_t nameLength = std::min<std::size_t>(component.name.size(), L::kNameWidth - 1);
    std::memcpy(fields.data() + L::kName, component.name.data(), nameLength);
    bytes::store<std::uint32_t>(fields, L::kParameterBytes,
                                static_cast<std::uint32_t>(areas[i].size()));
    std::copy(areas[i].begin(), areas[i].end(), fields.begin() + L::kParameters);
    entry += roundUp8(L::kParameters + areas[i].size());
  }
  return section;
}

bool ComponentSection::install(OwnedSection next, std::uint32_t serial) {
  if (!master_->publishComponent(serial, next.bytes().size())) return false;
  section_ = std::move(next);
  serial_ = serial;
  return true;
}

bool ComponentSection::replace(std::span<const ComponentSpec> components, std::uint32_t highestId) {
  MutexHold hold(mutex_.get(), kSectionTimeoutMs, kLabel);
  if (!hold) return false;
  std::optional<OwnedSection> next = layOut(components, highestId, serial_ + 1);
  return next && install(std::move(*next), serial_ + 1);
}

bool ComponentSection::grow(std::uint64_t extraBytes) {
  MutexHold hold(mutex_.get(), kSectionTimeoutMs, kLabel);
  if (!hold || section_.bytes().empty()) return false;
  const std::span<const std::uint8_t> old = section_.bytes();
  std::optional<OwnedSection> next = OwnedSection::create(
      familySectionName(SectionFamily::component, master_->instanceId(), serial_ + 1),
      old.size() + extraBytes);
  if (!next) return false;
  std::copy(old.begin() + 8, old.end(), next->bytes().begin() + 8);
  return install(std::move(*next), serial_ + 1);
}

std::optional<std::uint64_t> ComponentSection::entryOffset(std::uint32_t id) const {
  const std::span<const std::uint8_t> section = section_.bytes();
  std::uint32_t count = 0;
  std::uint64_t offset = 0;
  if (!bytes::load(section, L::kCount, count) || id > count ||
      !bytes::load(section, L::kOffsetTable + std::uint64_t{id} * 8, offset) || offset == 0) {
    return std::nullopt;
  }
  const std::uint64_t start = std::uint64_t{count} * 8 + offset;
  if (!bytes::inRange(section.size(), start, L::kParameters)) return std::nullopt;
  return start;
}

std::optional<ComponentStats> ComponentSection::stats(std::uint32_t id) {
  MutexHold hold(mutex_.get(), kSectionTimeoutMs, kLabel);
  if (!hold) return std::nullopt;
  const std::optional<std::uint64_t> entry = entryOffset(id);
  if (!entry) return std::nullopt;
  const std::span<const std::uint8_t> e =
      section_.bytes().subspan(static_cast<std::size_t>(*entry));
  auto u64 = [&e](std::uint64_t offset) { return bytes::loadOr<std::uint64_t>(e, offset, 0); };
  ComponentStats s;
  s.status = e[L::kStatus];
  s.lastUpdate = u64(L::kLastUpdate);
  s.received = u64(L::kReceived);
  s.receivedBytes = u64(L::kReceivedBytes);
  s.posted = u64(L::kPosted);
  s.postedBytes = u64(L::kPostedBytes);
  s.firstStatus2 = u64(L::kFirstStatus2);
  s.lastStatus2 = u64(L::kLastStatus2);
  s.wakeUps = u64(L::kWakeUps);
  s.seconds = u64(L::kSeconds);
  s.processorTime = u64(L::kProcessorTime);
  s.undelivered = u64(L::kUndelivered);
  return s;
}

bool ComponentSection::addUndelivered(std::uint32_t id, std::uint64_t count) {
  MutexHold hold(mutex_.get(), kSectionTimeoutMs, kLabel);
  if (!hold) return false;
  const std::optional<std::uint64_t> entry = entryOffset(id);
  if (!entry) return false;
  const std::span<std::uint8_t> e = section_.bytes().subspan(static_cast<std::size_t>(*entry));
  return bytes::store<std::uint64_t>(e, L::kUndelivered,
                                     bytes::loadOr<std::uint64_t>(e, L::kUndelivered, 0) + count);
}

std::vector<std::uint8_t> ComponentSection::historySlot(std::uint32_t id, bool posted,
                                                        std::uint32_t slot) {
  MutexHold hold(mutex_.get(), kSectionTimeoutMs, kLabel);
  if (!hold || slot >= ComponentMemory::kHistorySlots) return {};
  const std::optional<std::uint64_t> entry = entryOffset(id);
  if (!entry) return {};
  const std::uint64_t start = *entry + (posted ? L::kPostedHistory : L::kReceivedHistory) +
                              std::uint64_t{slot} * ComponentMemory::kHistorySlotBytes;
  const auto first = section_.bytes().begin() + static_cast<std::ptrdiff_t>(start);
  return std::vector<std::uint8_t>(first, first + ComponentMemory::kHistorySlotBytes);
}

}  // namespace vornix::host
