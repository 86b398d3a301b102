// Generated audio for end-to-end tests: tone bursts and silences as frames of
// 16-bit little-endian samples, and the frame messages a host posts.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <numbers>
#include <vector>

#include "runtime/data_message.h"

namespace vornix::testing {

// One frame of `n` samples of a sine of `hz` at `amplitude` (0 = silence),
// starting at sample `first` of the stream.
inline std::vector<std::uint8_t> toneFrame(std::size_t n, double hz, double amplitude,
                                           std::uint64_t first, double rate = 44100.0) {
  std::vector<std::uint8_t> bytes(2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(first + i) / rate;
    const auto v = static_cast<std::int16_t>(
        std::lround(amplitude * std::sin(2.0 * std::numbers::pi * hz * t)));
    const auto u = static_cast<std::uint16_t>(v);
    bytes[2 * i] = static_cast<std::uint8_t>(u & 0xFFU);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(u >> 8U);
  }
  return bytes;
}

inline std::unique_ptr<DataMessage> frameMessage(const MessageType& type,
                                                 const std::vector<std::uint8_t>& samples) {
  auto message = std::make_unique<DataMessage>();
  message->setType(type);
  message->setData("AudioDataFrame", samples);
  return message;
}

}  // namespace vornix::testing
