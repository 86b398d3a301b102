// Streams the samples of an uncompressed AIFF / AIFF-C or WAVE file as
// 16-bit values, one channel at a time or interleaved.
//
// Supported sample sizes: 1 to 4 bytes. 8-bit WAVE samples are unsigned and
// are re-centred; AIFF 8-bit samples are signed. Wider samples are reduced
// to their top 16 bits (truncation, no rounding or dither). Byte order is
// the file's.
//
// Memory: one fixed read block (64 KiB) and, for per-channel reads of more
// than one channel, one fixed scratch block, whatever the file length.
//
// End of stream: reading stops at the end of the data the header declares
// or at the end of the file, whichever comes first; a final partial frame of
// a cut-short file is dropped. A read error also ends the stream, and
// failed() then tells it apart from a clean end.
//
// Thread safety: one reader per thread; distinct readers are independent.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "soundfile/sound_file.h"

namespace vornix {

class SampleReader {
 public:
  // Opens `path` and reads its header. Empty when the file cannot be opened,
  // is neither AIFF nor WAVE, has an unusable header, or has samples wider
  // than 32 bits; the reason is reported through sound_file_error.
  static std::optional<SampleReader> open(const std::filesystem::path& path);

  SampleReader(SampleReader&&) noexcept = default;
  SampleReader& operator=(SampleReader&&) noexcept = default;
  SampleReader(const SampleReader&) = delete;
  SampleReader& operator=(const SampleReader&) = delete;
  ~SampleReader() = default;

  // The header's description (frames as the format's open routine gives it).
  const SoundFormat& format() const noexcept { return format_; }
  int channels() const noexcept { return channels_; }

  // Reads up to out.size() / channels() whole frames, interleaved. Returns
  // the frames read; fewer than asked only at the end of the stream.
  std::size_t readInterleaved(std::span<std::int16_t> out);

  // Reads up to n frames, n being the smallest span size, sample k of
  // channel c going to perChannel[c][k]. perChannel.size() must equal
  // channels(), else nothing is read and 0 is returned. Returns the frames read.
  std::size_t read(std::span<const std::span<std::int16_t>> perChannel);

  // True once the stream has ended (every later read returns 0 frames).
  bool atEnd() const noexcept;
  // True when a read error, not the end of the data, ended the stream.
  bool failed() const noexcept { return failed_; }

 private:
  struct CloseFile {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
  };
  using FilePtr = std::unique_ptr<std::FILE, CloseFile>;

  SampleReader(FilePtr file, SoundFilePtr record, const SoundFormat& format);

  // Tops up the read block; false when no whole frame is left to decode.
  bool refill();
  void decode(const std::uint8_t* in, std::size_t samples, std::int16_t* out) const noexcept;

  FilePtr file_;
  SoundFilePtr record_;
  SoundFormat format_{};
  int channels_ = 0;
  std::size_t bytesPerSample_ = 0;
  std::size_t frameBytes_ = 0;
  bool bigEndian_ = false;
  bool unsignedBytes_ = false;
  std::uint64_t remaining_ = 0;  // declared data bytes not yet read from the file
  std::vector<std::uint8_t> block_;
  std::size_t position_ = 0;  // next undecoded byte in block_
  std::size_t filled_ = 0;    // bytes of block_ holding data
  std::vector<std::int16_t> scratch_;
  bool ended_ = false;  // no more bytes will come from the file
  bool failed_ = false;
};

}  // namespace vornix
