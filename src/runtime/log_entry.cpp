#include "runtime/log_entry.h"

#include "util/bytes.h"

namespace vornix {

LogEntry::LogEntry(Micros time, std::uint32_t source, std::uint8_t category, std::uint8_t level,
                   std::string_view text)
    : record_(kHeaderSize + text.size() + 1, 0) {
  std::uint8_t* p = record_.data();
  bytes::storeAt<std::uint32_t>(p + 0, static_cast<std::uint32_t>(record_.size()));
  bytes::storeAt<std::uint32_t>(p + 4, kKind);
  bytes::storeAt<std::uint64_t>(p + 8, time);
  bytes::storeAt<std::uint32_t>(p + 16, source);
  p[20] = category;
  p[21] = level;
  p[22] = 1;
  if (!text.empty()) std::memcpy(p + kHeaderSize, text.data(), text.size());
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
