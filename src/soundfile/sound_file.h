// Headers of uncompressed sound files: AIFF / AIFF-C (big-endian) and RIFF
// WAVE with PCM data (little-endian).
//
// For each format there are three routines, gathered in soundFileTypes():
//   open   - reads and checks the header of an existing file and leaves the
//            stream at the first byte of sample data;
//   create - writes a header with placeholder sizes at the current position
//            (the start of a new file);
//   finish - patches the sizes into that header once all samples are written.
// Sample data itself is read and written by the owner of the stream; see
// sample_reader.h for a reader built on these routines.
//
// Streams: the routines take a seekable std::FILE* that they do not own and
// never close. The header is at byte 0 of the stream, and the open routines
// expect the stream to stand there.
//
// Failure: every problem except a wrong magic number is reported through
// sound_file_error() (see setSoundFileErrorCallback) and yields null/false.
// A wrong magic ("FORM"/"AIFF"/"AIFC", "RIFF"/"WAVE") yields null silently,
// so that a caller can try each format in turn.
//
// Thread safety: the routines keep no state of their own; distinct streams
// can be handled on distinct threads. The error callback is process-wide.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string_view>

namespace vornix {

// The description of a sound exchanged with the caller.
struct SoundFormat {
  std::int32_t rate = 0;     // samples per second per channel, 1 .. 2^31-1
  std::int8_t bits = 0;      // bits per sample, 1 .. 127
  std::int8_t channels = 0;  // 1 .. 127
  // AIFF: number of sample frames (one sample per channel each).
  // WAVE: data size / bytes per sample, i.e. samples over all channels.
  std::int32_t frames = 0;
};

// The per-file record made by the open and create routines. The record does
// not own `file`.
struct SoundFile {
  std::FILE* file = nullptr;
  std::int8_t bits = 0;             // bits per sample
  std::int8_t channels = 0;         // channels (AIFF finish derives frames from it)
  std::int32_t bigEndian = 0;       // 1 for AIFF, 0 for WAVE
  std::int16_t sampleOffset = 0;    // 128 for WAVE of <= 8 bits (unsigned samples), else 0
  std::int32_t samplesWritten = 0;  // samples over all channels written so far
  std::int32_t mode = 0;            // 1 while the file is being written
  // Set by the open routines: bytes of sample data that the header declares
  // after the first sample (the file itself may end sooner).
  std::uint64_t dataBytes = 0;
};

// Releases a record made by sound_file_alloc.
struct SoundFileFree {
  void operator()(SoundFile* file) const noexcept;
};
using SoundFilePtr = std::unique_ptr<SoundFile, SoundFileFree>;

// Bytes per sample: (bits + 7) / 8, truncating; 0 for bits <= 0.
constexpr int bytesPerSample(int bits) noexcept {
  return bits > 0 ? (bits + 7) / 8 : 0;
}

// ---- AIFF / AIFF-C -------------------------------------------------------

// Reads an AIFF or AIFF-C (compression "NONE") header. On success `format`
// is filled (frames = number of sample frames), the stream stands at the
// first sample, and the record has bigEndian 1, sampleOffset 0. Null when the
// stream is not AIFF (no report) or its header is unusable (reported).
SoundFilePtr aiff_open(std::FILE* stream, SoundFormat& format);

// Writes the 54-byte AIFF header with placeholder sizes (0xDEADBEAF) at the
// current position. The record has bigEndian 1, sampleOffset 0, mode 1 and
// the format's bits and channels. Null (reported) for a format the header
// cannot hold or a failed write.
SoundFilePtr aiff_create(std::FILE* stream, const SoundFormat& format);

// When mode is 1: pads the sample data to an even length, then patches the
// form size, the number of sample frames (samplesWritten / channels) and
// the sound-data size. The stream is left at the end of the file. False
// (reported) when a size does not fit the header or an I/O operation fails;
// true otherwise, including when mode is not 1 (nothing to do).
bool aiff_finish(SoundFile& file);

// ---- RIFF WAVE -------------------------------------------------------------

// Reads a RIFF WAVE header with PCM data (format tag 1, or the extensible
// tag 0xFFFE with the PCM sub-format). On success `format` is filled
// (frames = data size / bytes per sample), the stream stands at the first
// sample, and the record has bigEndian 0 and sampleOffset 128 for 8 bits or
// fewer, else 0. Null when the stream is not WAVE (no report) or its header
// is unusable (reported).
SoundFilePtr riff_open(std::FILE* stream, SoundFormat& format);

// Writes the 44-byte WAVE header with placeholder sizes (0xDEADBEEF) at the
// current position. Null (reported) for a format the header cannot hold or a
// failed write.
SoundFilePtr riff_create(std::FILE* stream, const SoundFormat& format);

// When mode is 1: pads odd-sized sample data with one zero byte, then patches
// the RIFF size and the data size. Same results as aiff_finish.
bool riff_finish(SoundFile& file);

// ---- The format table ------------------------------------------------------

struct SoundFileType {
  std::string_view name;
  SoundFilePtr (*open)(std::FILE* stream, SoundFormat& format);
  SoundFilePtr (*create)(std::FILE* stream, const SoundFormat& format);
  bool (*finish)(SoundFile& file);
};

// Two entries in this order: AIFF, WAVE. Static storage; valid for ever.
std::span<const SoundFileType> soundFileTypes() noexcept;

// ---- Reports and allocation ------------------------------------------------

// Receives every report as one line ending in '\n'. The text is valid only
// during the call. The callback may run on any thread that uses the
// routines, concurrently with itself.
using SoundFileErrorCallback = void (*)(const char* text);

// Installs the process-wide callback (null: reports go to stderr) and
// returns the previous one. Safe to call from any thread.
SoundFileErrorCallback setSoundFileErrorCallback(SoundFileErrorCallback callback) noexcept;

// Formats a report (printf rules), appends a line break (the text is cut to
// 1023 characters) and passes it to the callback, or writes it to stderr
// when none is installed. The text is formatted in a per-thread buffer.
void sound_file_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The C allocator. On failure reports "malloc: out of memory" and returns
// null. The block is released with std::free.
void* sound_file_alloc(std::size_t size) noexcept;

}  // namespace vornix
