#include "soundfile/byte_order.h"

namespace vornix::sound_bytes {

bool storeTag(std::span<std::uint8_t> buffer, std::size_t offset, const char (&tag)[5]) noexcept {
  if (!inRange(buffer.size(), offset, 4)) return false;
  for (std::size_t i = 0; i < 4; ++i) buffer[offset + i] = static_cast<std::uint8_t>(tag[i]);
  return true;
}

bool hasTag(std::span<const std::uint8_t> buffer, std::size_t offset,
            const char (&tag)[5]) noexcept {
  if (!inRange(buffer.size(), offset, 4)) return false;
  for (std::size_t i = 0; i < 4; ++i) {
    if (buffer[offset + i] != static_cast<std::uint8_t>(tag[i])) return false;
  }
  return true;
}

}  // namespace vornix::sound_bytes
