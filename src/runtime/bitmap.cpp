#include "runtime/bitmap.h"

#include <bit>

#include "util/bytes.h"

namespace vornix::bitmap {

namespace {

constexpr std::uint32_t kAllFree = 0xFFFFFFFFU;

std::uint32_t word(std::span<const std::uint8_t> bits, std::uint64_t index) noexcept {
  return bytes::loadAt<std::uint32_t>(bits.data() + index * 4);
}

bool bit(std::span<const std::uint8_t> bits, std::uint64_t item) noexcept {
  return ((word(bits, item / 32) >> (item % 32)) & 1U) != 0;
}

}  // namespace

std::optional<std::uint32_t> lowestSet(std::span<const std::uint8_t> bits,
                                       std::uint32_t count) noexcept {
  const std::uint64_t words = (std::uint64_t{count} + 31) / 32;
  for (std::uint64_t w = 0; w < words; ++w) {
    const std::uint32_t value = word(bits, w);
    if (value == 0) continue;
    const std::uint64_t item = w * 32 + static_cast<std::uint64_t>(std::countr_zero(value));
    if (item >= count) return std::nullopt;
    return static_cast<std::uint32_t>(item);
  }
  return std::nullopt;
}

std::optional<std::uint32_t> highestClear(std::span<const std::uint8_t> bits,
                                          std::uint32_t count) noexcept {
  for (std::uint64_t w = (std::uint64_t{count} + 31) / 32; w-- > 0;) {
    std::uint32_t value = ~word(bits, w);
    const std::uint64_t itemsHere = std::uint64_t{count} - w * 32;
    if (itemsHere < 32) value &= (1U << itemsHere) - 1U;  // items past the count do not count
    if (value == 0) continue;
    return static_cast<std::uint32_t>(w * 32 + 31 -
                                      static_cast<std::uint64_t>(std::countl_zero(value)));
  }
  return std::nullopt;
}

std::optional<std::uint32_t> lowestRun(std::span<const std::uint8_t> bits, std::uint32_t count,
                                       std::uint32_t run) noexcept {
  if (run == 0 || run > count) return std::nullopt;
  std::uint64_t start = 0, length = 0, item = 0;
  while (item < count) {
    if (item % 32 == 0 && item + 32 <= count) {
      const std::uint32_t value = word(bits, item / 32);
      if (value == 0) {
        length = 0;
        item += 32;
        continue;
      }
      if (value == kAllFree) {
        if (length == 0) start = item;
        length += 32;
        item += 32;
        if (length >= run) return static_cast<std::uint32_t>(start);
        continue;
      }
    }
    if (bit(bits, item)) {
      if (length == 0) start = item;
      if (++length >= run) return static_cast<std::uint32_t>(start);
    } else {
      length = 0;
    }
    ++item;
  }
  return std::nullopt;
}

void assign(std::span<std::uint8_t> bits, std::uint64_t first, std::uint64_t n,
            bool value) noexcept {
  std::uint64_t item = first;
  const std::uint64_t end = first + n;
  while (item < end) {
    std::uint8_t* at = bits.data() + item / 32 * 4;
    if (item % 32 == 0 && end - item >= 32) {
      bytes::storeAt<std::uint32_t>(at, value ? kAllFree : 0U);
      item += 32;
      continue;
    }
    const std::uint32_t mask = 1U << (item % 32);
    const std::uint32_t old = bytes::loadAt<std::uint32_t>(at);
    bytes::storeAt<std::uint32_t>(at, value ? (old | mask) : (old & ~mask));
    ++item;
  }
}

bool allEqual(std::span<const std::uint8_t> bits, std::uint64_t first, std::uint64_t n,
              bool value) noexcept {
  for (std::uint64_t item = first; item < first + n; ++item) {
    if (bit(bits, item) != value) return false;
  }
  return true;
}

}  // namespace vornix::bitmap
