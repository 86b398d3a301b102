// DataMessage: adoption of raw record bytes (current and older layout) and the
// limited (trimmed) copy.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "runtime/data_message.h"
#include "runtime/message_index.h"
#include "runtime/record_entry.h"
#include "util/bytes.h"
#include "util/log.h"

namespace vornix {

namespace {

constexpr std::uint32_t kMessageKind = static_cast<std::uint32_t>(RecordKind::kMessage);
constexpr std::uint32_t kOlderKind = static_cast<std::uint32_t>(RecordKind::kOlderMessage);
constexpr std::uint32_t kOlderHeaderSize = 168;
constexpr std::size_t kOlderUserSize = 160, kOlderUserCount = 164;

// Where each field of the older header lands in the current one.
struct FieldMove {
  std::size_t from;
  std::size_t to;
  std::size_t width;
};
constexpr FieldMove kOlderFields[] = {
    {8, 16, 8},
    {16, 24, 8},
    {24, 32, 8},
    {32, 40, 8},
    {40, 48, 2},
    {42, 50, 2},
    {48, 56, 8},
    {56, 64, 2},
    {58, 66, 1},
    {60, 68, 4},
    {64, 72, 4},
    {68, 76, 32},
    {100, 108, 4},
    {104, 112, 2},
    {112, 120, 8},
    {120, 128, 8},
    {128, 136, 32},
    {kOlderUserSize, record::kUserSize, 4},
    {kOlderUserCount, record::kUserCount, 4},
};

std::uint8_t* allocateBlock(std::size_t length) {
  auto* block = static_cast<std::uint8_t*>(std::malloc(length));
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

// The empty header without a time stamp: what every refusal gives.
void writeEmptyHeader(std::uint8_t* block) noexcept {
  std::memset(block, 0, record::kHeaderSize);
  bytes::storeAt<std::uint32_t>(block + record::kSize, record::kHeaderSize);
  bytes::storeAt<std::uint32_t>(block + record::kKind, kMessageKind);
  bytes::storeAt<std::uint16_t>(block + record::kVersionField, record::kVersion);
}

void logRefused(std::uint32_t sizeWord, std::size_t available) {
  logLine(0, 0, 0, "*** DataMessage record of %u bytes refused: %zu bytes available ***", sizeWord,
          available);
}

// Appends one entry at the end of a block whose capacity the caller has
// checked, and counts it as setEntry would.
void appendEntry(std::uint8_t* block, std::string_view name, RecordKind kind, const void* value,
                 std::uint32_t length) noexcept {
  const auto size = bytes::loadAt<std::uint32_t>(block + record::kSize);
  const auto needed = static_cast<std::uint32_t>(name.size() + length + 17u);
  entry::writeEntry(block + size, needed, name, static_cast<std::uint32_t>(kind), value, length);
  bytes::storeAt<std::uint32_t>(block + record::kSize, size + needed);
  const auto count = bytes::loadAt<std::uint32_t>(block + record::kUserCount);
  const auto user = bytes::loadAt<std::uint32_t>(block + record::kUserSize);
  bytes::storeAt<std::uint32_t>(block + record::kUserCount, entry::addCapped(count, 1));
  bytes::storeAt<std::uint32_t>(block + record::kUserSize, entry::addCapped(user, needed));
}

void appendValue64(std::uint8_t* block, std::string_view name, RecordKind kind,
                   std::uint64_t value) noexcept {
  std::uint8_t raw[8];
  bytes::storeAt<std::uint64_t>(raw, value);
  appendEntry(block, name, kind, raw, sizeof raw);
}

// Counts a source entry that the copy leaves out entirely.
void countLeftOut(std::uint8_t* block, std::uint64_t standsFor) noexcept {
  const auto count = bytes::loadAt<std::uint32_t>(block + record::kUserCount);
  const auto user = bytes::loadAt<std::uint32_t>(block + record::kUserSize);
  bytes::storeAt<std::uint32_t>(block + record::kUserCount, entry::addCapped(count, 1));
  bytes::storeAt<std::uint32_t>(block + record::kUserSize, entry::addCapped(user, standsFor));
}

}  // namespace

// --- adoption ---------------------------------------------------------------

DataMessage::DataMessage(std::span<const std::uint8_t> raw) {
  std::uint32_t sizeWord = 0;
  std::uint32_t kind = 0;
  const bool hasHead =
      bytes::load(raw, record::kSize, sizeWord) && bytes::load(raw, record::kKind, kind);

  if (hasHead && kind == kMessageKind) {
    if (sizeWord < record::kHeaderSize || sizeWord > raw.size()) {
      logRefused(sizeWord, raw.size());
    } else if (const auto version =
                   bytes::loadAt<std::uint16_t>(raw.data() + record::kVersionField);
               version != record::kVersion) {
      logLine(0, 0, 0,
              "*** DataMessage format version %u is not supported, only up to version %u ***",
              unsigned{version}, unsigned{record::kVersion});
    } else {
      record_ = allocateBlock(sizeWord);
      capacity_ = sizeWord;
      std::memcpy(record_, raw.data(), sizeWord);
      // A CPU time more than ten times the wall time is a complemented value
      // written by an older poster: undo it, in the copy only. The product is
      // taken in 64 bits, where it cannot overflow.
      const auto stepCpu = bytes::loadAt<std::uint32_t>(record_ + record::kStepCpuTime);
      const auto stepWall = bytes::loadAt<std::uint32_t>(record_ + record::kStepWallTime);
      if (std::uint64_t{stepCpu} > std::uint64_t{stepWall} * 10u) {
        const auto chainCpu = bytes::loadAt<std::uint32_t>(record_ + record::kChainCpuTime);
        bytes::storeAt<std::uint32_t>(record_ + record::kStepCpuTime, ~stepCpu);
        bytes::storeAt<std::uint32_t>(record_ + record::kChainCpuTime, ~chainCpu);
      }
      return;
    }
  } else if (hasHead && kind == kOlderKind) {
    // The older layout's entries are its size minus its header; `userSize` is
    // a counter there and says nothing reliable about their length.
    const std::uint64_t newSize = std::uint64_t{sizeWord} - kOlderHeaderSize + record::kHeaderSize;
    if (sizeWord < kOlderHeaderSize || sizeWord > raw.size() || newSize > entry::kMaxRecord) {
      logRefused(sizeWord, raw.size());
    } else {
      const std::size_t entryBytes = sizeWord - kOlderHeaderSize;
      record_ = allocateBlock(static_cast<std::size_t>(newSize));
      capacity_ = static_cast<std::size_t>(newSize);
      writeEmptyHeader(record_);
      bytes::storeAt<std::uint32_t>(record_ + record::kSize, static_cast<std::uint32_t>(newSize));
      for (const auto& move : kOlderFields) {
        std::memcpy(record_ + move.to, raw.data() + move.from, move.width);
      }
      if (entryBytes != 0) {
        std::memcpy(record_ + record::kHeaderSize, raw.data() + kOlderHeaderSize, entryBytes);
      }
      return;
    }
  }
  record_ = allocateBlock(record::kHeaderSize);
  capacity_ = record::kHeaderSize;
  writeEmptyHeader(record_);
}

// --- limited copy -----------------------------------------------------------

DataMessage::DataMessage(const DataMessage& other, std::uint32_t maxSize) {
  if (!other.isValid()) {
    record_ = allocateBlock(record::kHeaderSize);
    capacity_ = record::kHeaderSize;
    writeEmptyHeader(record_);
    return;
  }
  const std::uint32_t sourceSize = other.size();
  if (maxSize < record::kHeaderSize) maxSize = record::kHeaderSize;
  if (sourceSize <= maxSize) {
    record_ = allocateBlock(sourceSize);
    capacity_ = sourceSize;
    std::memcpy(record_, other.record_, sourceSize);
    return;
  }

  record_ = allocateBlock(maxSize);
  capacity_ = maxSize;
  std::memcpy(record_, other.record_, record::kHeaderSize);
  bytes::storeAt<std::uint32_t>(record_ + record::kSize, record::kHeaderSize);

  bool anyLive = false;
  other.forEachEntry([&anyLive](const EntryView&) {
    anyLive = true;
    return false;
  });
  // The trim records are written only when the copy then stays below the
  // limit, like every other entry (a limit of exactly 281 keeps the header).
  constexpr std::uint32_t kTrimBytes = 81;
  if (!anyLive || std::uint64_t{record::kHeaderSize} + kTrimBytes >= maxSize) return;

  bytes::storeAt<std::uint32_t>(record_ + record::kUserCount, 0);
  bytes::storeAt<std::uint32_t>(record_ + record::kUserSize, 0);
  appendValue64(record_, "OS", RecordKind::kTrimRecord, sourceSize);
  appendValue64(record_, "US", RecordKind::kTrimRecord, other.userSize());
  appendValue64(record_, "UC", RecordKind::kTrimRecord, other.userCount());

  // Every size below is a sum of at most three values under 2^32, held in 64
  // bits, and an entry is written only when the copy then stays below maxSize.
  const auto fits = [this, maxSize](std::uint64_t cost) {
    return std::uint64_t{size()} + cost < maxSize;
  };

  // First pass: the small values, and stand-ins for data and nested messages.
  other.forEachEntry([&](const EntryView& e) {
    const std::uint64_t n = e.name.size();
    const std::uint64_t cost = n + 25u;
    if (entry::isEightByteKind(e.kind)) {
      if (e.value.size() != 8) return true;  // a damaged 8-byte value: left out, not counted
      const auto value = bytes::loadAt<std::uint64_t>(e.value.data());
      if (fits(cost)) {
        appendValue64(record_, e.name, e.kind, value);
      } else if (e.kind == RecordKind::kInteger || e.kind == RecordKind::kFloat ||
                 e.kind == RecordKind::kValue64) {
        countLeftOut(record_, cost);
      } else {
        countLeftOut(record_, n + 17u + (value & 0xFFFFFFFFu));
      }
    } else if (e.kind == RecordKind::kData || e.kind == RecordKind::kMessage) {
      // A nested message is written as the bytes it would have taken: a
      // data-omitted value, which no reader can take for a record.
      const std::uint64_t length = e.value.size();
      if (fits(cost)) {
        appendValue64(record_, e.name, RecordKind::kDataOmitted, length);
      } else {
        countLeftOut(record_, n + 17u + length);
      }
    }
    return true;
  });

  // Second pass: texts, whole or as their length.
  other.forEachEntry([&](const EntryView& e) {
    if (e.kind != RecordKind::kText || e.value.empty()) return true;
    const void* nul = std::memchr(e.value.data(), 0, e.value.size());
    if (nul == nullptr) return true;  // no terminator: not a text, left out
    const std::uint64_t n = e.name.size();
    const auto t =
        static_cast<std::uint32_t>(static_cast<const std::uint8_t*>(nul) - e.value.data() + 1);
    if (fits(n + 17u + t)) {
      appendEntry(record_, e.name, RecordKind::kText, e.value.data(), t);
    } else if (fits(n + 25u)) {
      appendValue64(record_, e.name, RecordKind::kTextOmitted, t);
    } else {
      countLeftOut(record_, n + 17u + t);
    }
    return true;
  });
}

}  // namespace vornix
