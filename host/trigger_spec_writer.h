// Builds the TriggerSpec bytes the host puts into a trigger message (data
// entry "TriggerSpec"): the trigger name, the three host arrays (empty here)
// and the post specifications. Layout: docs/formats/trigger-bytes.md.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "runtime/message_type.h"

namespace vornix::host {

struct PostSpecBytes {
  std::uint32_t targetId = 0;
  MessageType type;
  MessageContext context;
  std::uint32_t postTag = 0;
  std::uint64_t defaultTtl = 0;
  std::uint8_t dropFlags = 0;
  std::uint32_t tripleCount = 0;
  std::string postName;  // at most 256 characters
  std::string content;   // triples joined by "||", at most 4198 characters
};

// The TriggerSpec bytes; none when a text does not fit its field or there are
// more than 65,535 post specifications.
std::optional<std::vector<std::uint8_t>> buildTriggerSpec(const std::string& triggerName,
                                                          const std::vector<PostSpecBytes>& posts);

}  // namespace vornix::host
