// Bounds-checked big- and little-endian loads and stores on byte spans, for
// the sound-file headers. (The module stands alone, so it carries its own
// small set rather than using the runtime's little-endian helpers; AIFF
// needs big-endian too.) Values are assembled byte by byte, so alignment and
// host byte order do not matter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vornix::sound_bytes {

enum class Order { kBig, kLittle };

// True when [offset, offset + length) lies inside `total` bytes; no overflow.
constexpr bool inRange(std::size_t total, std::size_t offset, std::size_t length) noexcept {
  return offset <= total && length <= total - offset;
}

// Loads an unsigned integer of `Bytes` bytes at `offset`; false (and `out`
// untouched) when it would leave `buffer`.
template <std::size_t Bytes, class T>
bool load(std::span<const std::uint8_t> buffer, std::size_t offset, Order order, T& out) noexcept {
  static_assert(Bytes <= sizeof(T) && Bytes <= 8);
  if (!inRange(buffer.size(), offset, Bytes)) return false;
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < Bytes; ++i) {
    const std::size_t at = order == Order::kBig ? i : Bytes - 1 - i;
    value = (value << 8) | buffer[offset + at];
  }
  out = static_cast<T>(value);
  return true;
}

// Stores the low `Bytes` bytes of `value` at `offset`; false (buffer
// untouched) when they would leave `buffer`.
template <std::size_t Bytes>
bool store(std::span<std::uint8_t> buffer, std::size_t offset, Order order,
           std::uint64_t value) noexcept {
  static_assert(Bytes <= 8);
  if (!inRange(buffer.size(), offset, Bytes)) return false;
  for (std::size_t i = 0; i < Bytes; ++i) {
    const std::size_t at = order == Order::kBig ? Bytes - 1 - i : i;
    buffer[offset + at] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  return true;
}

// Copies a four-character code at `offset`; false when it would leave `buffer`.
bool storeTag(std::span<std::uint8_t> buffer, std::size_t offset, const char (&tag)[5]) noexcept;

// True when the four bytes at `offset` exist and equal `tag`.
bool hasTag(std::span<const std::uint8_t> buffer, std::size_t offset,
            const char (&tag)[5]) noexcept;

}  // namespace vornix::sound_bytes
