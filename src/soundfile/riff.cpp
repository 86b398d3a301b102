// RIFF WAVE headers with PCM data.
#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>

#include "soundfile/byte_order.h"
#include "soundfile/chunk_walk.h"
#include "soundfile/sound_file.h"
#include "soundfile/sound_file_internal.h"
#include "soundfile/stream_io.h"

namespace vornix {

namespace {

using sound_bytes::Order;

constexpr std::size_t kHeaderSize = 44;
constexpr std::uint32_t kPlaceholder = 0xDEADBEEF;
constexpr std::uint16_t kTagPcm = 1;
constexpr std::uint16_t kTagExtensible = 0xFFFE;
constexpr std::size_t kFormatSizePcm = 16;
constexpr std::size_t kFormatSizeExtensible = 40;
constexpr std::size_t kFormatSizeMinimum = 14;  // up to the block alignment

// The PCM sub-format of the extensible layout, as stored at offset 24 of the
// format chunk.
constexpr std::array<std::uint8_t, 16> kPcmSubFormat{
    0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

struct FormatChunk {
  std::uint32_t channels = 0;
  std::uint32_t rate = 0;
  std::uint32_t bits = 0;
  bool pcm = false;
};

// Reads the format chunk; false (reported) when it is too short for its
// format tag or cannot be read.
bool readFormat(std::FILE* stream, const Chunk& chunk, FormatChunk& format) {
  if (chunk.size < kFormatSizeMinimum) {
    sound_file_error("riff_open: bad format: format chunk too short (%lu bytes)",
                     static_cast<unsigned long>(chunk.size));
    return false;
  }
  std::array<std::uint8_t, kFormatSizeExtensible> bytes{};
  const std::size_t length = chunk.size < bytes.size() ? chunk.size : bytes.size();
  const std::span<const std::uint8_t> fields = std::span(bytes).first(length);
  const auto result = sound_io::readExact(stream, std::span(bytes).first(length));
  if (result == sound_io::ReadResult::kEndOfFile) {
    sound_file_error("riff_open: bad format: EOF encountered in format chunk");
    return false;
  }
  if (result == sound_io::ReadResult::kError) {
    sound_file_error("riff_open: bad format: error encountered in format chunk: %s",
                     sound_io::lastErrorText());
    return false;
  }
  std::uint16_t tag = 0;
  sound_bytes::load<2>(fields, 0, Order::kLittle, tag);
  sound_bytes::load<2>(fields, 2, Order::kLittle, format.channels);
  sound_bytes::load<4>(fields, 4, Order::kLittle, format.rate);
  format.bits = 0;
  format.pcm = false;
  if (tag == kTagPcm || tag == kTagExtensible) {
    const std::size_t needed = tag == kTagPcm ? kFormatSizePcm : kFormatSizeExtensible;
    if (length < needed) {
      sound_file_error("riff_open: bad format: format chunk too short (%lu bytes)",
                       static_cast<unsigned long>(chunk.size));
      return false;
    }
    sound_bytes::load<2>(fields, 14, Order::kLittle, format.bits);
    format.pcm = tag == kTagPcm ||
                 std::equal(kPcmSubFormat.begin(), kPcmSubFormat.end(), bytes.begin() + 24);
  }
  return true;
}

}  // namespace

SoundFilePtr riff_open(std::FILE* stream, SoundFormat& format) {
  std::array<std::uint8_t, 12> head{};
  const auto headRead = sound_io::readExact(stream, head);
  if (headRead == sound_io::ReadResult::kError) {
    sound_file_error("riff_open: cannot read the header: %s", sound_io::lastErrorText());
    return nullptr;
  }
  if (headRead != sound_io::ReadResult::kOk || !sound_bytes::hasTag(head, 0, "RIFF") ||
      !sound_bytes::hasTag(head, 8, "WAVE")) {
    return nullptr;
  }
  std::uint32_t riffSize = 0;
  sound_bytes::load<4>(head, 4, Order::kLittle, riffSize);

  std::uint64_t fileSize = 0;
  if (!sound_io::size(stream, fileSize)) {
    sound_file_error("riff_open: the stream cannot seek: %s", sound_io::lastErrorText());
    return nullptr;
  }

  FormatChunk fmt;
  bool haveFormat = false;
  bool haveData = false;
  std::uint32_t dataSize = 0;
  std::uint64_t dataStart = 0;
  ChunkWalker walker(stream, "riff_open", Order::kLittle, std::uint64_t{riffSize} + 8, fileSize);
  Chunk chunk;
  while (walker.next(chunk)) {
    if (chunk.is("fmt ")) {
      if (!readFormat(stream, chunk, fmt)) return nullptr;
      haveFormat = true;
    } else if (chunk.is("data")) {
      dataSize = chunk.size;
      dataStart = chunk.contentOffset;
      haveData = true;
    }
  }

  bool usable = true;
  if (!haveFormat) {
    sound_file_error("riff_open: bad format: format chunk not found");
    usable = false;
  }
  if (!haveData) {
    sound_file_error("riff_open: bad format: data chunk not found");
    usable = false;
  }
  if (haveFormat && !fmt.pcm) {
    sound_file_error("riff_open: bad format: only PCM data is supported");
    usable = false;
  }
  if (!usable) return nullptr;
  if (!detail::formatNumbersFit("riff_open", static_cast<double>(fmt.rate), fmt.bits,
                                fmt.channels)) {
    return nullptr;
  }
  const auto bytesPer = static_cast<std::uint32_t>(bytesPerSample(static_cast<int>(fmt.bits)));
  const std::uint32_t samples = dataSize / bytesPer;
  if (samples > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max())) {
    sound_file_error("riff_open: bad format: %lu samples do not fit",
                     static_cast<unsigned long>(samples));
    return nullptr;
  }
  if (!sound_io::seekTo(stream, dataStart)) {
    sound_file_error("riff_open: cannot seek to the sample data: %s", sound_io::lastErrorText());
    return nullptr;
  }

  SoundFilePtr file = detail::newSoundFile();
  if (!file) return nullptr;
  file->file = stream;
  file->bits = static_cast<std::int8_t>(fmt.bits);
  file->channels = static_cast<std::int8_t>(fmt.channels);
  file->bigEndian = 0;
  file->sampleOffset = fmt.bits < 9 ? 128 : 0;
  file->dataBytes = dataSize;

  // The range checks above make every conversion exact.
  format.rate = static_cast<std::int32_t>(fmt.rate);
  format.bits = static_cast<std::int8_t>(fmt.bits);
  format.channels = static_cast<std::int8_t>(fmt.channels);
  format.frames = static_cast<std::int32_t>(samples);
  return file;
}

SoundFilePtr riff_create(std::FILE* stream, const SoundFormat& format) {
  if (!detail::createFormatValid("riff_create", format)) return nullptr;
  const auto bytesPer = static_cast<std::uint64_t>(bytesPerSample(format.bits));
  const auto channels = static_cast<std::uint64_t>(format.channels);
  const std::uint64_t blockAlign = bytesPer * channels;
  const std::uint64_t bytesPerSecond = blockAlign * static_cast<std::uint64_t>(format.rate);
  if (bytesPerSecond > std::numeric_limits<std::uint32_t>::max()) {
    sound_file_error("riff_create: %llu bytes per second do not fit the header",
                     static_cast<unsigned long long>(bytesPerSecond));
    return nullptr;
  }
  std::array<std::uint8_t, kHeaderSize> header{};
  const std::span<std::uint8_t> out(header);
  sound_bytes::storeTag(out, 0, "RIFF");
  sound_bytes::store<4>(out, 4, Order::kLittle, kPlaceholder);
  sound_bytes::storeTag(out, 8, "WAVE");
  sound_bytes::storeTag(out, 12, "fmt ");
  sound_bytes::store<4>(out, 16, Order::kLittle, kFormatSizePcm);
  sound_bytes::store<2>(out, 20, Order::kLittle, kTagPcm);
  sound_bytes::store<2>(out, 22, Order::kLittle, channels);
  sound_bytes::store<4>(out, 24, Order::kLittle, static_cast<std::uint64_t>(format.rate));
  sound_bytes::store<4>(out, 28, Order::kLittle, bytesPerSecond);
  sound_bytes::store<2>(out, 32, Order::kLittle, blockAlign);
  sound_bytes::store<2>(out, 34, Order::kLittle, static_cast<std::uint64_t>(format.bits));
  sound_bytes::storeTag(out, 36, "data");
  sound_bytes::store<4>(out, 40, Order::kLittle, kPlaceholder);
  return detail::startWriting(stream, header, "riff_create", format, false,
                              format.bits < 9 ? 128 : 0);
}

bool riff_finish(SoundFile& file) {
  if (file.mode != 1) return true;
  const std::optional<detail::WrittenSizes> sizes =
      detail::writtenSizes(file, "riff_finish", kHeaderSize);
  if (!sizes) return false;
  const std::array<detail::SizeField, 2> fields{{
      {4, sizes->containerSize},
      {40, static_cast<std::uint32_t>(sizes->dataSize)},
  }};
  return detail::patchSizes(file, "riff_finish", sizes->pad, false, fields);
}

}  // namespace vornix
