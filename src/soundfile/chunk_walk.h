// The chunk walk shared by the AIFF and WAVE open routines.
//
// Chunks follow each other from byte 12 of the file: a four-character id, a
// 32-bit size (byte order of the format), the content, and one pad byte
// after odd-sized content. The walk never trusts a size beyond the bytes
// that are really there: it ends at the end of the form (as the header
// declares it), and ends with a report when a chunk's content runs past the
// end of the file or a chunk header cannot be read. Positions are computed
// in 64 bits, so every step advances by at least 8 bytes and the walk ends
// after at most fileSize / 8 chunks.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>

#include "soundfile/byte_order.h"

namespace vornix {

struct Chunk {
  std::array<char, 4> id{};
  std::uint32_t size = 0;           // as declared
  std::uint64_t contentOffset = 0;  // file offset of the first content byte

  bool is(const char (&tag)[5]) const noexcept;
};

class ChunkWalker {
 public:
  // `routine` prefixes reports ("aiff_open"); it must outlive the walker.
  // `formEnd` is the declared end of the form, `fileSize` the stream's real size.
  ChunkWalker(std::FILE* stream, const char* routine, sound_bytes::Order order,
              std::uint64_t formEnd, std::uint64_t fileSize) noexcept;

  // Reads the next chunk header and leaves the stream at its content. False
  // when the walk is over, either normally or after a report.
  bool next(Chunk& chunk) noexcept;

 private:
  std::FILE* stream_;
  const char* routine_;
  sound_bytes::Order order_;
  std::uint64_t formEnd_;
  std::uint64_t fileSize_;
  std::uint64_t offset_ = 12;
};

}  // namespace vornix
