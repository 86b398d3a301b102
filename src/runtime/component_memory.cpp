#include "runtime/component_memory.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "runtime/data_message.h"
#include "util/bytes.h"
#include "util/clock.h"
#include "util/format.h"
#include "util/object_names.h"
#include "util/text.h"

namespace vornix {

namespace {

constexpr std::uint32_t kSectionTimeoutMs = 5000;
using L = ComponentMemory::Layout;
using Type = ComponentMemory::ParameterType;

std::string_view textAt(std::span<const std::uint8_t> bytes, std::size_t offset,
                        std::size_t length) noexcept {
  return {reinterpret_cast<const char*>(bytes.data() + offset), length};
}

// The NUL-terminated text at `offset`, which must end inside `bytes`.
std::optional<std::string_view> boundedText(std::span<const std::uint8_t> bytes,
                                            std::uint64_t offset) noexcept {
  std::size_t length = 0;
  if (!bytes::boundedTextLength(bytes, offset, bytes.size(), length)) return std::nullopt;
  return textAt(bytes, static_cast<std::size_t>(offset), length);
}

// Offset of the current item of a list whose items are `width` bytes wide.
std::optional<std::uint64_t> listItem(std::span<const std::uint8_t> value,
                                      std::uint64_t width) noexcept {
  std::uint32_t index = 0;
  if (!bytes::load(value, 0, index)) return std::nullopt;
  const std::uint64_t offset = L::kListItems + static_cast<std::uint64_t>(index) * width;
  if (!bytes::inRange(value.size(), offset, width)) return std::nullopt;
  return offset;
}

// One parameter record as found by the walk: its type and the value bytes up
// to the end of the record.
struct Parameter {
  std::uint8_t type;
  std::span<const std::uint8_t> value;

  std::optional<std::int64_t> integer() const noexcept {
    std::optional<std::uint64_t> at = 0;
    if (type == static_cast<std::uint8_t>(Type::kIntegerList)) {
      at = listItem(value, sizeof(std::int64_t));
    } else if (type != static_cast<std::uint8_t>(Type::kInteger)) {
      return std::nullopt;
    }
    std::int64_t result = 0;
    if (!at || !bytes::load(value, *at, result)) return std::nullopt;
    return result;
  }

  std::optional<double> real() const noexcept {
    std::optional<std::uint64_t> at = 0;
    if (type == static_cast<std::uint8_t>(Type::kRealList)) {
      at = listItem(value, sizeof(double));
    } else if (type != static_cast<std::uint8_t>(Type::kReal)) {
      return std::nullopt;
    }
    double result = 0.0;
    if (!at || !bytes::load(value, *at, result)) return std::nullopt;
    return result;
  }

  std::optional<std::string_view> text() const noexcept {
    if (type == static_cast<std::uint8_t>(Type::kText)) return boundedText(value, 0);
    if (type != static_cast<std::uint8_t>(Type::kTextList)) return std::nullopt;
    std::uint32_t index = 0;
    if (!bytes::load(value, 0, index)) return std::nullopt;
    std::uint64_t position = L::kListItems;
    // Every skipped item uses at least one byte, so a huge index ends at the
    // end of the record.
    for (std::uint32_t item = 0; item < index; ++item) {
      std::optional<std::string_view> skipped = boundedText(value, position);
      if (!skipped) return std::nullopt;
      position += skipped->size() + 1;
    }
    return boundedText(value, position);
  }
};

// The first record named `name` (ASCII case ignored) in the parameter area.
// The walk stops at a record smaller than its head or running past the area;
// a record matches only when its name ends inside it, exactly where `name`
// ends, so no record is scanned for its terminator.
std::optional<Parameter> findParameter(std::span<const std::uint8_t> area,
                                       std::string_view name) noexcept {
  name = name.substr(0, std::min(name.size(), name.find('\0')));  // a C text ends at NUL
  const std::size_t terminator = L::kRecordHead + name.size();
  std::size_t position = 0;
  while (area.size() - position >= L::kRecordHead) {
    const std::uint32_t size = bytes::loadAt<std::uint32_t>(area.data() + position);
    if (size < L::kRecordHead || size > area.size() - position) break;
    const std::span<const std::uint8_t> record = area.subspan(position, size);
    if (terminator < size && record[terminator] == 0 &&
        equalsNoCase(textAt(record, L::kRecordHead, name.size()), name)) {
      return Parameter{record[4], record.subspan(terminator + 1)};
    }
    position += size;
  }
  return std::nullopt;
}

// The parameter area of an entry, or empty when its used count runs past the
// entry.
std::span<const std::uint8_t> parameterArea(std::span<const std::uint8_t> entry) noexcept {
  const std::uint32_t used = bytes::loadOr<std::uint32_t>(entry, L::kParameterBytes, 0);
  if (!bytes::inRange(entry.size(), L::kParameters, used)) return {};
  return entry.subspan(L::kParameters, used);
}

void addTo(std::span<std::uint8_t> entry, std::uint64_t offset, std::uint64_t amount) noexcept {
  bytes::store<std::uint64_t>(entry, offset,
                              bytes::loadOr<std::uint64_t>(entry, offset, 0) + amount);
}

// Counts one message and pushes it into a 10-slot history, newest first.
void recordMessage(std::span<std::uint8_t> entry, std::uint64_t countOffset,
                   std::uint64_t bytesOffset, std::uint64_t historyOffset,
                   const DataMessage& message) {
  static constexpr std::size_t kSlot = ComponentMemory::kHistorySlotBytes;
  addTo(entry, countOffset, 1);
  addTo(entry, bytesOffset, message.isValid() ? message.size() : 0);
  std::uint8_t* history = entry.data() + historyOffset;
  // Each slot moves down by the bytes of its record (its size word), not by
  // the whole slot: a frame's record fills half a slot, an event's a tenth,
  // and the move ran at every wait and post. A slot whose word is not the
  // size of a record that fits (an empty slot, damage) moves whole, so what
  // a reader finds by the size word is always the record that was there.
  for (std::size_t slot = ComponentMemory::kHistorySlots - 1; slot > 0; --slot) {
    const std::uint8_t* from = history + (slot - 1) * kSlot;
    const std::uint32_t size = bytes::loadAt<std::uint32_t>(from);
    const std::size_t used = size >= record::kHeaderSize && size <= kSlot ? size : kSlot;
    std::memcpy(history + slot * kSlot, from, used);
  }
  auto store = [history](std::span<const std::uint8_t> record) {
    std::memcpy(history, record.data(), std::min(record.size(), kSlot));
  };
  if (message.size() < kSlot) {
    store(message.bytes());
  } else {
    const DataMessage limited(message, static_cast<std::uint32_t>(kSlot));
    store(limited.bytes());
  }
}

}  // namespace

// The common prologue: takes the section mutex, reopens when the master
// section shows a new serial, and finds the entry of the id. The mutex is
// left when the operation ends, on every path.
class ComponentMemory::Operation {
 public:
  Operation(ComponentMemory& memory, std::uint32_t id, const char* label) {
    if (memory.mutex_ == nullptr || !memory.mutex_->enter(kSectionTimeoutMs, label)) return;
    mutex_ = memory.mutex_;
    if ((!memory.view_ || memory.master_->getComponentShmemSerial() != memory.serial_) &&
        !memory.openLocked()) {
      return;
    }
    entry_ = memory.entry(id);
  }
  ~Operation() {
    if (mutex_ != nullptr) mutex_->leave();
  }
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  explicit operator bool() const noexcept { return !entry_.empty(); }
  std::span<std::uint8_t> entry() const noexcept { return entry_; }
  std::optional<Parameter> find(std::string_view name) const noexcept {
    if (entry_.empty()) return std::nullopt;
    return findParameter(parameterArea(entry_), name);
  }

 private:
  Mutex* mutex_ = nullptr;
  std::span<std::uint8_t> entry_;
};

ComponentMemory::ComponentMemory(MasterMemory& master, Mutex* mutex)
    : master_(&master), mutex_(mutex), instanceId_(master.instanceId()) {}

ComponentMemory::~ComponentMemory() = default;

std::span<std::uint8_t> ComponentMemory::entry(std::uint32_t id) const noexcept {
  const std::span<std::uint8_t> section = view_.bytes();
  std::uint32_t count = 0;
  if (!bytes::load(std::span<const std::uint8_t>(section), L::kCount, count) || id > count) {
    return {};
  }
  std::uint64_t offset = 0;
  const std::uint64_t slot = L::kOffsetTable + static_cast<std::uint64_t>(id) * 8;
  if (!bytes::load(std::span<const std::uint8_t>(section), slot, offset) || offset == 0) return {};
  const std::uint64_t tableBytes = static_cast<std::uint64_t>(count) * 8;
  if (tableBytes > section.size() || offset > section.size() - tableBytes) return {};
  const std::uint64_t start = tableBytes + offset;
  if (!bytes::inRange(section.size(), start, L::kParameters)) return {};
  return section.subspan(static_cast<std::size_t>(start));
}

bool ComponentMemory::getParameter(std::uint32_t id, std::string_view name, double& value) {
  Operation op(*this, id, "vornix::ComponentMemory::getParameter");
  const std::optional<Parameter> parameter = op.find(name);
  if (!parameter) return false;
  const std::optional<double> real = parameter->real();
  if (!real) return false;
  value = *real;
  return true;
}

bool ComponentMemory::getParameter(std::uint32_t id, std::string_view name, std::int64_t& value) {
  Operation op(*this, id, "vornix::ComponentMemory::getParameter");
  const std::optional<Parameter> parameter = op.find(name);
  if (!parameter) return false;
  const std::optional<std::int64_t> integer = parameter->integer();
  if (!integer) return false;
  value = *integer;
  return true;
}

double ComponentMemory::getParameterReal(std::uint32_t id, std::string_view name) {
  double value = 0.0;
  return getParameter(id, name, value) ? value : 0.0;
}

std::int64_t ComponentMemory::getParameterInt(std::uint32_t id, std::string_view name) {
  std::int64_t value = 0;
  return getParameter(id, name, value) ? value : 0;
}

bool ComponentMemory::getParameterAsBool(std::uint32_t id, std::string_view name) {
  Operation op(*this, id, "vornix::ComponentMemory::getParameterAsBool");
  const std::optional<Parameter> parameter = op.find(name);
  if (!parameter) return false;
  switch (static_cast<Type>(parameter->type)) {
    case Type::kText:
    case Type::kTextList: {
      const std::optional<std::string_view> text = parameter->text();
      return text && equalsNoCase(*text, "yes");
    }
    case Type::kInteger:
    case Type::kIntegerList: {
      const std::optional<std::int64_t> integer = parameter->integer();
      return integer && *integer != 0;
    }
    case Type::kReal:
    case Type::kRealList: {
      const std::optional<double> real = parameter->real();
      return real && *real != 0.0;
    }
  }
  return false;
}

std::string ComponentMemory::getParameterString(std::uint32_t id, std::string_view name) {
  Operation op(*this, id, "vornix::ComponentMemory::getParameterString");
  const std::optional<Parameter> parameter = op.find(name);
  if (!parameter) return {};
  const std::optional<std::string_view> text = parameter->text();
  return text ? std::string(*text) : std::string();
}

bool ComponentMemory::hasParameter(std::uint32_t id, std::string_view name) {
  Operation op(*this, id, "vornix::ComponentMemory::hasParameter");
  return op.find(name).has_value();
}

bool ComponentMemory::getComponentName(std::uint32_t id, std::span<char> buffer) {
  Operation op(*this, id, "vornix::ComponentMemory::getComponentName");
  if (!op) return false;
  if (buffer.empty()) return true;
  const std::span<const std::uint8_t> field = op.entry().subspan(L::kName, L::kNameWidth);
  const std::size_t length =
      std::min(static_cast<std::size_t>(std::find(field.begin(), field.end(), 0) - field.begin()),
               buffer.size() - 1);
  std::memcpy(buffer.data(), field.data(), length);
  buffer[length] = '\0';
  return true;
}

std::string ComponentMemory::getComponentNameString(std::uint32_t id) {
  Operation op(*this, id, "vornix::ComponentMemory::getComponentNameString");
  if (!op) return {};
  const std::span<const std::uint8_t> field = op.entry().subspan(L::kName, L::kNameWidth);
  const auto end = std::find(field.begin(), field.end(), 0);
  return std::string(field.begin(), end);
}

bool ComponentMemory::addComponentStats(std::uint32_t id, std::uint8_t status,
                                        std::uint64_t processorTime, const DataMessage* received,
                                        const DataMessage* posted, std::uint32_t seconds,
                                        std::uint32_t wakeUps) {
  Operation op(*this, id, "vornix::ComponentMemory::addComponentStats");
  if (!op) return false;
  const std::span<std::uint8_t> entry = op.entry();
  const Micros now = currentTime();
  entry[L::kStatus] = status;
  bytes::store<std::uint64_t>(entry, L::kLastUpdate, now);
  if (status == 2) {
    bytes::store<std::uint64_t>(entry, L::kLastStatus2, now);
    if (bytes::loadOr<std::uint64_t>(entry, L::kFirstStatus2, 0) == 0) {
      bytes::store<std::uint64_t>(entry, L::kFirstStatus2, now);
    }
  }
  addTo(entry, L::kWakeUps, wakeUps);
  addTo(entry, L::kSeconds, seconds);
  addTo(entry, L::kProcessorTime, processorTime);
  if (received != nullptr) {
    recordMessage(entry, L::kReceived, L::kReceivedBytes, L::kReceivedHistory, *received);
  }
  if (posted != nullptr) {
    recordMessage(entry, L::kPosted, L::kPostedBytes, L::kPostedHistory, *posted);
  }
  return true;
}

bool ComponentMemory::open() {
  if (mutex_ == nullptr) {
    instanceId_ = master_->instanceId();
    ownedMutex_ = std::make_unique<Mutex>(familyMutexName(SectionFamily::component, instanceId_));
    mutex_ = ownedMutex_.get();
  }
  MutexHold hold(*mutex_, kSectionTimeoutMs, "vornix::ComponentMemory::open");
  if (!hold) return false;
  return openLocked();
}

bool ComponentMemory::openLocked() {
  // The serial is kept before the open is tried: a section that cannot be
  // opened is not tried again until the master section shows another one.
  serial_ = master_->getComponentShmemSerial();
  instanceId_ = master_->instanceId();
  MappedSection next = MappedSection::open(
      familySectionName(SectionFamily::component, instanceId_, serial_), kFormatMark);
  if (!next) return false;
  view_ = std::move(next);
  return true;
}

}  // namespace vornix
