// Feeds arbitrary bytes to both header open routines (and the 80-bit
// number decoder). Whatever the bytes, an open routine must return without
// a crash, an endless walk or a read outside the stream, and what it
// accepts must satisfy the ranges SoundFormat promises.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "soundfile/extended_float.h"
#include "soundfile/sound_file.h"

namespace {

struct CloseFile {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

void ignoreReport(const char*) {}

void check(bool condition) {
  if (!condition) std::abort();
}

void openWith(std::vector<std::uint8_t>& bytes, bool aiff) {
  std::unique_ptr<std::FILE, CloseFile> stream(fmemopen(bytes.data(), bytes.size(), "rb"));
  if (!stream) return;
  vornix::SoundFormat format;
  vornix::SoundFilePtr file =
      aiff ? vornix::aiff_open(stream.get(), format) : vornix::riff_open(stream.get(), format);
  if (!file) return;
  check(format.rate >= 1);
  check(format.bits >= 1 && format.channels >= 1);
  check(format.frames >= 0);
  check(file->bigEndian == (aiff ? 1 : 0));
  check(file->sampleOffset == ((!aiff && format.bits < 9) ? 128 : 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool installed = (vornix::setSoundFileErrorCallback(&ignoreReport), true);
  (void)installed;
  if (size == 0) return 0;
  std::vector<std::uint8_t> bytes(data, data + size);
  openWith(bytes, true);
  openWith(bytes, false);
  if (size >= vornix::kExtendedSize) {
    const double value = vornix::decodeExtended(
        std::span<const std::uint8_t, vornix::kExtendedSize>(data, vornix::kExtendedSize));
    // Every double survives the round trip (NaN aside, which decoding never gives).
    check(vornix::decodeExtended(vornix::encodeExtended(value)) == value);
  }
  return 0;
}
