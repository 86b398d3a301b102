// Little-endian loads and stores on byte buffers.
//
// Every binary layout of the system (message records, shared-memory
// sections, sound-file headers) is read and written through these helpers,
// never by casting a struct over the bytes. The checked forms take the span
// that is really there and refuse an access that would leave it; the
// unchecked forms are for offsets that the caller has already validated.
// All accesses go through memcpy, so unaligned positions are well defined.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>

namespace vornix::bytes {

static_assert(std::endian::native == std::endian::little,
              "the binary layouts are little-endian and so is every supported target");

// True when [offset, offset + length) lies inside a buffer of `total` bytes.
// Computed without overflow for any 64-bit arguments.
constexpr bool inRange(std::uint64_t total, std::uint64_t offset, std::uint64_t length) noexcept {
  return offset <= total && length <= total - offset;
}

// Unchecked load of a trivially copyable T (integers, double) at `p`.
template <class T>
T loadAt(const void* p) noexcept {
  static_assert(std::is_trivially_copyable_v<T>);
  T value;
  std::memcpy(&value, p, sizeof(T));
  return value;
}

// Unchecked store of a trivially copyable T at `p`.
template <class T>
void storeAt(void* p, T value) noexcept {
  static_assert(std::is_trivially_copyable_v<T>);
  std::memcpy(p, &value, sizeof(T));
}

// Checked load: false (and `out` untouched) when the T at `offset` would not
// lie wholly inside `buffer`.
template <class T>
bool load(std::span<const std::uint8_t> buffer, std::uint64_t offset, T& out) noexcept {
  if (!inRange(buffer.size(), offset, sizeof(T))) return false;
  out = loadAt<T>(buffer.data() + offset);
  return true;
}

// Checked load with a fallback value for an access outside the buffer.
template <class T>
T loadOr(std::span<const std::uint8_t> buffer, std::uint64_t offset, T fallback) noexcept {
  T value = fallback;
  load(buffer, offset, value);
  return value;
}

// Checked store: false (and nothing written) when the T would not fit.
template <class T>
bool store(std::span<std::uint8_t> buffer, std::uint64_t offset, T value) noexcept {
  if (!inRange(buffer.size(), offset, sizeof(T))) return false;
  storeAt<T>(buffer.data() + offset, value);
  return true;
}

// Length of the NUL-terminated text at `offset`, looking at no more than
// `limit` bytes and never past the buffer. Returns false when no terminator
// lies within that bound (or the offset is outside the buffer).
inline bool boundedTextLength(std::span<const std::uint8_t> buffer, std::uint64_t offset,
                              std::uint64_t limit, std::size_t& length) noexcept {
  if (offset >= buffer.size()) return false;
  std::uint64_t avail = buffer.size() - offset;
  if (limit < avail) avail = limit;
  const void* nul = std::memchr(buffer.data() + offset, 0, static_cast<std::size_t>(avail));
  if (nul == nullptr) return false;
  length =
      static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - (buffer.data() + offset));
  return true;
}

}  // namespace vornix::bytes
