#include "runtime/trigger_spec.h"

#include "util/bytes.h"
#include "util/text.h"

namespace vornix {

namespace {

// The NUL-terminated text at `offset`, bounded by `field` bytes; null when the
// field holds no terminator.
std::optional<std::string_view> boundedText(std::span<const std::uint8_t> bytes, std::size_t offset,
                                            std::size_t field) {
  std::size_t length = 0;
  if (!bytes::boundedTextLength(bytes, offset, field, length)) return std::nullopt;
  return std::string_view(reinterpret_cast<const char*>(bytes.data() + offset), length);
}

MessageType typeAt(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return MessageType::fromBytes(bytes.subspan(offset).first<MessageType::kBytes>());
}

}  // namespace

std::optional<PostSpecView> PostSpecView::parse(std::span<const std::uint8_t, kSize> bytes) {
  PostSpecView view(bytes);
  auto name = boundedText(bytes, kPostName, kContent - kPostName);
  auto content = boundedText(bytes, kContent, kSize - kContent);
  if (!name || !content) return std::nullopt;
  view.postName_ = *name;
  view.content_ = *content;
  return view;
}

std::uint32_t PostSpecView::targetId() const noexcept {
  return bytes::loadAt<std::uint32_t>(bytes_.data() + kTargetId);
}
MessageType PostSpecView::type() const noexcept {
  return typeAt(bytes_, kType);
}
MessageContext PostSpecView::context() const noexcept {
  return typeAt(bytes_, kContext);
}
std::uint32_t PostSpecView::postTag() const noexcept {
  return bytes::loadAt<std::uint32_t>(bytes_.data() + kPostTag);
}
std::uint64_t PostSpecView::defaultTtl() const noexcept {
  return bytes::loadAt<std::uint64_t>(bytes_.data() + kDefaultTtl);
}
std::uint8_t PostSpecView::dropFlags() const noexcept {
  return bytes_[kDropFlags];
}
std::uint32_t PostSpecView::tripleCount() const noexcept {
  return bytes::loadAt<std::uint32_t>(bytes_.data() + kTripleCount);
}

std::optional<TriggerSpecView> TriggerSpecView::parse(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kArrays) return std::nullopt;
  TriggerSpecView view;
  auto name = boundedText(bytes, kTriggerName, kTriggerNameField);
  if (!name) return std::nullopt;
  view.triggerName_ = *name;

  const std::uint64_t arrays =
      std::uint64_t{bytes::loadAt<std::uint16_t>(bytes.data() + kFirstCount)} * kFirstItem +
      std::uint64_t{bytes::loadAt<std::uint16_t>(bytes.data() + kSecondCount)} * kSecondItem +
      std::uint64_t{bytes::loadAt<std::uint16_t>(bytes.data() + kThirdCount)} * kThirdItem;
  const std::uint64_t count = bytes::loadAt<std::uint16_t>(bytes.data() + kPostSpecCount);
  const std::uint64_t first = kArrays + arrays;
  if (!bytes::inRange(bytes.size(), first, count * PostSpecView::kSize)) return std::nullopt;

  view.postSpecs_.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) {
    auto item = bytes.subspan(static_cast<std::size_t>(first + i * PostSpecView::kSize))
                    .first<PostSpecView::kSize>();
    auto spec = PostSpecView::parse(item);
    if (!spec) return std::nullopt;
    view.postSpecs_.push_back(*spec);
  }
  return view;
}

std::vector<const PostSpecView*> TriggerSpecView::byName(std::string_view postName) const {
  std::vector<const PostSpecView*> found;
  for (const PostSpecView& spec : postSpecs_) {
    if (postName.empty() || equalsNoCase(spec.postName(), postName)) found.push_back(&spec);
  }
  return found;
}

std::vector<const PostSpecView*> TriggerSpecView::byType(const MessageType& type) const {
  std::vector<const PostSpecView*> found;
  if (type.empty()) return found;
  for (const PostSpecView& spec : postSpecs_) {
    if (typeMatches(type, spec.type())) found.push_back(&spec);
  }
  return found;
}

}  // namespace vornix
