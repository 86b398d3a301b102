// The part of writing an AIFF or WAVE file that both share: the header
// written first with placeholders, the sizes that finishing patches in.
#include <array>
#include <cstdint>
#include <limits>

#include "soundfile/byte_order.h"
#include "soundfile/sound_file_internal.h"
#include "soundfile/stream_io.h"

namespace vornix::detail {

SoundFilePtr startWriting(std::FILE* stream, std::span<const std::uint8_t> header,
                          const char* routine, const SoundFormat& format, bool bigEndian,
                          std::int16_t sampleOffset) noexcept {
  if (!sound_io::writeAll(stream, header)) {
    sound_file_error("%s: cannot write the header: %s", routine, sound_io::lastErrorText());
    return nullptr;
  }
  SoundFilePtr file = newSoundFile();
  if (!file) return nullptr;
  file->file = stream;
  file->bits = format.bits;
  file->channels = format.channels;
  file->bigEndian = bigEndian ? 1 : 0;
  file->sampleOffset = sampleOffset;
  file->mode = 1;
  return file;
}

std::optional<WrittenSizes> writtenSizes(const SoundFile& file, const char* routine,
                                         std::uint64_t headerSize) noexcept {
  const int bytesPer = bytesPerSample(file.bits);
  if (bytesPer == 0 || file.samplesWritten < 0) {
    sound_file_error("%s: bad record: %d bits, %ld samples", routine, file.bits,
                     static_cast<long>(file.samplesWritten));
    return std::nullopt;
  }
  WrittenSizes sizes;
  sizes.samples = static_cast<std::uint64_t>(file.samplesWritten);
  sizes.dataSize = static_cast<std::uint64_t>(bytesPer) * sizes.samples;
  // Odd-sized content is followed by a pad byte that the chunk size leaves
  // out and the container's size counts.
  sizes.pad = (sizes.dataSize & 1U) != 0;
  const std::uint64_t containerSize = sizes.dataSize + (sizes.pad ? 1 : 0) + (headerSize - 8);
  if (containerSize > std::numeric_limits<std::uint32_t>::max()) {
    sound_file_error("%s: %llu bytes of sample data do not fit the header", routine,
                     static_cast<unsigned long long>(sizes.dataSize));
    return std::nullopt;
  }
  sizes.containerSize = static_cast<std::uint32_t>(containerSize);
  return sizes;
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
