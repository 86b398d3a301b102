#include "pitch_frames.h"

#include <algorithm>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "speech/wavelet_pitch_tracker.h"

namespace loquant::python {

namespace {

constexpr unsigned kMostThreads = 8;

// Frames [first, last); `padded` is the short last frame padded with
// silence (as the command pads it), empty when the samples fill every frame.
void trackRange(vornix::WaveletPitchTracker& tracker, std::span<const std::int16_t> samples,
                std::span<const std::int16_t> padded, const PitchSettings& settings,
                std::span<PitchRow> rows, std::size_t first, std::size_t last) {
  const std::size_t n = settings.bufferSize;
  for (std::size_t f = first; f < last; ++f) {
    const std::span<const std::int16_t> frame =
        (f + 1) * n <= samples.size() ? samples.subspan(f * n, n) : padded;
    // A fresh record per frame: a frame below the gate shows pitch 0 and
    // level 0, not what an earlier frame left.
    vornix::PitchResult result;
    tracker.computePitch(frame, result);
    PitchRow& row = rows[f];
    row.time = static_cast<double>(f) * static_cast<double>(n) / settings.rate;
    row.pitch = result.pitch;
    row.f0 = 2.0 * result.pitch;
    row.level = result.level;
    row.sound = result.soundPresent;
  }
}

}  // namespace

std::size_t pitchFrameCount(std::size_t samples, std::uint32_t bufferSize) {
  return bufferSize == 0 ? 0 : (samples + bufferSize - 1) / bufferSize;
}

void trackPitchFrames(std::span<const std::int16_t> samples, const PitchSettings& settings,
                      std::span<PitchRow> rows) {
  const std::size_t frames =
      std::min(rows.size(), pitchFrameCount(samples.size(), settings.bufferSize));
  if (frames == 0) return;
  const unsigned threads = static_cast<unsigned>(std::min<std::size_t>(
      std::clamp(std::thread::hardware_concurrency(), 1U, kMostThreads), frames));
  std::vector<std::unique_ptr<vornix::WaveletPitchTracker>> trackers;
  for (unsigned t = 0; t < threads; ++t) {
    trackers.push_back(std::make_unique<vornix::WaveletPitchTracker>(
        settings.bufferSize, settings.amplitudeThreshold, settings.noiseThreshold, settings.rate));
  }
  // Everything that allocates happens here, before any thread starts.
  std::vector<std::int16_t> padded;
  if (samples.size() % settings.bufferSize != 0) {
    padded.assign(settings.bufferSize, 0);
    std::copy(samples.begin() + static_cast<std::ptrdiff_t>((frames - 1) * settings.bufferSize),
              samples.end(), padded.begin());
  }
  const std::size_t share = (frames + threads - 1) / threads;
  std::vector<std::jthread> workers;
  workers.reserve(threads);
  for (unsigned t = 1; t < threads && t * share < frames; ++t) {
    const auto part = [&, t] {
      trackRange(*trackers[t], samples, padded, settings, rows, t * share,
                 std::min(frames, (t + 1) * share));
    };
    try {
      workers.emplace_back(part);
    } catch (const std::system_error&) {
      part();  // no thread to be had: this thread does the share itself
    }
  }
  trackRange(*trackers[0], samples, padded, settings, rows, 0, std::min(frames, share));
}

}  // namespace loquant::python
