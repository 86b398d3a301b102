// Small helpers over std::FILE for the sound-file routines: 64-bit seeks and
// positions (files up to 4 GiB even where `long` has 32 bits), exact reads
// and writes with a three-way outcome. The stream is never owned.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>

namespace vornix::sound_io {

enum class ReadResult { kOk, kEndOfFile, kError };

// Reads exactly buffer.size() bytes; kEndOfFile when the stream ends first,
// kError when the stream reports an error.
ReadResult readExact(std::FILE* stream, std::span<std::uint8_t> buffer) noexcept;

// Writes all bytes; false on a short write.
bool writeAll(std::FILE* stream, std::span<const std::uint8_t> bytes) noexcept;

// Seeks to `offset` bytes from the start; false on failure or an offset
// beyond what the platform can address.
bool seekTo(std::FILE* stream, std::uint64_t offset) noexcept;

// Current position; false when unknown.
bool tell(std::FILE* stream, std::uint64_t& position) noexcept;

// Size of the stream in bytes, leaving the position where it was; false
// when the stream cannot seek.
bool size(std::FILE* stream, std::uint64_t& bytes) noexcept;

// The system's text for the last error (errno).
const char* lastErrorText() noexcept;

}  // namespace vornix::sound_io
