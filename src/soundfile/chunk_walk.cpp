#include "soundfile/chunk_walk.h"

#include <cstring>

#include "soundfile/sound_file.h"
#include "soundfile/stream_io.h"

namespace vornix {

bool Chunk::is(const char (&tag)[5]) const noexcept {
  return std::memcmp(id.data(), tag, 4) == 0;
}

ChunkWalker::ChunkWalker(std::FILE* stream, const char* routine, sound_bytes::Order order,
                         std::uint64_t formEnd, std::uint64_t fileSize) noexcept
    : stream_(stream), routine_(routine), order_(order), formEnd_(formEnd), fileSize_(fileSize) {}

bool ChunkWalker::next(Chunk& chunk) noexcept {
  if (offset_ >= formEnd_) return false;
  std::array<std::uint8_t, 8> header{};
  sound_io::ReadResult result = sound_io::ReadResult::kEndOfFile;
  if (offset_ >= fileSize_) {
    result = sound_io::ReadResult::kEndOfFile;
  } else if (!sound_io::seekTo(stream_, offset_)) {
    result = sound_io::ReadResult::kError;
  } else {
    result = sound_io::readExact(stream_, header);
  }
  if (result != sound_io::ReadResult::kOk) {
    if (result == sound_io::ReadResult::kEndOfFile) {
      sound_file_error("%s: bad format: EOF encountered where chunk expected", routine_);
    } else {
      sound_file_error("%s: bad format: error encountered where chunk expected: %s", routine_,
                       sound_io::lastErrorText());
    }
    offset_ = formEnd_;
    return false;
  }
  std::memcpy(chunk.id.data(), header.data(), 4);
  sound_bytes::load<4>(header, 4, order_, chunk.size);
  chunk.contentOffset = offset_ + 8;

  const std::uint64_t contentEnd = chunk.contentOffset + chunk.size;
  if (contentEnd > fileSize_) {
    // The chunk is still handed out (a data chunk cut short is readable up
    // to the end of the file), but nothing after it can be trusted.
    sound_file_error(
        "%s: bad format: chunk at offset %llu declares %lu bytes, past the end of the file (%llu "
        "bytes)",
        routine_, static_cast<unsigned long long>(offset_), static_cast<unsigned long>(chunk.size),
        static_cast<unsigned long long>(fileSize_));
    offset_ = formEnd_;
  } else {
    offset_ = contentEnd + (chunk.size & 1U);
  }
  return true;
}

}  // namespace vornix
