#include <array>
#include <cstdint>

#include "soundfile/byte_order.h"
#include "soundfile/sound_file_internal.h"
#include "soundfile/stream_io.h"

namespace vornix::detail {

bool formatNumbersFit(const char* routine, double rate, std::uint32_t bits,
                      std::uint32_t channels) noexcept {
  if (channels < 1 || channels > 127) {
    sound_file_error("%s: bad format: %lu channels not supported", routine,
                     static_cast<unsigned long>(channels));
    return false;
  }
  if (bits < 1 || bits > 127) {
    sound_file_error("%s: bad format: %lu bits per sample not supported", routine,
                     static_cast<unsigned long>(bits));
    return false;
  }
  // Written so that a NaN fails too.
  if (!(rate >= 1.0 && rate < 2147483648.0)) {
    sound_file_error("%s: bad format: sample rate %g not supported", routine, rate);
    return false;
  }
  return true;
}

bool createFormatValid(const char* routine, const SoundFormat& format) noexcept {
  if (format.rate < 1 || format.bits < 1 || format.channels < 1) {
    sound_file_error("%s: format not supported: rate %ld, %d bits, %d channels", routine,
                     static_cast<long>(format.rate), format.bits, format.channels);
    return false;
  }
  return true;
}

bool patchSizes(SoundFile& file, const char* routine, bool pad, bool bigEndian,
                std::span<const SizeField> fields) noexcept {
  std::FILE* stream = file.file;
  if (stream == nullptr) {
    sound_file_error("%s: no stream", routine);
    return false;
  }
  if (pad) {
    const std::array<std::uint8_t, 1> zero{0};
    if (!sound_io::writeAll(stream, zero)) {
      sound_file_error("%s: cannot write the pad byte: %s", routine, sound_io::lastErrorText());
      return false;
    }
  }
  std::uint64_t end = 0;
  if (!sound_io::tell(stream, end)) {
    sound_file_error("%s: cannot find the end of the data: %s", routine, sound_io::lastErrorText());
    return false;
  }
  const auto order = bigEndian ? sound_bytes::Order::kBig : sound_bytes::Order::kLittle;
  for (const SizeField& field : fields) {
    std::array<std::uint8_t, 4> bytes{};
    sound_bytes::store<4>(bytes, 0, order, field.value);
    if (!sound_io::seekTo(stream, field.offset) || !sound_io::writeAll(stream, bytes)) {
      sound_file_error("%s: cannot patch the header at offset %llu: %s", routine,
                       static_cast<unsigned long long>(field.offset), sound_io::lastErrorText());
      return false;
    }
  }
  if (!sound_io::seekTo(stream, end) || std::fflush(stream) != 0) {
    sound_file_error("%s: cannot complete the header: %s", routine, sound_io::lastErrorText());
    return false;
  }
  return true;
}

}  // namespace vornix::detail
