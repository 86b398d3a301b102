// The host's numbering of message-type level names. Level numbers start at 2
// (0 ends a type, 1 marks control messages) and are given in the order the
// names are first seen; "*" is the wildcard 0xFFFF. The names go into the
// data-maps section so that components can print types.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/config.h"
#include "host/data_maps_section.h"
#include "runtime/message_type.h"

namespace vornix::host {

class TypeRegistry {
 public:
  // The type for dotted level names, numbering new names; none when the
  // registry is full (65,533 names).
  std::optional<MessageType> intern(const TypePath& path);
  // The type for a dotted text such as "Speech.On".
  std::optional<MessageType> intern(const std::string& dotted) {
    return intern(parseTypePath(dotted));
  }

  // Every numbered name, for the data-maps section.
  std::vector<LevelName> levels() const;
  std::uint16_t highestLevel() const noexcept { return static_cast<std::uint16_t>(next_ - 1U); }

 private:
  std::map<std::string, std::uint16_t> numbers_;
  std::uint16_t next_ = 2;
};

}  // namespace vornix::host
