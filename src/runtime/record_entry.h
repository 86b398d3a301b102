// Entry layout of the message record, shared by the DataMessage sources.
//
// Internal to the message module. Every function here works on the span of
// the record that is really there (its `size` bytes, never more) and refuses
// rather than reads outside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "runtime/data_message.h"
#include "util/bytes.h"

namespace vornix::entry {

inline constexpr std::uint32_t kLiveName = 0x20002;
inline constexpr std::uint32_t kFreeName = 0x10001;
inline constexpr std::uint64_t kMaxRecord = 0xFFFFFFFFull;  // a record's size is a u32

// One entry as laid out in the record, structure checked.
struct RawEntry {
  std::size_t offset = 0;       // start of the entry
  std::uint32_t entrySize = 0;  // the scan steps by this
  std::uint32_t nameKind = 0;
  std::string_view name;        // without its NUL
  std::size_t valueHead = 0;    // offset of the value's size word
  bool valueIntact = false;     // value size >= 8 and inside the entry
  std::uint32_t valueSize = 0;  // value size word (head included)
  std::uint32_t valueKind = 0;

  std::size_t end() const noexcept { return offset + entrySize; }
  std::size_t valueOffset() const noexcept { return valueHead + 8; }
  std::uint32_t valueLength() const noexcept { return valueIntact ? valueSize - 8 : 0; }
};

// Reads the entry at `position` (its value head not yet: see readValueHead).
// False (the walk ends) when fewer than 8 bytes are left, the entry is smaller
// than 17 bytes or runs past the record, or its name's NUL or its value head
// do not lie inside it.
inline bool readEntry(std::span<const std::uint8_t> rec, std::size_t position,
                      RawEntry& out) noexcept {
  if (!bytes::inRange(rec.size(), position, 8)) return false;
  const std::uint8_t* at = rec.data() + position;
  const auto entrySize = bytes::loadAt<std::uint32_t>(at);
  if (entrySize < record::kMinEntrySize || !bytes::inRange(rec.size(), position, entrySize)) {
    return false;
  }
  // The name and its NUL must end where the 8-byte value head still fits.
  const std::size_t nameRoom = entrySize - 16u;
  const void* nul = std::memchr(at + 8, 0, nameRoom);
  if (nul == nullptr) return false;
  const auto nameLength =
      static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - (at + 8));
  out.offset = position;
  out.entrySize = entrySize;
  out.nameKind = bytes::loadAt<std::uint32_t>(at + 4);
  out.name = std::string_view(reinterpret_cast<const char*>(at + 8), nameLength);
  out.valueHead = position + 9 + nameLength;
  out.valueIntact = false;
  out.valueSize = 0;
  out.valueKind = 0;
  return true;
}

// Reads the value head of an entry that readEntry accepted (it lies inside
// the entry) and checks that the value does too.
inline void readValueHead(std::span<const std::uint8_t> rec, RawEntry& e) noexcept {
  e.valueSize = bytes::loadAt<std::uint32_t>(rec.data() + e.valueHead);
  e.valueKind = bytes::loadAt<std::uint32_t>(rec.data() + e.valueHead + 4);
  e.valueIntact = e.valueSize >= 8 && e.valueSize <= e.end() - e.valueHead;
}

// Writes a whole entry at `at`: entry size, live name kind, name, NUL, value
// head and value. The caller has checked that `entrySize` bytes fit there and
// that entrySize >= name.size() + length + 17.
inline void writeEntry(std::uint8_t* at, std::uint32_t entrySize, std::string_view name,
                       std::uint32_t kind, const void* value, std::uint32_t length) noexcept {
  bytes::storeAt<std::uint32_t>(at, entrySize);
  bytes::storeAt<std::uint32_t>(at + 4, kLiveName);
  if (!name.empty()) std::memcpy(at + 8, name.data(), name.size());
  at[8 + name.size()] = 0;
  std::uint8_t* head = at + 9 + name.size();
  bytes::storeAt<std::uint32_t>(head, length + 8u);
  bytes::storeAt<std::uint32_t>(head + 4, kind);
  if (length != 0) std::memmove(head + 8, value, length);
}

// The value kinds that hold exactly 8 bytes.
inline bool isEightByteKind(RecordKind kind) noexcept {
  switch (kind) {
    case RecordKind::kInteger:
    case RecordKind::kFloat:
    case RecordKind::kValue64:
    case RecordKind::kValue64B:
    case RecordKind::kTextOmitted:
    case RecordKind::kDataOmitted:
      return true;
    default:
      return false;
  }
}

// a + b, held at the 32-bit maximum instead of wrapping.
inline std::uint32_t addCapped(std::uint32_t a, std::uint64_t b) noexcept {
  const std::uint64_t sum = std::uint64_t{a} + b;
  return sum > kMaxRecord ? static_cast<std::uint32_t>(kMaxRecord)
                          : static_cast<std::uint32_t>(sum);
}

// a - b, held at 0 instead of wrapping.
inline std::uint32_t subCapped(std::uint32_t a, std::uint32_t b) noexcept {
  return a > b ? a - b : 0u;
}

}  // namespace vornix::entry
