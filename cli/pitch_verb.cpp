// `loquant pitch FILE`: the pitch tracker's result for every frame of the
// first channel, as CSV: frame, time_ms, pitch, level, sound.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "analyze.h"
#include "soundfile/sample_reader.h"
#include "soundfile/sound_file.h"
#include "speech/wavelet_pitch_tracker.h"
#include "verbs.h"

namespace loquant::cli {

namespace {

std::string& lastReport() {
  static std::string report;
  return report;
}
void keepReport(const char* text) { lastReport() = text != nullptr ? text : ""; }

bool number(const std::string& text, double& out) {
  char* end = nullptr;
  errno = 0;
  out = std::strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0' && errno == 0;
}

}  // namespace

int pitchVerb(const Arguments& args) {
  std::string path;
  double bufferSize = 1024;
  double ratio = 0.75;
  double noise = 0.0;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    double* target = a == "--buffer-size"           ? &bufferSize
                     : a == "--amplitude-threshold" ? &ratio
                     : a == "--noise-threshold"     ? &noise
                                                    : nullptr;
    if (target != nullptr) {
      if (i + 1 >= args.size() || !number(args[i + 1], *target)) {
        std::fprintf(stderr, "loquant pitch: %s needs a number\n", a.c_str());
        return kExitUsage;
      }
      ++i;
    } else if (a.size() > 1 && a[0] == '-') {
      std::fprintf(stderr, "loquant pitch: unknown option '%s'\n", a.c_str());
      return kExitUsage;
    } else if (path.empty()) {
      path = a;
    } else {
      std::fprintf(stderr, "loquant pitch: one file at a time\n");
      return kExitUsage;
    }
  }
  if (path.empty()) {
    std::fprintf(stderr,
                 "usage: loquant pitch FILE [--buffer-size N] [--amplitude-threshold R] "
                 "[--noise-threshold L]\n");
    return kExitUsage;
  }
  if (bufferSize < 2 || bufferSize > (1 << 20) || bufferSize != static_cast<std::uint32_t>(bufferSize)) {
    std::fprintf(stderr, "loquant pitch: --buffer-size takes a whole number from 2 to 1048576\n");
    return kExitUsage;
  }
  vornix::setSoundFileErrorCallback(keepReport);
  std::optional<vornix::SampleReader> reader = vornix::SampleReader::open(path);
  if (!reader) {
    std::fprintf(stderr, "loquant pitch: %s: %s\n", path.c_str(),
                 lastReport().empty() ? "not a WAV or AIFF recording" : lastReport().c_str());
    return kExitInput;
  }
  const auto n = static_cast<std::uint32_t>(bufferSize);
  const auto rate = static_cast<std::uint32_t>(reader->format().rate);
  vornix::WaveletPitchTracker tracker(n, ratio, noise, rate);
  vornix::PitchResult result;
  const auto channels = static_cast<std::size_t>(reader->channels());
  std::vector<std::vector<std::int16_t>> frames(channels, std::vector<std::int16_t>(n));
  std::vector<std::span<std::int16_t>> spans(frames.begin(), frames.end());
  std::string out = "frame,time_ms,pitch,level,sound\n";
  char line[128];
  for (std::uint64_t k = 0;; ++k) {
    for (auto& f : frames) std::fill(f.begin(), f.end(), 0);
    if (reader->read(spans) == 0) break;
    tracker.computePitch(frames[0], result);
    const double timeMs = static_cast<double>(k) * n * 1000.0 / rate;
    std::snprintf(line, sizeof line, "%llu,%.3f,%.6g,%u,%d\n", static_cast<unsigned long long>(k),
                  timeMs, result.pitch, result.level, result.soundPresent ? 1 : 0);
    out += line;
    if (out.size() > (1 << 16)) {
      std::fwrite(out.data(), 1, out.size(), stdout);
      out.clear();
    }
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  if (reader->failed()) {
    std::fprintf(stderr, "loquant pitch: %s: read error in the sample data\n", path.c_str());
    return kExitInput;
  }
  return kExitOk;
}

}  // namespace loquant::cli
