#include <cstdint>

#include "soundfile/sound_file_internal.h"

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

}  // namespace vornix::detail
