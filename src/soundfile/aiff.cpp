// AIFF and AIFF-C headers.
#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>

#include "soundfile/byte_order.h"
#include "soundfile/chunk_walk.h"
#include "soundfile/extended_float.h"
#include "soundfile/sound_file.h"
#include "soundfile/sound_file_internal.h"
#include "soundfile/stream_io.h"

namespace vornix {

namespace {

using sound_bytes::Order;

constexpr std::size_t kHeaderSize = 54;
constexpr std::uint32_t kPlaceholder = 0xDEADBEAF;
constexpr std::size_t kCommonSize = 18;      // channels, frames, bits, rate
constexpr std::size_t kCommonSizeAifc = 22;  // ... and the compression type

struct CommonChunk {
  std::uint32_t channels = 0;
  std::uint32_t frames = 0;
  std::uint32_t bits = 0;
  double rate = 0.0;
  bool compressed = false;
};

// Reads the common chunk's fields; false (reported) when the chunk is too
// short or cannot be read, which makes the header unusable.
bool readCommon(std::FILE* stream, const Chunk& chunk, bool aifc, CommonChunk& common) {
  const std::size_t needed = aifc ? kCommonSizeAifc : kCommonSize;
  if (chunk.size < needed) {
    sound_file_error("aiff_open: bad format: common chunk too short (%lu bytes)",
                     static_cast<unsigned long>(chunk.size));
    return false;
  }
  std::array<std::uint8_t, kCommonSizeAifc> bytes{};
  const auto result = sound_io::readExact(stream, std::span(bytes).first(needed));
  if (result == sound_io::ReadResult::kEndOfFile) {
    sound_file_error("aiff_open: bad format: EOF encountered in common chunk");
    return false;
  }
  if (result == sound_io::ReadResult::kError) {
    sound_file_error("aiff_open: bad format: error encountered in common chunk: %s",
                     sound_io::lastErrorText());
    return false;
  }
  sound_bytes::load<2>(bytes, 0, Order::kBig, common.channels);
  sound_bytes::load<4>(bytes, 2, Order::kBig, common.frames);
  sound_bytes::load<2>(bytes, 6, Order::kBig, common.bits);
  common.rate = decodeExtended(std::span(bytes).subspan<8, kExtendedSize>());
  common.compressed = aifc && !sound_bytes::hasTag(bytes, 18, "NONE");
  return true;
}

struct SoundData {
  std::uint64_t start = 0;  // file offset of the first sample
  std::uint64_t bytes = 0;  // bytes of samples the chunk declares
};

// Reads the sound-data chunk's offset field; false (reported) when the
// chunk cannot hold it.
bool readSoundData(std::FILE* stream, const Chunk& chunk, SoundData& data) {
  std::array<std::uint8_t, 8> bytes{};
  if (chunk.size < bytes.size()) {
    sound_file_error("aiff_open: bad format: sound data chunk too short (%lu bytes)",
                     static_cast<unsigned long>(chunk.size));
    return false;
  }
  const auto result = sound_io::readExact(stream, bytes);
  if (result != sound_io::ReadResult::kOk) {
    sound_file_error("aiff_open: bad format: %s encountered in sound data chunk",
                     result == sound_io::ReadResult::kEndOfFile ? "EOF" : "error");
    return false;
  }
  std::uint32_t offset = 0;
  sound_bytes::load<4>(bytes, 0, Order::kBig, offset);
  const std::uint64_t room = std::uint64_t{chunk.size} - bytes.size();
  if (offset > room) {
    sound_file_error("aiff_open: bad format: sound data offset %lu lies outside its chunk",
                     static_cast<unsigned long>(offset));
    return false;
  }
  data.start = chunk.contentOffset + bytes.size() + offset;
  data.bytes = room - offset;
  return true;
}

}  // namespace

SoundFilePtr aiff_open(std::FILE* stream, SoundFormat& format) {
  std::array<std::uint8_t, 12> head{};
  const auto headRead = sound_io::readExact(stream, head);
  if (headRead == sound_io::ReadResult::kError) {
    sound_file_error("aiff_open: cannot read the header: %s", sound_io::lastErrorText());
    return nullptr;
  }
  if (headRead != sound_io::ReadResult::kOk || !sound_bytes::hasTag(head, 0, "FORM")) {
    return nullptr;
  }
  const bool aifc = sound_bytes::hasTag(head, 8, "AIFC");
  if (!aifc && !sound_bytes::hasTag(head, 8, "AIFF")) return nullptr;
  std::uint32_t formSize = 0;
  sound_bytes::load<4>(head, 4, Order::kBig, formSize);

  std::uint64_t fileSize = 0;
  if (!sound_io::size(stream, fileSize)) {
    sound_file_error("aiff_open: the stream cannot seek: %s", sound_io::lastErrorText());
    return nullptr;
  }

  CommonChunk common;
  SoundData data;
  bool haveCommon = false;
  bool haveData = false;
  ChunkWalker walker(stream, "aiff_open", Order::kBig, std::uint64_t{formSize} + 8, fileSize);
  Chunk chunk;
  while (walker.next(chunk)) {
    if (chunk.is("COMM")) {
      if (!readCommon(stream, chunk, aifc, common)) return nullptr;
      haveCommon = true;
    } else if (chunk.is("SSND")) {
      if (!readSoundData(stream, chunk, data)) return nullptr;
      haveData = true;
    }
  }

  bool usable = true;
  if (!haveCommon) {
    sound_file_error("aiff_open: bad format: did not find common chunk");
    usable = false;
  }
  if (!haveData) {
    sound_file_error("aiff_open: bad format: did not find sound data chunk");
    usable = false;
  }
  if (haveCommon && common.compressed) {
    sound_file_error("aiff_open: bad format: compressed AIFF-C files not supported");
    usable = false;
  }
  if (!usable) return nullptr;
  if (!detail::formatNumbersFit("aiff_open", common.rate, common.bits, common.channels)) {
    return nullptr;
  }
  if (common.frames > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max())) {
    sound_file_error("aiff_open: bad format: %lu sample frames do not fit",
                     static_cast<unsigned long>(common.frames));
    return nullptr;
  }
  if (!sound_io::seekTo(stream, data.start)) {
    sound_file_error("aiff_open: cannot seek to the sample data: %s", sound_io::lastErrorText());
    return nullptr;
  }

  SoundFilePtr file = detail::newSoundFile();
  if (!file) return nullptr;
  const auto bytesPer = static_cast<std::uint64_t>(bytesPerSample(static_cast<int>(common.bits)));
  const std::uint64_t declared = std::uint64_t{common.frames} * common.channels * bytesPer;
  file->file = stream;
  file->bits = static_cast<std::int8_t>(common.bits);
  file->channels = static_cast<std::int8_t>(common.channels);
  file->bigEndian = 1;
  file->sampleOffset = 0;
  file->dataBytes = declared < data.bytes ? declared : data.bytes;

  // The range checks above make every conversion exact; the rate is truncated.
  format.rate = static_cast<std::int32_t>(common.rate);
  format.bits = static_cast<std::int8_t>(common.bits);
  format.channels = static_cast<std::int8_t>(common.channels);
  format.frames = static_cast<std::int32_t>(common.frames);
  return file;
}

SoundFilePtr aiff_create(std::FILE* stream, const SoundFormat& format) {
  if (!detail::createFormatValid("aiff_create", format)) return nullptr;
  std::array<std::uint8_t, kHeaderSize> header{};
  const std::span<std::uint8_t> out(header);
  sound_bytes::storeTag(out, 0, "FORM");
  sound_bytes::store<4>(out, 4, Order::kBig, kPlaceholder);
  sound_bytes::storeTag(out, 8, "AIFF");
  sound_bytes::storeTag(out, 12, "COMM");
  sound_bytes::store<4>(out, 16, Order::kBig, kCommonSize);
  sound_bytes::store<2>(out, 20, Order::kBig, static_cast<std::uint64_t>(format.channels));
  sound_bytes::store<4>(out, 22, Order::kBig, kPlaceholder);
  sound_bytes::store<2>(out, 26, Order::kBig, static_cast<std::uint64_t>(format.bits));
  const auto rate = encodeExtended(static_cast<double>(format.rate));
  std::copy(rate.begin(), rate.end(), header.begin() + 28);
  sound_bytes::storeTag(out, 38, "SSND");
  sound_bytes::store<4>(out, 42, Order::kBig, kPlaceholder);
  // Data offset and block size at 46 and 50 stay 0.
  return detail::startWriting(stream, header, "aiff_create", format, true, 0);
}

bool aiff_finish(SoundFile& file) {
  if (file.mode != 1) return true;
  const std::optional<detail::WrittenSizes> sizes =
      detail::writtenSizes(file, "aiff_finish", kHeaderSize);
  if (!sizes) return false;
  const std::uint64_t channels = file.channels > 0 ? static_cast<std::uint64_t>(file.channels) : 1;
  const std::array<detail::SizeField, 3> fields{{
      {4, sizes->containerSize},
      {22, static_cast<std::uint32_t>(sizes->samples / channels)},
      {42, static_cast<std::uint32_t>(sizes->dataSize + 8)},
  }};
  return detail::patchSizes(file, "aiff_finish", sizes->pad, true, fields);
}

}  // namespace vornix
