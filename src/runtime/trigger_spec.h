// Read-only views of the TriggerSpec bytes that the host puts into every
// trigger message (data entry "TriggerSpec"), and of the PostSpec items in it.
// Layouts: docs/formats/trigger-bytes.md.
//
// parse() validates everything a later read relies on: the counts, the array
// sizes (computed in 64 bits), the terminators of the trigger name, of every
// post name and of every content text. A view therefore never reads outside
// the bytes it was made from. The views do not own the bytes: they stay valid
// while the trigger message that holds them is unchanged.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "runtime/message_type.h"

namespace vornix {

class PostSpecView {
 public:
  static constexpr std::size_t kSize = 4576;
  static constexpr std::size_t kTargetId = 0, kType = 4, kContext = 68, kPostTag = 100,
                               kDefaultTtl = 104, kDropFlags = 112, kTripleCount = 116,
                               kPostName = 120, kContent = 377;

  // Null when the item's texts have no terminator inside their fields.
  static std::optional<PostSpecView> parse(std::span<const std::uint8_t, kSize> bytes);

  std::uint32_t targetId() const noexcept;
  MessageType type() const noexcept;
  MessageContext context() const noexcept;
  std::uint32_t postTag() const noexcept;
  std::uint64_t defaultTtl() const noexcept;
  std::uint8_t dropFlags() const noexcept;
  std::uint32_t tripleCount() const noexcept;
  std::string_view postName() const noexcept { return postName_; }
  std::string_view content() const noexcept { return content_; }

 private:
  explicit PostSpecView(std::span<const std::uint8_t, kSize> bytes) : bytes_(bytes) {}
  std::span<const std::uint8_t, kSize> bytes_;
  std::string_view postName_;
  std::string_view content_;
};

class TriggerSpecView {
 public:
  static constexpr std::size_t kTriggerName = 148, kTriggerNameField = 256, kFirstCount = 406,
                               kSecondCount = 408, kThirdCount = 410, kPostSpecCount = 412,
                               kArrays = 416, kFirstItem = 1304, kSecondItem = 2720,
                               kThirdItem = 3144;

  // Null when the bytes are too short for the header, the trigger name has no
  // terminator in its field, the arrays or post specifications run past the
  // bytes, or a post specification is damaged.
  static std::optional<TriggerSpecView> parse(std::span<const std::uint8_t> bytes);

  std::string_view triggerName() const noexcept { return triggerName_; }
  const std::vector<PostSpecView>& postSpecs() const noexcept { return postSpecs_; }

  // Every post specification whose post name equals `postName` ignoring ASCII
  // case, in array order; an empty name takes every one.
  std::vector<const PostSpecView*> byName(std::string_view postName) const;
  // Every post specification whose type matches `type` level by level (equal,
  // or 0xFFFF on either side); empty for an empty type.
  std::vector<const PostSpecView*> byType(const MessageType& type) const;

 private:
  std::string_view triggerName_;
  std::vector<PostSpecView> postSpecs_;
};

}  // namespace vornix
