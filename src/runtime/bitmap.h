// Free-item bitmaps of the temporal store: arrays of little-endian 32-bit
// words where bit i is bit (i mod 32) of word (i div 32); 1 = free, 0 = in
// use. A bitmap for n items takes ceil(n / 32) * 4 bytes.
//
// Every function takes the bitmap's bytes and the item count; the caller
// guarantees that the bytes hold ceil(count / 32) words (checked with
// bitmapBytes before use). Searches skip whole words that cannot match.
// No locking: callers hold the store's mutex.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace vornix::bitmap {

// Bytes of a bitmap for `count` items.
constexpr std::uint64_t bitmapBytes(std::uint64_t count) noexcept {
  return (count + 31) / 32 * 4;
}

// Lowest item whose bit is 1, below `count`.
std::optional<std::uint32_t> lowestSet(std::span<const std::uint8_t> bits,
                                       std::uint32_t count) noexcept;

// Highest item whose bit is 0, below `count`, scanning from the last word.
std::optional<std::uint32_t> highestClear(std::span<const std::uint8_t> bits,
                                          std::uint32_t count) noexcept;

// First item of the lowest run of `run` consecutive 1 bits lying wholly
// below `count`.
std::optional<std::uint32_t> lowestRun(std::span<const std::uint8_t> bits, std::uint32_t count,
                                       std::uint32_t run) noexcept;

// Sets (value true) or clears `n` bits from `first`; the range must lie
// inside the bitmap.
void assign(std::span<std::uint8_t> bits, std::uint64_t first, std::uint64_t n,
            bool value) noexcept;

// True when all `n` bits from `first` have `value`.
bool allEqual(std::span<const std::uint8_t> bits, std::uint64_t first, std::uint64_t n,
              bool value) noexcept;

}  // namespace vornix::bitmap
