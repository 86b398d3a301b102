#include "runtime/log_entry.h"

#include <algorithm>

#include "util/bytes.h"

namespace vornix {

LogEntry::LogEntry(Micros time, std::uint32_t source, std::uint8_t category, std::uint8_t level,
                   std::string_view text)
    : record_(kHeaderSize + text.size() + 1, 0) {
  // Checked stores: the record is never shorter than its header.
  const std::span<std::uint8_t> out(record_);
  bytes::store<std::uint32_t>(out, 0, static_cast<std::uint32_t>(out.size()));
  bytes::store<std::uint32_t>(out, 4, kKind);
  bytes::store<std::uint64_t>(out, 8, time);
  bytes::store<std::uint32_t>(out, 16, source);
  bytes::store<std::uint8_t>(out, 20, category);
  bytes::store<std::uint8_t>(out, 21, level);
  bytes::store<std::uint8_t>(out, 22, 1);
  std::copy(text.begin(), text.end(), out.begin() + kHeaderSize);
}

Micros LogEntry::time() const noexcept {
  return bytes::loadAt<std::uint64_t>(record_.data() + 8);
}
std::uint32_t LogEntry::source() const noexcept {
  return bytes::loadAt<std::uint32_t>(record_.data() + 16);
}
std::uint8_t LogEntry::category() const noexcept {
  return record_[20];
}
std::uint8_t LogEntry::level() const noexcept {
  return record_[21];
}
std::string_view LogEntry::text() const noexcept {
  return std::string_view(reinterpret_cast<const char*>(record_.data() + kHeaderSize),
                          record_.size() - kHeaderSize - 1);
}

}  // namespace vornix
