// Message types: wire bytes, matching and printable names.
#include "runtime/message_type.h"

#include <cstdio>

#include "util/bytes.h"

namespace vornix {

namespace {

// The longest level name the data-maps lookup can hand over (a 256-byte
// buffer with its terminator).
constexpr std::size_t kMaxLevelName = 255;

}  // namespace

MessageType MessageType::fromBytes(std::span<const std::uint8_t, kBytes> bytes) noexcept {
  MessageType type;
  for (std::size_t i = 0; i < kLevels; ++i) {
    type.levels[i] = bytes::loadAt<std::uint16_t>(bytes.data() + 2 * i);
  }
  return type;
}

void MessageType::toBytes(std::span<std::uint8_t, kBytes> bytes) const noexcept {
  for (std::size_t i = 0; i < kLevels; ++i) {
    bytes::storeAt<std::uint16_t>(bytes.data() + 2 * i, levels[i]);
  }
}

MessageType controlType() noexcept {
  MessageType type;
  type.levels[0] = 1;
  type.levels[1] = 10297;
  return type;
}

bool typeMatches(const MessageType& messageType, const MessageType& specType) noexcept {
  if (messageType.empty()) return false;
  for (std::size_t i = 0; i < MessageType::kLevels; ++i) {
    const std::uint16_t a = messageType.levels[i];
    const std::uint16_t b = specType.levels[i];
    if (a != b && a != MessageType::kAny && b != MessageType::kAny) return false;
  }
  return true;
}

std::string levelName(std::uint16_t level, const LevelNameLookup& lookup) {
  if (level == 0) return "-";
  if (level == MessageType::kAny) return "*";
  std::string name;
  if (!lookup || !lookup(level, name)) return {};
  if (name.size() > kMaxLevelName) name.resize(kMaxLevelName);
  return name;
}

std::string typeName(const MessageType& type, const LevelNameLookup& lookup) {
  if (type.empty()) return "NOTYPE";
  if (type.isControl()) {
    char text[48];
    std::snprintf(text, sizeof text, "ZelControlMessage %u.%u", unsigned{type.levels[1]},
                  unsigned{type.levels[2]});
    return text;
  }
  std::string name = levelName(type.levels[0], lookup);
  for (std::size_t i = 1; i < MessageType::kLevels && type.levels[i] != 0; ++i) {
    name += '.';
    name += levelName(type.levels[i], lookup);
  }
  return name;
}

}  // namespace vornix
