// Pitch of one frame of 16-bit mono audio from the approximation levels of a
// Haar wavelet.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "speech/distance_mode.h"
#include "speech/pitch_result.h"

namespace vornix {

// Estimates the pitch of one frame at a time.
//
// A frame whose amplitude is below a logarithmic noise gate is silent.
// Otherwise the frame is averaged in pairs five times (levels 1 to 5, each
// with half the values and half the rate of the one before); on each level
// the maxima and minima that reach a fraction `maximaRatio` of the frame's
// excursion from its mean are located, the most frequent distance between
// extrema of one kind is taken as the level's period, and a pitch is accepted
// on the first level k (2 to 5) whose period is about half that of level
// k - 1.
//
// Scale: the accepted pitch is sampleRate / (2^k * period of level k - 1),
// which is one octave below the frequency of that period: a clean 441 Hz
// tone is reported as 220.5. Consumers work on this scale; double the value
// for the fundamental frequency of the voice.
//
// Frames are analysed independently; nothing computed for one frame affects
// the next. All working buffers are allocated by the constructor from the
// sample count; computePitch allocates nothing.
//
// Thread safety: none. One tracker belongs to one thread at a time (the
// working buffers are overwritten by every call). Distinct trackers are
// independent.
class WaveletPitchTracker {
 public:
  // Number of wavelet levels kept, level 0 (the raw frame) included.
  static constexpr std::size_t kLevelCount = 6;
  // Highest pitch looked for, in Hz; its period sets the smallest distance
  // between two accepted extrema on each level.
  static constexpr std::uint32_t kHighestPitchHz = 3000;

  // `sampleCount` samples per frame (n), `maximaRatio` the fraction of the
  // excursion from the mean an extremum must reach, `noiseThreshold` the gate
  // on ln(amplitude), `sampleRate` in Hz. Allocates the working buffers (about
  // 2n doubles and 2.5n 32-bit integers); a failed allocation throws
  // std::bad_alloc. The analysis needs n >= 2; smaller counts are accepted and
  // never yield a pitch (see computePitch).
  WaveletPitchTracker(std::uint32_t sampleCount, double maximaRatio, double noiseThreshold,
                      std::uint32_t sampleRate);

  // Neither copied nor moved: a moved-from tracker would keep its sample
  // count without buffers. Hold it in a std::unique_ptr or std::optional.
  WaveletPitchTracker(const WaveletPitchTracker&) = delete;
  WaveletPitchTracker& operator=(const WaveletPitchTracker&) = delete;
  ~WaveletPitchTracker() = default;

  // Analyses one frame of exactly sampleCount() samples into `result`.
  // Below the noise gate only the swings, the mean absolute amplitude and
  // soundPresent (false) are written; pitch and level keep their values.
  // Above it, pitch and level are written too (0.0 and 6 when no level
  // accepted a pitch). A frame of one sample is measured but never has a
  // pitch; a tracker of zero samples reports every (empty) frame as silent
  // with all measures 0.0.
  // Returns false, with `result` untouched, when `samples` does not hold
  // exactly sampleCount() samples.
  bool computePitch(std::span<const std::int16_t> samples, PitchResult& result);

  // As computePitch, for a frame given as 2 * sampleCount() bytes of signed
  // 16-bit little-endian samples (the layout of an audio-frame message).
  // Returns false, with `result` untouched, for any other byte count.
  bool computePitchLittleEndian(std::span<const std::uint8_t> bytes, PitchResult& result);

  std::uint32_t sampleCount() const noexcept { return sampleCount_; }
  std::uint32_t sampleRate() const noexcept { return sampleRate_; }
  double maximaRatio() const noexcept { return maximaRatio_; }
  double noiseThreshold() const noexcept { return noiseThreshold_; }

 private:
  // Frame measures gathered while level 0 is filled.
  struct FrameSums {
    std::int64_t sum = 0;
    std::int64_t absSum = 0;
    std::int32_t max = -100000;
    std::int32_t min = 100000;
    void add(std::int16_t x) noexcept;
  };

  // Everything after level 0 has been filled.
  void analyse(const FrameSums& sums, PitchResult& result);
  // Downsamples into level k and scans it for extrema; returns the level's length.
  std::uint32_t scanLevel(std::size_t k, std::uint32_t minDistance, double mean,
                          double maxThreshold, double minThreshold);
  // Collects the distances between extrema of level k into distances_; returns their number.
  std::size_t collectDistances(std::size_t k);

  std::uint32_t sampleCount_;
  std::uint32_t sampleRate_;
  double maximaRatio_;
  double noiseThreshold_;
  std::array<std::uint32_t, kLevelCount> maxCount_{};
  std::array<std::uint32_t, kLevelCount> minCount_{};
  std::vector<std::uint32_t> maxPositions_;
  std::vector<std::uint32_t> minPositions_;
  // All six levels back to back: level k starts at levelOffset_[k] and holds
  // sampleCount_ >> k values.
  std::vector<double> levels_;
  std::array<std::size_t, kLevelCount> levelOffset_{};
  std::vector<std::uint32_t> distances_;
  std::array<double, kLevelCount> modeDistance_{};
  DistanceMode mode_;
};

}  // namespace vornix
