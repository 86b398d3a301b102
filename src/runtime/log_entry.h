// LogEntry: the record (kind 0x160016) that carries a component's log line to
// the host's log sink.
//
//   0 u32 size (text length + 25)   4 u32 kind 0x160016   8 u64 time (µs)
//  16 u32 source id   20 u8 category   21 u8 level   22 u8 1   23 u8 reserved
//  24 the text and its NUL
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "util/clock.h"

namespace vornix {

class LogEntry {
 public:
  static constexpr std::uint32_t kKind = 0x160016;
  static constexpr std::size_t kHeaderSize = 24;

  LogEntry(Micros time, std::uint32_t source, std::uint8_t category, std::uint8_t level,
           std::string_view text);

  std::span<const std::uint8_t> bytes() const noexcept { return record_; }
  Micros time() const noexcept;
  std::uint32_t source() const noexcept;
  std::uint8_t category() const noexcept;
  std::uint8_t level() const noexcept;
  std::string_view text() const noexcept;

 private:
  std::vector<std::uint8_t> record_;
};

// The host's receiver of LogEntry records. take() is its first virtual
// operation; it takes ownership of the record and answers whether it
// accepted it. Called from component threads: implementations are
// thread-safe.
class LogSink {
 public:
  virtual bool take(LogEntry entry) = 0;
  virtual ~LogSink() = default;
};

}  // namespace vornix
