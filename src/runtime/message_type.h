// Message types and contexts: sixteen 16-bit levels, level 0 first.
//
// Level value 0 ends a type (levels after the first 0 are not part of it); a
// type whose level 0 is 0 is empty. 0xFFFF is the wildcard "any" when post
// specifications are matched. Level 0 equal to 1 marks a control message,
// whose levels 1 and 2 are its two numbers.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace vornix {

struct MessageType {
  static constexpr std::size_t kLevels = 16;
  static constexpr std::size_t kBytes = 32;
  static constexpr std::uint16_t kAny = 0xFFFF;

  std::array<std::uint16_t, kLevels> levels{};

  bool empty() const noexcept { return levels[0] == 0; }
  bool isControl() const noexcept { return levels[0] == 1; }
  friend bool operator==(const MessageType&, const MessageType&) = default;

  // Reads or writes the 32 wire bytes (little-endian levels).
  static MessageType fromBytes(std::span<const std::uint8_t, kBytes> bytes) noexcept;
  void toBytes(std::span<std::uint8_t, kBytes> bytes) const noexcept;
};

// The context of a message has the same form as its type.
using MessageContext = MessageType;

// The fixed type a context post gives its message: level 0 = 1, level 1 =
// 10297, all others 0.
MessageType controlType() noexcept;

// True when each of the 16 levels matches: equal, or either side is 0xFFFF.
// An empty `messageType` matches nothing.
bool typeMatches(const MessageType& messageType, const MessageType& specType) noexcept;

// Looks up the printable name of one level; false when the level has none.
using LevelNameLookup = std::function<bool(std::uint16_t level, std::string& name)>;

// The printable name of one level: "-" for 0, "*" for 0xFFFF, else the name
// that `lookup` gives (empty when it has none).
std::string levelName(std::uint16_t level, const LevelNameLookup& lookup);

// The printable name of a type: "NOTYPE" for an empty type,
// "ZelControlMessage L1.L2" for a control type, else the level names joined
// by "." up to the first 0 level.
std::string typeName(const MessageType& type, const LevelNameLookup& lookup);

}  // namespace vornix
