// DataMessage: construction, header fields, the entry walk and the typed
// entries. Adoption and the limited copy live in data_message_adopt.cpp.
#include "runtime/data_message.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <utility>

#include "runtime/message_index.h"
#include "runtime/record_entry.h"
#include "util/bytes.h"
#include "util/text.h"

namespace vornix {

namespace {

constexpr std::uint32_t kMessageKind = static_cast<std::uint32_t>(RecordKind::kMessage);

// Below this many entries (the header's count) a walk is cheaper than an
// index; the index is built once a record reaches it.
constexpr std::uint32_t kIndexFromEntries = 8;

// True when `p` points into [begin, begin + length).
bool pointsInto(const void* p, const std::uint8_t* begin, std::size_t length) noexcept {
  if (p == nullptr || begin == nullptr) return false;
  const std::less<const void*> before;
  return !before(p, begin) && before(p, begin + length);
}

}  // namespace

// --- construction -----------------------------------------------------------

DataMessage::DataMessage() {
  record_ = static_cast<std::uint8_t*>(std::malloc(record::kHeaderSize));
  if (record_ == nullptr) throw std::bad_alloc();
  capacity_ = record::kHeaderSize;
  std::memset(record_, 0, record::kHeaderSize);
  bytes::storeAt<std::uint32_t>(record_ + record::kSize, record::kHeaderSize);
  bytes::storeAt<std::uint32_t>(record_ + record::kKind, kMessageKind);
  bytes::storeAt<std::uint16_t>(record_ + record::kVersionField, record::kVersion);
  bytes::storeAt<std::uint64_t>(record_ + record::kCreatedTime, currentTime());
}

DataMessage::DataMessage(const DataMessage& other) {
  if (other.record_ == nullptr) return;
  const std::size_t length = other.size();
  record_ = static_cast<std::uint8_t*>(std::malloc(length));
  if (record_ == nullptr) throw std::bad_alloc();
  capacity_ = length;
  std::memcpy(record_, other.record_, length);
}

DataMessage& DataMessage::operator=(const DataMessage& other) {
  if (this != &other) {
    DataMessage copy(other);
    std::swap(record_, copy.record_);
    std::swap(capacity_, copy.capacity_);
    dropIndex();
  }
  return *this;
}

DataMessage::DataMessage(DataMessage&& other) noexcept
    : record_(std::exchange(other.record_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      index_(std::move(other.index_)),
      indexRefused_(std::exchange(other.indexRefused_, false)) {}

DataMessage& DataMessage::operator=(DataMessage&& other) noexcept {
  if (this != &other) {
    std::free(record_);
    record_ = std::exchange(other.record_, nullptr);
    capacity_ = std::exchange(other.capacity_, 0);
    index_ = std::move(other.index_);
    indexRefused_ = std::exchange(other.indexRefused_, false);
  }
  return *this;
}

DataMessage::~DataMessage() {
  std::free(record_);
  record_ = nullptr;
}

// --- header -----------------------------------------------------------------

std::span<const std::uint8_t> DataMessage::bytes() const noexcept {
  if (record_ == nullptr) return {};
  return {record_, size()};
}

bool DataMessage::isValid() const noexcept {
  return record_ != nullptr &&
         bytes::loadAt<std::uint32_t>(record_ + record::kKind) == kMessageKind;
}

std::uint32_t DataMessage::size() const noexcept {
  return record_ == nullptr ? 0 : bytes::loadAt<std::uint32_t>(record_ + record::kSize);
}

namespace {

template <class T>
T readField(const DataMessage& m, std::size_t offset) noexcept {
  return m.isValid() ? bytes::loadAt<T>(m.record() + offset) : T{};
}

// Writes a header field of a record of the message kind; false otherwise.
template <class T>
bool writeField(std::uint8_t* rec, std::size_t offset, T value) noexcept {
  if (rec == nullptr || bytes::loadAt<std::uint32_t>(rec + record::kKind) != kMessageKind) {
    return false;
  }
  bytes::storeAt<T>(rec + offset, value);
  return true;
}

}  // namespace

std::uint64_t DataMessage::memoryId() const noexcept {
  return readField<std::uint64_t>(*this, record::kMemoryId);
}
bool DataMessage::setMemoryId(std::uint64_t id) noexcept {
  return writeField(record_, record::kMemoryId, id);
}
Micros DataMessage::getCreatedTime() const noexcept {
  return readField<Micros>(*this, record::kCreatedTime);
}
bool DataMessage::setCreatedTime(Micros t) noexcept {
  return writeField(record_, record::kCreatedTime, t);
}
Micros DataMessage::sentTime() const noexcept {
  return readField<Micros>(*this, record::kSentTime);
}
bool DataMessage::setSentTime(Micros t) noexcept {
  return writeField(record_, record::kSentTime, t);
}
std::uint64_t DataMessage::ttl() const noexcept {
  return readField<std::uint64_t>(*this, record::kTtl);
}
bool DataMessage::setTtl(std::uint64_t ttl) noexcept {
  return writeField(record_, record::kTtl, ttl);
}
std::uint8_t DataMessage::dropFlags() const noexcept {
  return readField<std::uint8_t>(*this, record::kDropFlags);
}
bool DataMessage::setDropFlags(std::uint8_t flags) noexcept {
  return writeField(record_, record::kDropFlags, flags);
}
std::uint32_t DataMessage::fromId() const noexcept {
  return readField<std::uint32_t>(*this, record::kFromId);
}
bool DataMessage::setFromId(std::uint32_t id) noexcept {
  return writeField(record_, record::kFromId, id);
}
std::uint32_t DataMessage::toId() const noexcept {
  return readField<std::uint32_t>(*this, record::kToId);
}
bool DataMessage::setToId(std::uint32_t id) noexcept {
  return writeField(record_, record::kToId, id);
}
std::uint32_t DataMessage::postTag() const noexcept {
  return readField<std::uint32_t>(*this, record::kPostTag);
}
bool DataMessage::setPostTag(std::uint32_t tag) noexcept {
  return writeField(record_, record::kPostTag, tag);
}

std::uint16_t DataMessage::version() const noexcept {
  return readField<std::uint16_t>(*this, record::kVersionField);
}
std::uint32_t DataMessage::userSize() const noexcept {
  return readField<std::uint32_t>(*this, record::kUserSize);
}
std::uint32_t DataMessage::userCount() const noexcept {
  return readField<std::uint32_t>(*this, record::kUserCount);
}
std::uint32_t DataMessage::stepCpuTime() const noexcept {
  return readField<std::uint32_t>(*this, record::kStepCpuTime);
}
std::uint32_t DataMessage::stepWallTime() const noexcept {
  return readField<std::uint32_t>(*this, record::kStepWallTime);
}
std::uint32_t DataMessage::chainCpuTime() const noexcept {
  return readField<std::uint32_t>(*this, record::kChainCpuTime);
}
std::uint32_t DataMessage::chainWallTime() const noexcept {
  return readField<std::uint32_t>(*this, record::kChainWallTime);
}
std::uint32_t DataMessage::chainLength() const noexcept {
  return readField<std::uint32_t>(*this, record::kChainLength);
}

MessageType DataMessage::getType() const noexcept {
  if (!isValid()) return {};
  return MessageType::fromBytes(std::span<const std::uint8_t, MessageType::kBytes>(
      record_ + record::kType, MessageType::kBytes));
}

bool DataMessage::setType(const MessageType& type) noexcept {
  if (!isValid()) return false;
  type.toBytes(
      std::span<std::uint8_t, MessageType::kBytes>(record_ + record::kType, MessageType::kBytes));
  return true;
}

MessageContext DataMessage::getContext() const noexcept {
  if (!isValid()) return {};
  return MessageType::fromBytes(std::span<const std::uint8_t, MessageType::kBytes>(
      record_ + record::kContext, MessageType::kBytes));
}

bool DataMessage::setContext(const MessageContext& context) noexcept {
  if (!isValid()) return false;
  context.toBytes(std::span<std::uint8_t, MessageType::kBytes>(record_ + record::kContext,
                                                               MessageType::kBytes));
  return true;
}

bool DataMessage::setChainInfo(std::uint32_t stepCpu, std::uint32_t stepWall,
                               std::uint32_t chainCpu, std::uint32_t chainWall,
                               std::uint32_t length) noexcept {
  if (!isValid()) return false;
  // The chain sums wrap around at 32 bits by definition of the fields.
  bytes::storeAt<std::uint32_t>(record_ + record::kStepCpuTime, stepCpu);
  bytes::storeAt<std::uint32_t>(record_ + record::kStepWallTime, stepWall);
  bytes::storeAt<std::uint32_t>(record_ + record::kChainCpuTime, stepCpu + chainCpu);
  bytes::storeAt<std::uint32_t>(record_ + record::kChainWallTime, stepWall + chainWall);
  bytes::storeAt<std::uint32_t>(record_ + record::kChainLength, length);
  return true;
}

// --- entry walk -------------------------------------------------------------

namespace {

// The record as far as it really goes: its size word, never past the block.
std::span<const std::uint8_t> recordSpan(const std::uint8_t* rec, std::size_t capacity) noexcept {
  if (rec == nullptr) return {};
  const std::size_t words = bytes::loadAt<std::uint32_t>(rec + record::kSize);
  return {rec, words < capacity ? words : capacity};
}

char foldAscii(char c) noexcept {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

bool sameName(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && equalsNoCase(a, b);
}

// First live entry named `name` (ASCII case ignored), structure checked.
bool findLive(std::span<const std::uint8_t> rec, std::string_view name,
              entry::RawEntry& found) noexcept {
  std::size_t position = record::kHeaderSize;
  entry::RawEntry e;
  const char first = foldAscii(name.empty() ? '\0' : name.front());
  while (entry::readEntry(rec, position, e)) {
    if (e.nameKind == entry::kLiveName && e.name.size() == name.size() &&
        (name.empty() || (foldAscii(e.name.front()) == first && equalsNoCase(e.name, name)))) {
      entry::readValueHead(rec, e);
      found = e;
      return true;
    }
    position = e.end();
  }
  return false;
}

}  // namespace

bool DataMessage::nextEntry(std::size_t& position, EntryView& view) const noexcept {
  if (!isValid()) return false;
  const auto rec = recordSpan(record_, capacity_);
  entry::RawEntry e;
  while (entry::readEntry(rec, position, e)) {
    position = e.end();
    if (e.nameKind != entry::kLiveName) continue;
    entry::readValueHead(rec, e);
    view.name = e.name;
    view.offset = e.offset;
    const auto kind = static_cast<RecordKind>(e.valueKind);
    if (e.valueIntact && !(entry::isEightByteKind(kind) && e.valueLength() < 8)) {
      view.kind = kind;
      view.value = rec.subspan(e.valueOffset(), e.valueLength());
    } else {
      view.kind = RecordKind{};
      view.value = {};
    }
    return true;
  }
  position = rec.size();
  return false;
}

const std::uint8_t* DataMessage::findEntry(const char* name) const noexcept {
  if (name == nullptr || !isValid()) return nullptr;
  entry::RawEntry e;
  if (!findLive(recordSpan(record_, capacity_), name, e)) return nullptr;
  return record_ + e.offset;
}

namespace {

// The intact value of kind `kind` under `name`, or an empty optional-like
// result (false).
bool findValue(std::span<const std::uint8_t> rec, const char* name, RecordKind kind,
               entry::RawEntry& e) noexcept {
  if (name == nullptr || rec.empty()) return false;
  if (!findLive(rec, name, e)) return false;
  return e.valueIntact && e.valueKind == static_cast<std::uint32_t>(kind);
}

}  // namespace

const char* DataMessage::getString(const char* name) const noexcept {
  if (!isValid()) return nullptr;
  const auto rec = recordSpan(record_, capacity_);
  entry::RawEntry e;
  if (!findValue(rec, name, RecordKind::kText, e)) return nullptr;
  std::size_t length = 0;
  if (!bytes::boundedTextLength(rec, e.valueOffset(), e.valueLength(), length)) return nullptr;
  return reinterpret_cast<const char*>(record_ + e.valueOffset());
}

std::int64_t DataMessage::getInt(const char* name, bool* found) const noexcept {
  entry::RawEntry e;
  const bool ok = isValid() &&
                  findValue(recordSpan(record_, capacity_), name, RecordKind::kInteger, e) &&
                  e.valueLength() >= 8;
  if (found != nullptr) *found = ok;
  return ok ? bytes::loadAt<std::int64_t>(record_ + e.valueOffset()) : 0;
}

double DataMessage::getDouble(const char* name, bool* found) const noexcept {
  entry::RawEntry e;
  const bool ok = isValid() &&
                  findValue(recordSpan(record_, capacity_), name, RecordKind::kFloat, e) &&
                  e.valueLength() >= 8;
  if (found != nullptr) *found = ok;
  return ok ? bytes::loadAt<double>(record_ + e.valueOffset()) : 0.0;
}

bool DataMessage::hasDouble(const char* name) const noexcept {
  bool found = false;
  getDouble(name, &found);
  return found;
}

const std::uint8_t* DataMessage::getData(const char* name, std::uint32_t& length,
                                         bool* found) const noexcept {
  entry::RawEntry e;
  const bool ok =
      isValid() && findValue(recordSpan(record_, capacity_), name, RecordKind::kData, e);
  if (found != nullptr) *found = ok;
  length = ok ? e.valueLength() : 0;
  return ok ? record_ + e.valueOffset() : nullptr;
}

// --- writes -----------------------------------------------------------------

MessageIndex* DataMessage::usableIndex() {
  if (index_ != nullptr) return index_.get();
  if (indexRefused_ ||
      bytes::loadAt<std::uint32_t>(record_ + record::kUserCount) < kIndexFromEntries) {
    return nullptr;
  }
  auto index = std::make_unique<MessageIndex>();
  if (!index->build(recordSpan(record_, capacity_))) {
    indexRefused_ = true;
    return nullptr;
  }
  index_ = std::move(index);
  return index_.get();
}

void DataMessage::dropIndex() noexcept {
  index_.reset();
  indexRefused_ = false;
}

// The same steps as the walk in setEntry, for a record the index describes
// (the walk ends at `size`, no name is live twice): the entry of the name, the
// first free slot large enough, or the end of the record.
bool DataMessage::appendAtEnd(std::uint32_t at, std::uint32_t needed, std::string_view name,
                              std::uint32_t kindWord, const void* value, std::uint32_t length,
                              std::optional<std::size_t> givenUp) {
  // Nothing appended: the entry given up for this write becomes live again,
  // so that the old value stays readable.
  const auto undoGiveUp = [&] {
    if (givenUp) bytes::storeAt<std::uint32_t>(record_ + *givenUp + 4, entry::kLiveName);
  };
  const std::uint64_t newSize = std::uint64_t{at} + needed;
  if (newSize > entry::kMaxRecord) {
    undoGiveUp();
    return false;
  }
  if (newSize > capacity_) {
    std::uint64_t grown = std::uint64_t{capacity_} * 2u;
    if (grown < newSize) grown = newSize;
    if (grown > entry::kMaxRecord) grown = entry::kMaxRecord;
    auto* block =
        static_cast<std::uint8_t*>(std::realloc(record_, static_cast<std::size_t>(grown)));
    if (block == nullptr) {
      undoGiveUp();
      throw std::bad_alloc();
    }
    record_ = block;
    capacity_ = static_cast<std::size_t>(grown);
  }
  entry::writeEntry(record_ + at, needed, name, kindWord, value, length);
  bytes::storeAt<std::uint32_t>(record_ + record::kSize, static_cast<std::uint32_t>(newSize));
  return true;
}

std::optional<bool> DataMessage::setEntryIndexed(MessageIndex& index, std::string_view name,
                                                 const void* value, std::uint32_t length,
                                                 std::uint32_t kindWord, std::uint32_t needed) {
  const auto rec = recordSpan(record_, capacity_);
  auto userCount = bytes::loadAt<std::uint32_t>(record_ + record::kUserCount);
  auto userSize = bytes::loadAt<std::uint32_t>(record_ + record::kUserSize);

  entry::RawEntry existing;
  bool gaveUp = false;
  if (const auto at = index.find(name)) {
    if (!entry::readEntry(rec, *at, existing) || existing.nameKind != entry::kLiveName ||
        !sameName(existing.name, name)) {
      return std::nullopt;
    }
    entry::readValueHead(rec, existing);
    // 1. Overwrite in place; the index does not change.
    if (existing.valueIntact && std::uint64_t{existing.valueSize} >= std::uint64_t{length} + 8u) {
      std::uint8_t* head = record_ + existing.valueHead;
      bytes::storeAt<std::uint32_t>(head, length + 8u);
      bytes::storeAt<std::uint32_t>(head + 4, kindWord);
      if (length != 0) std::memmove(head + 8, value, length);
      return true;
    }
    // 2. Give the slot up; it becomes a free slot in its place.
    bytes::storeAt<std::uint32_t>(record_ + existing.offset + 4, entry::kFreeName);
    userCount = entry::subCapped(userCount, 1);
    userSize = entry::subCapped(userSize, existing.entrySize);
    gaveUp = true;
  }

  // 3. The first free slot large enough, in record order, the one just given
  //    up included.
  std::optional<std::size_t> slot = index.firstFreeSlot(needed);
  if (gaveUp && existing.entrySize >= needed && (!slot || existing.offset < *slot)) {
    slot = existing.offset;
  }
  std::size_t writtenAt = 0;
  if (slot) {
    const auto slotSize = bytes::loadAt<std::uint32_t>(record_ + *slot);
    entry::writeEntry(record_ + *slot, slotSize, name, kindWord, value, length);
    writtenAt = *slot;
  } else {
    // 4. Append at the end of the record, which is where the walk ends.
    const auto oldSize = static_cast<std::uint32_t>(rec.size());
    const std::optional<std::size_t> givenUp =
        gaveUp ? std::optional<std::size_t>(existing.offset) : std::nullopt;
    if (!appendAtEnd(oldSize, needed, name, kindWord, value, length, givenUp)) return false;
    writtenAt = oldSize;
  }

  // 5. Counters.
  bytes::storeAt<std::uint32_t>(record_ + record::kUserCount, entry::addCapped(userCount, 1));
  bytes::storeAt<std::uint32_t>(record_ + record::kUserSize, entry::addCapped(userSize, needed));

  // 6. The record is written; bring the index up to date. Should that run out
  //    of memory, the write still stands and the index is dropped instead.
  try {
    if (gaveUp) {
      index.removeLive(name);
      index.addFree(existing.offset, existing.entrySize);
    }
    if (slot) index.removeFree(*slot);
    index.addLive(name, writtenAt);
  } catch (const std::bad_alloc&) {
    dropIndex();
  }
  return true;
}

bool DataMessage::setEntry(const char* name, const void* bytesIn, std::uint32_t length,
                           RecordKind kind) {
  if (name == nullptr || !isValid()) return false;
  if (bytesIn == nullptr && length != 0) return false;

  // A name or value taken from this very record would move or be overwritten
  // by the write: keep a copy of it first.
  std::string nameCopy;
  std::string valueCopy;
  std::string_view nameView(name);
  if (pointsInto(name, record_, capacity_)) {
    nameCopy.assign(nameView);
    nameView = nameCopy;
  }
  if (length != 0 && pointsInto(bytesIn, record_, capacity_)) {
    valueCopy.assign(static_cast<const char*>(bytesIn), length);
    bytesIn = valueCopy.data();
  }

  const std::uint64_t needed64 = std::uint64_t{nameView.size()} + length + 17u;
  if (needed64 > entry::kMaxRecord) return false;
  const auto needed = static_cast<std::uint32_t>(needed64);
  const auto kindWord = static_cast<std::uint32_t>(kind);

  if (MessageIndex* index = usableIndex()) {
    if (const auto done = setEntryIndexed(*index, nameView, bytesIn, length, kindWord, needed)) {
      return *done;
    }
    // The index disagrees with the record: forget it and let the walk write.
    dropIndex();
    indexRefused_ = true;
  }

  auto rec = recordSpan(record_, capacity_);
  auto userCount = bytes::loadAt<std::uint32_t>(record_ + record::kUserCount);
  auto userSize = bytes::loadAt<std::uint32_t>(record_ + record::kUserSize);

  entry::RawEntry existing;
  bool gaveUp = false;
  if (findLive(rec, nameView, existing)) {
    // 1. Overwrite in place when the old value's room is large enough. A
    //    damaged value head gives no room at all.
    if (existing.valueIntact && std::uint64_t{existing.valueSize} >= std::uint64_t{length} + 8u) {
      std::uint8_t* head = record_ + existing.valueHead;
      bytes::storeAt<std::uint32_t>(head, length + 8u);
      bytes::storeAt<std::uint32_t>(head + 4, kindWord);
      if (length != 0) std::memmove(head + 8, bytesIn, length);
      return true;
    }
    // 2. Too small: give the slot up.
    bytes::storeAt<std::uint32_t>(record_ + existing.offset + 4, entry::kFreeName);
    userCount = entry::subCapped(userCount, 1);
    userSize = entry::subCapped(userSize, existing.entrySize);
    gaveUp = true;
  }

  // 3. The first free slot large enough, in record order. After a give-up
  //    the walk also looks for a second live entry of the same name, which
  //    only a record from elsewhere can hold.
  std::size_t position = record::kHeaderSize;
  entry::RawEntry e;
  bool reused = false;
  std::size_t writtenAt = 0;
  bool duplicates = false;
  while (entry::readEntry(rec, position, e)) {
    if (!reused && e.nameKind == entry::kFreeName && e.entrySize >= needed) {
      entry::writeEntry(record_ + e.offset, e.entrySize, nameView, kindWord, bytesIn, length);
      reused = true;
      writtenAt = e.offset;
      if (!gaveUp) break;
    } else if (gaveUp && e.nameKind == entry::kLiveName && sameName(e.name, nameView)) {
      duplicates = true;
    }
    position = e.end();
  }

  // 4. Otherwise append where the walk ended, growing the block
  //    geometrically; the size word stays exact. In a sound record that is
  //    the end of the record. Bytes after a damaged entry are reached by no
  //    reader, and an entry appended behind them would not be either: they
  //    are cut off, so that what is written can be read back.
  if (!reused) {
    const auto oldSize = static_cast<std::uint32_t>(position);
    const std::optional<std::size_t> givenUp =
        gaveUp ? std::optional<std::size_t>(existing.offset) : std::nullopt;
    if (!appendAtEnd(oldSize, needed, nameView, kindWord, bytesIn, length, givenUp)) return false;
    writtenAt = oldSize;
  }

  // 5b. Any other live entry of the name would be found before or instead of
  //     the one just written: give it up too, so that the write reads back.
  if (duplicates) {
    const auto all = recordSpan(record_, capacity_);
    position = record::kHeaderSize;
    while (entry::readEntry(all, position, e)) {
      if (e.offset != writtenAt && e.nameKind == entry::kLiveName && sameName(e.name, nameView)) {
        bytes::storeAt<std::uint32_t>(record_ + e.offset + 4, entry::kFreeName);
        userCount = entry::subCapped(userCount, 1);
        userSize = entry::subCapped(userSize, e.entrySize);
      }
      position = e.end();
    }
  }

  // 6. Counters.
  bytes::storeAt<std::uint32_t>(record_ + record::kUserCount, entry::addCapped(userCount, 1));
  bytes::storeAt<std::uint32_t>(record_ + record::kUserSize, entry::addCapped(userSize, needed));
  return true;
}

bool DataMessage::setString(const char* name, const char* text) {
  if (name == nullptr || text == nullptr) return false;
  const std::size_t length = std::strlen(text) + 1;
  if (length > entry::kMaxRecord) return false;
  return setEntry(name, text, static_cast<std::uint32_t>(length), RecordKind::kText);
}

bool DataMessage::setInt(const char* name, std::int64_t value) {
  std::uint8_t raw[8];
  bytes::storeAt<std::int64_t>(raw, value);
  return setEntry(name, raw, sizeof raw, RecordKind::kInteger);
}

bool DataMessage::setDouble(const char* name, double value) {
  std::uint8_t raw[8];
  bytes::storeAt<double>(raw, value);
  return setEntry(name, raw, sizeof raw, RecordKind::kFloat);
}

bool DataMessage::setData(const char* name, std::span<const std::uint8_t> data) {
  if (data.size() > entry::kMaxRecord) return false;
  return setEntry(name, data.data(), static_cast<std::uint32_t>(data.size()), RecordKind::kData);
}

// --- indexed entries --------------------------------------------------------

std::string DataMessage::indexedName(const char* base, std::int64_t index) {
  char number[24];
  std::snprintf(number, sizeof number, "%" PRId64, index);
  std::string name = base == nullptr ? std::string() : std::string(base);
  name += "_-|";
  name += number;
  name += "|-_";
  return name;
}

bool DataMessage::setInt(std::int64_t index, const char* name, std::int64_t value) {
  if (name == nullptr) return false;
  return setInt(indexedName(name, index).c_str(), value);
}

std::int64_t DataMessage::getInt(std::int64_t index, const char* name, bool* found) const {
  if (name == nullptr) {
    if (found != nullptr) *found = false;
    return 0;
  }
  return getInt(indexedName(name, index).c_str(), found);
}

bool DataMessage::setDouble(std::int64_t index, const char* name, double value) {
  if (name == nullptr) return false;
  return setDouble(indexedName(name, index).c_str(), value);
}

double DataMessage::getDouble(std::int64_t index, const char* name, bool* found) const {
  if (name == nullptr) {
    if (found != nullptr) *found = false;
    return 0.0;
  }
  return getDouble(indexedName(name, index).c_str(), found);
}

}  // namespace vornix
