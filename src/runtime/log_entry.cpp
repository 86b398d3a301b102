#include "runtime/log_entry.h"

#include <array>

#include "util/bytes.h"

namespace vornix {

LogEntry::LogEntry(Micros time, std::uint32_t source, std::uint8_t category, std::uint8_t level,
                   std::string_view text) {
  std::array<std::uint8_t, kHeaderSize> head{};
  bytes::storeAt<std::uint32_t>(head.data() + 0,
                                static_cast<std::uint32_t>(kHeaderSize + text.size() + 1));
  bytes::storeAt<std::uint32_t>(head.data() + 4, kKind);
  bytes::storeAt<std::uint64_t>(head.data() + 8, time);
  bytes::storeAt<std::uint32_t>(head.data() + 16, source);
  head[20] = category;
  head[21] = level;
  head[22] = 1;
  record_.reserve(kHeaderSize + text.size() + 1);
  record_.insert(record_.end(), head.begin(), head.end());
  record_.insert(record_.end(), text.begin(), text.end());
  record_.push_back(0);
}

Micros LogEntry::time() const noexcept { return bytes::loadAt<std::uint64_t>(record_.data() + 8); }
std::uint32_t LogEntry::source() const noexcept {
  return bytes::loadAt<std::uint32_t>(record_.data() + 16);
}
std::uint8_t LogEntry::category() const noexcept { return record_[20]; }
std::uint8_t LogEntry::level() const noexcept { return record_[21]; }
std::string_view LogEntry::text() const noexcept {
  return std::string_view(reinterpret_cast<const char*>(record_.data() + kHeaderSize),
                          record_.size() - kHeaderSize - 1);
}

}  // namespace vornix
