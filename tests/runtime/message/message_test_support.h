// Helpers of the message-record tests: raw records built byte by byte, and a
// capture of the log lines written while it lives.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/data_message.h"
#include "util/bytes.h"
#include "util/log.h"

namespace vornix::test {

using Bytes = std::vector<std::uint8_t>;

inline void put32(Bytes& b, std::size_t at, std::uint32_t v) {
  if (b.size() < at + 4) b.resize(at + 4);
  bytes::storeAt<std::uint32_t>(b.data() + at, v);
}
inline void put16(Bytes& b, std::size_t at, std::uint16_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  bytes::storeAt<std::uint16_t>(b.data() + at, v);
}
inline void put64(Bytes& b, std::size_t at, std::uint64_t v) {
  if (b.size() < at + 8) b.resize(at + 8);
  bytes::storeAt<std::uint64_t>(b.data() + at, v);
}
inline std::uint32_t get32(const Bytes& b, std::size_t at) {
  return bytes::loadAt<std::uint32_t>(b.data() + at);
}

// A current-layout header of `size` bytes (zero-filled), version `version`.
inline Bytes header(std::uint32_t size = 200, std::uint16_t version = 10) {
  Bytes b(200, 0);
  put32(b, 0, size);
  put32(b, 4, 0x290029);
  put16(b, 8, version);
  return b;
}

// Appends one entry with a raw value; the size words may be overridden to
// build damaged entries. Updates nothing in the header.
inline void appendEntry(Bytes& b, std::string_view name, std::uint32_t kind, const Bytes& value,
                        std::uint32_t nameKind = 0x20002) {
  const std::size_t at = b.size();
  b.resize(at + name.size() + value.size() + 17);
  put32(b, at, static_cast<std::uint32_t>(name.size() + value.size() + 17));
  put32(b, at + 4, nameKind);
  std::copy(name.begin(), name.end(), b.begin() + static_cast<std::ptrdiff_t>(at + 8));
  b[at + 8 + name.size()] = 0;
  put32(b, at + 9 + name.size(), static_cast<std::uint32_t>(value.size() + 8));
  put32(b, at + 13 + name.size(), kind);
  std::copy(value.begin(), value.end(),
            b.begin() + static_cast<std::ptrdiff_t>(at + 17 + name.size()));
}

inline Bytes int64Bytes(std::int64_t v) {
  Bytes b(8);
  bytes::storeAt<std::int64_t>(b.data(), v);
  return b;
}

// Sets the size word to the vector's length.
inline void seal(Bytes& b) {
  put32(b, 0, static_cast<std::uint32_t>(b.size()));
}

// Collects the text of every log line written while it lives.
class LogCapture {
 public:
  LogCapture() {
    setLogLineSink([this](std::uint32_t source, std::uint8_t category, std::uint8_t level,
                          std::string_view line) {
      const std::lock_guard lock(mutex_);
      lines_.push_back({source, category, level, std::string(line)});
    });
  }
  ~LogCapture() { setLogLineSink({}); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  struct Line {
    std::uint32_t source;
    std::uint8_t category;
    std::uint8_t level;
    std::string text;
  };
  std::vector<Line> lines() const {
    const std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Line> lines_;
};

}  // namespace vornix::test
