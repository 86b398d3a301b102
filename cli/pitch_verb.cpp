// `loquant pitch FILE`: the pitch tracker's result for every frame of the
// first channel, as CSV: frame, time_ms, pitch, level, sound.
//
// Frames are independent of each other, so the file is read in blocks of
// frames and each block is split among a few threads, each with a tracker
// of its own and an output buffer of its own; the buffers are written in
// frame order, so the output is the same whatever the number of threads.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "analyze.h"
#include "sound_report.h"
#include "soundfile/sample_reader.h"
#include "soundfile/sound_file.h"
#include "speech/wavelet_pitch_tracker.h"
#include "standard_output.h"
#include "verbs.h"

namespace loquant::cli {

namespace {

// Frames per block read at once: about 1 MiB of samples per channel at the
// default frame size, large enough to keep the threads' start-up cost small.
constexpr std::uint64_t kBlockSamples = 512 * 1024;
constexpr unsigned kMostThreads = 8;

unsigned threadCount() {
  const unsigned cores = std::thread::hardware_concurrency();
  return std::clamp(cores, 1U, kMostThreads);
}

// Appends one CSV line; the same text as "%llu,%.3f,%.6g,%u,%d\n".
void appendLine(std::string& out, std::uint64_t frame, double timeMs,
                const vornix::PitchResult& r) {
  char line[128];
  char* p = line;
  char* const end = line + sizeof line;
  p = std::to_chars(p, end, frame).ptr;
  *p++ = ',';
  p = std::to_chars(p, end, timeMs, std::chars_format::fixed, 3).ptr;
  *p++ = ',';
  p = std::to_chars(p, end, r.pitch, std::chars_format::general, 6).ptr;
  *p++ = ',';
  p = std::to_chars(p, end, r.level).ptr;
  *p++ = ',';
  *p++ = r.soundPresent ? '1' : '0';
  *p++ = '\n';
  out.append(line, static_cast<std::size_t>(p - line));
}

// Analyses frames [first, last) of `block` (frame f of the block starts at
// sample f * n) into `out`; `base` is the stream index of frame 0.
void analyseFrames(vornix::WaveletPitchTracker& tracker, std::span<const std::int16_t> block,
                   std::size_t first, std::size_t last, std::uint64_t base, std::uint32_t n,
                   std::uint32_t rate, std::string& out) {
  out.clear();
  for (std::size_t f = first; f < last; ++f) {
    // A fresh record per frame: a frame below the noise gate shows pitch 0
    // and level 0, not what an earlier frame (perhaps another thread's) left.
    vornix::PitchResult result;
    tracker.computePitch(block.subspan(f * n, n), result);
    const std::uint64_t k = base + f;
    const double timeMs = static_cast<double>(k) * n * 1000.0 / rate;
    appendLine(out, k, timeMs, result);
  }
}

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
  // The range test comes first and also refuses NaN, so the conversion in
  // the whole-number test is always defined.
  if (!(bufferSize >= 2 && bufferSize <= (1 << 20)) ||
      bufferSize != static_cast<std::uint32_t>(bufferSize)) {
    std::fprintf(stderr, "loquant pitch: --buffer-size takes a whole number from 2 to 1048576\n");
    return kExitUsage;
  }
  // A pipe or a device would block the open or the read forever.
  std::error_code ec;
  if (std::filesystem::exists(path, ec) && !std::filesystem::is_regular_file(path, ec)) {
    std::fprintf(stderr, "loquant pitch: %s: not a regular file\n", path.c_str());
    return kExitInput;
  }
  captureSoundFileReports();
  std::optional<vornix::SampleReader> reader = vornix::SampleReader::open(path);
  if (!reader) {
    std::fprintf(stderr, "loquant pitch: %s: %s\n", path.c_str(),
                 lastSoundFileReport("not a WAV or AIFF recording").c_str());
    return kExitInput;
  }
  const auto n = static_cast<std::uint32_t>(bufferSize);
  const auto rate = static_cast<std::uint32_t>(reader->format().rate);
  const auto channels = static_cast<std::size_t>(reader->channels());
  const std::size_t framesPerBlock =
      static_cast<std::size_t>(std::max<std::uint64_t>(1, kBlockSamples / n));
  const std::size_t blockSamples = framesPerBlock * n;
  std::vector<std::vector<std::int16_t>> block(channels, std::vector<std::int16_t>(blockSamples));
  std::vector<std::span<std::int16_t>> spans(block.begin(), block.end());

  const unsigned threads = threadCount();
  std::vector<std::unique_ptr<vornix::WaveletPitchTracker>> trackers;
  for (unsigned t = 0; t < threads; ++t) {
    trackers.push_back(std::make_unique<vornix::WaveletPitchTracker>(n, ratio, noise, rate));
  }
  std::vector<std::string> outputs(threads);

  // An output that cannot be written ends the run at once: the rest of the
  // file would be analysed for nothing.
  std::string reason;
  bool written = writeAll(stdout, "frame,time_ms,pitch,level,sound\n", reason);
  for (std::uint64_t base = 0; written; base += framesPerBlock) {
    const std::size_t got = reader->read(spans);
    if (got == 0) break;
    // A short last frame is padded with silence.
    const std::size_t frames = (got + n - 1) / n;
    std::fill(block[0].begin() + static_cast<std::ptrdiff_t>(got),
              block[0].begin() + static_cast<std::ptrdiff_t>(frames * n), std::int16_t{0});

    const std::size_t share = (frames + threads - 1) / threads;
    {
      std::vector<std::jthread> workers;
      for (unsigned t = 1; t < threads && t * share < frames; ++t) {
        const auto part = [&, t] {
          analyseFrames(*trackers[t], block[0], t * share, std::min(frames, (t + 1) * share), base,
                        n, rate, outputs[t]);
        };
        try {
          workers.emplace_back(part);
        } catch (const std::system_error&) {
          part();  // no thread to be had: this thread does the share itself
        }
      }
      analyseFrames(*trackers[0], block[0], 0, std::min(frames, share), base, n, rate, outputs[0]);
    }  // the workers are joined here
    for (unsigned t = 0; written && t < threads && t * share < frames; ++t) {
      written = writeAll(stdout, outputs[t], reason);
    }
    if (got < blockSamples) break;
  }
  if (!written || !flushAll(stdout, reason)) {
    std::fprintf(stderr, "loquant pitch: cannot write the output: %s\n", reason.c_str());
    return kExitInput;
  }
  if (reader->failed()) {
    std::fprintf(stderr, "loquant pitch: %s: read error in the sample data\n", path.c_str());
    return kExitInput;
  }
  return kExitOk;
}

}  // namespace loquant::cli
