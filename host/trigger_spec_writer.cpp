#include "host/trigger_spec_writer.h"

#include <cstring>
#include <span>

#include "runtime/trigger_spec.h"
#include "util/bytes.h"

namespace vornix::host {

namespace {

bool putText(std::vector<std::uint8_t>& out, std::size_t offset, std::size_t field,
             const std::string& text) {
  if (text.size() + 1 > field) return false;
  std::memcpy(out.data() + offset, text.data(), text.size());
  out[offset + text.size()] = 0;
  return true;
}

void putType(std::vector<std::uint8_t>& out, std::size_t offset, const MessageType& type) {
  type.toBytes(std::span<std::uint8_t>(out).subspan(offset).first<MessageType::kBytes>());
}

}  // namespace

std::optional<std::vector<std::uint8_t>> buildTriggerSpec(const std::string& triggerName,
                                                          const std::vector<PostSpecBytes>& posts) {
  using T = TriggerSpecView;
  using P = PostSpecView;
  if (posts.size() > 0xFFFF) return std::nullopt;
  std::vector<std::uint8_t> out(T::kArrays + posts.size() * P::kSize, 0);
  if (!putText(out, T::kTriggerName, T::kTriggerNameField, triggerName)) return std::nullopt;
  bytes::storeAt<std::uint16_t>(out.data() + T::kPostSpecCount,
                                static_cast<std::uint16_t>(posts.size()));
  for (std::size_t i = 0; i < posts.size(); ++i) {
    const PostSpecBytes& p = posts[i];
    const std::size_t base = T::kArrays + i * P::kSize;
    std::uint8_t* b = out.data() + base;
    bytes::storeAt<std::uint32_t>(b + P::kTargetId, p.targetId);
    putType(out, base + P::kType, p.type);
    putType(out, base + P::kContext, p.context);
    bytes::storeAt<std::uint32_t>(b + P::kPostTag, p.postTag);
    bytes::storeAt<std::uint64_t>(b + P::kDefaultTtl, p.defaultTtl);
    b[P::kDropFlags] = p.dropFlags;
    bytes::storeAt<std::uint32_t>(b + P::kTripleCount, p.tripleCount);
    if (!putText(out, base + P::kPostName, P::kContent - P::kPostName, p.postName) ||
        !putText(out, base + P::kContent, P::kSize - P::kContent, p.content)) {
      return std::nullopt;
    }
  }
  return out;
}

}  // namespace vornix::host
