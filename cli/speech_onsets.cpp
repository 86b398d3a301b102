#include "speech_onsets.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "host/audio_source.h"

namespace loquant::cli {

namespace {

class FrameStamps {
 public:
  explicit FrameStamps(const FrameClock& clock) : clock_(clock) {}

  // The stamp of frame k in ms after the origin, as Utterance holds times:
  // the component's whole-ms stamp less the origin's ms.
  double at(std::uint64_t k) const {
    const std::uint64_t absoluteMs =
        (clock_.originMicros + vornix::host::frameOffsetOf(k, clock_.frameSamples, clock_.rate)) /
        1000U;
    return static_cast<double>(absoluteMs) - static_cast<double>(clock_.originMicros / 1000U);
  }

  // The frame stamped `timeMs`, if one is.
  std::optional<std::uint64_t> frameAt(double timeMs) const {
    if (!(timeMs >= 0) || !std::isfinite(timeMs)) return std::nullopt;
    const double frameMs = 1000.0 * clock_.frameSamples / clock_.rate;
    const auto guess = static_cast<std::uint64_t>(std::llround(timeMs / frameMs));
    for (std::uint64_t k = guess > 0 ? guess - 1 : 0; k <= guess + 1; ++k) {
      if (at(k) == timeMs) return k;
    }
    return std::nullopt;
  }

  // The first frame after `endFrame` whose stamp lies `thresholdMs` or more
  // after it: the frame on which the silence that began at `endFrame` ends
  // the utterance.
  std::uint64_t reaching(std::uint64_t endFrame, std::uint32_t thresholdMs) const {
    const double frameMs = 1000.0 * clock_.frameSamples / clock_.rate;
    const double end = at(endFrame);
    auto k = endFrame + static_cast<std::uint64_t>(std::max(1.0, thresholdMs / frameMs - 1.0));
    while (k > endFrame + 1 && at(k - 1) - end >= thresholdMs) --k;
    while (at(k) - end < thresholdMs) ++k;
    return k;
  }

 private:
  FrameClock clock_;
};

}  // namespace

void backdateOnsets(std::vector<Utterance>& utterances, const FrameClock& clock,
                    const OnsetRule& rule) {
  if (clock.frameSamples == 0 || clock.rate == 0 || rule.speechOnDelay <= 0) return;
  const FrameStamps stamps(clock);
  // The component keeps the threshold as an unsigned 32-bit count of ms.
  const auto threshold = static_cast<std::uint32_t>(rule.segmentIntervalMs);
  const auto delay = static_cast<std::uint64_t>(rule.speechOnDelay);
  for (std::size_t i = 0; i < utterances.size(); ++i) {
    const std::optional<std::uint64_t> on = stamps.frameAt(utterances[i].startMs);
    if (!on) continue;
    if (i > 0) {
      // After an utterance the count is spent until a silent frame after
      // the one that ended it refills it.
      const std::optional<std::uint64_t> end = stamps.frameAt(utterances[i - 1].endMs);
      if (!end || *on <= stamps.reaching(*end, threshold) + 1) continue;
    }
    utterances[i].startMs = stamps.at(*on - std::min(delay, *on));
  }
}

}  // namespace loquant::cli
