// `loquant info FILE`: the header of a WAV or AIFF file as the sound-file
// routines read it, or the reason it was refused.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "analyze.h"
#include "sound_report.h"
#include "soundfile/sound_file.h"
#include "standard_output.h"
#include "verbs.h"

namespace loquant::cli {

namespace {

struct CloseFile {
  void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};

// "AIFF", "AIFC" or "WAVE" from the first twelve bytes.
std::string container(std::FILE* file) {
  unsigned char head[12] = {};
  const std::size_t got = std::fread(head, 1, sizeof head, file);
  std::rewind(file);
  if (got < 12) return "";
  if (std::memcmp(head, "FORM", 4) == 0) return std::string(reinterpret_cast<char*>(head + 8), 4);
  if (std::memcmp(head, "RIFF", 4) == 0) return std::string(reinterpret_cast<char*>(head + 8), 4);
  return "";
}

}  // namespace

int infoVerb(const Arguments& args) {
  if (args.size() != 1 || args[0].empty() || args[0][0] == '-') {
    std::fprintf(stderr, "usage: loquant info FILE\n");
    return kExitUsage;
  }
  const std::string& path = args[0];
  // A pipe or a device would block the open or the read forever.
  std::error_code ec;
  if (std::filesystem::exists(path, ec) && !std::filesystem::is_regular_file(path, ec)) {
    std::fprintf(stderr, "loquant info: %s: not a regular file\n", path.c_str());
    return kExitInput;
  }
  std::unique_ptr<std::FILE, CloseFile> file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    std::fprintf(stderr, "loquant info: %s: %s\n", path.c_str(), std::strerror(errno));
    return kExitInput;
  }
  captureSoundFileReports();
  const std::string kind = container(file.get());
  vornix::SoundFormat format;
  vornix::SoundFilePtr record;
  if (kind == "AIFF" || kind == "AIFC") {
    record = vornix::aiff_open(file.get(), format);
  } else if (kind == "WAVE") {
    record = vornix::riff_open(file.get(), format);
  }
  if (!record) {
    const std::string why = lastSoundFileReport("not a WAV or AIFF file");
    std::fprintf(stderr, "loquant info: %s: %s\n", path.c_str(), why.c_str());
    return kExitInput;
  }
  const long dataOffset = std::ftell(file.get());
  const int bytesPerSample = (format.bits + 7) / 8;
  const double sampleFrames = kind == "WAVE" ? static_cast<double>(format.frames) / format.channels
                                             : static_cast<double>(format.frames);
  char header[512];
  std::snprintf(header, sizeof header,
                "format:      %s, %d-bit %s PCM%s\n"
                "rate:        %d Hz\n"
                "channels:    %d\n"
                "frames:      %.0f\n"
                "duration:    %.3f s\n"
                "data offset: %ld bytes\n"
                "data size:   %llu bytes (%d per sample)\n",
                kind.c_str(), format.bits, record->bigEndian != 0 ? "big-endian" : "little-endian",
                record->sampleOffset != 0 ? " (unsigned)" : "", format.rate, format.channels,
                sampleFrames, sampleFrames / format.rate, dataOffset,
                static_cast<unsigned long long>(record->dataBytes), bytesPerSample);
  const std::string text = "file:        " + path + "\n" + header;
  std::string reason;
  if (!writeAll(stdout, text, reason) || !flushAll(stdout, reason)) {
    std::fprintf(stderr, "loquant info: cannot write the output: %s\n", reason.c_str());
    return kExitInput;
  }
  return kExitOk;
}

}  // namespace loquant::cli
