// Helpers shared by the fuzz targets: a trap for broken promises, a reader
// that takes fields from the front of the input, silenced log lines and an
// instance number of this fuzzing process.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "util/log.h"

namespace vornix::fuzz {

inline void check(bool condition) {
  if (!condition) __builtin_trap();
}

// Log lines are expected for damaged input; they are dropped.
inline void silenceLogs() {
  static const bool done = [] {
    setLogLineSink([](std::uint32_t, std::uint8_t, std::uint8_t, std::string_view) {});
    return true;
  }();
  (void)done;
}

// An instance number no other fuzzing process on this machine uses at the
// same time, so parallel targets never share a section.
inline std::uint16_t fuzzInstance() {
  static const std::uint16_t instance =
      static_cast<std::uint16_t>(40000U + (static_cast<std::uint32_t>(::getpid()) % 20000U));
  return instance;
}

// Takes fixed-size fields from the front of the input; a field the input is
// too short for reads as zero bytes.
class InputReader {
 public:
  explicit InputReader(std::span<const std::uint8_t> input) noexcept : rest_(input) {}

  template <class T>
  T take() noexcept {
    T value{};
    std::uint8_t raw[sizeof(T)] = {};
    const std::size_t n = rest_.size() < sizeof(T) ? rest_.size() : sizeof(T);
    if (n > 0) std::memcpy(raw, rest_.data(), n);
    std::memcpy(&value, raw, sizeof(T));
    rest_ = rest_.subspan(n);
    return value;
  }

  std::span<const std::uint8_t> rest() const noexcept { return rest_; }

 private:
  std::span<const std::uint8_t> rest_;
};

}  // namespace vornix::fuzz
