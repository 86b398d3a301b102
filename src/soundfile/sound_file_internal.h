// Pieces shared by the AIFF and WAVE routines; not part of the interface.
#pragma once

#include <cstdio>
#include <optional>
#include <span>

#include "soundfile/sound_file.h"

namespace vornix::detail {

// A zero-initialised record from sound_file_alloc; null (reported) when
// the allocation fails.
SoundFilePtr newSoundFile() noexcept;

}  // namespace vornix::detail

namespace vornix::detail {

// Checks header numbers against what SoundFormat can hold: channels and
// bits 1..127, a finite rate in 1 .. 2^31-1. Reports the first misfit with
// the routine's name and returns false.
bool formatNumbersFit(const char* routine, double rate, std::uint32_t bits,
                      std::uint32_t channels) noexcept;

// Checks a format handed to a create routine: rate, bits and channels at
// least 1. Reports and returns false otherwise.
bool createFormatValid(const char* routine, const SoundFormat& format) noexcept;

// Writes the pad byte (when `pad`), then each (offset, value) field with
// `order`, and leaves the stream at the end of the data and pad. Reports
// failures with the routine's name.
struct SizeField {
  std::uint64_t offset;
  std::uint32_t value;
};
bool patchSizes(SoundFile& file, const char* routine, bool pad, bool bigEndian,
                std::span<const SizeField> fields) noexcept;

// The shared end of a create routine: writes `header` (a failure reported as
// "<routine>: cannot write the header: ...") and returns the record set up
// for writing samples of `format` after it (mode 1). Null when either fails.
SoundFilePtr startWriting(std::FILE* stream, std::span<const std::uint8_t> header,
                          const char* routine, const SoundFormat& format, bool bigEndian,
                          std::int16_t sampleOffset) noexcept;

// What a finish routine patches in: the sample data's size in bytes, whether
// a pad byte follows it, and the size of the container (everything after its
// first 8 bytes). Empty (reported with the routine's name) when the record's
// bits or sample count are unusable or the container would not fit 32 bits.
struct WrittenSizes {
  std::uint64_t samples = 0;
  std::uint64_t dataSize = 0;
  std::uint32_t containerSize = 0;
  bool pad = false;
};
std::optional<WrittenSizes> writtenSizes(const SoundFile& file, const char* routine,
                                         std::uint64_t headerSize) noexcept;

}  // namespace vornix::detail
