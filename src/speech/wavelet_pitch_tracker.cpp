#include "speech/wavelet_pitch_tracker.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "util/bytes.h"

namespace vornix {

namespace {

// Element count for a buffer of T, refused as an allocation failure when it
// cannot be addressed (only reachable on 32-bit targets).
template <class T>
std::size_t bufferCount(std::uint64_t count) {
  if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
  return static_cast<std::size_t>(count);
}

}  // namespace

void WaveletPitchTracker::FrameSums::add(std::int16_t x) noexcept {
  sum += x;
  absSum += x < 0 ? -std::int64_t{x} : std::int64_t{x};
  max = std::max<std::int32_t>(max, x);
  min = std::min<std::int32_t>(min, x);
}

WaveletPitchTracker::WaveletPitchTracker(std::uint32_t sampleCount, double maximaRatio,
                                         double noiseThreshold, std::uint32_t sampleRate)
    : sampleCount_(sampleCount),
      sampleRate_(sampleRate),
      maximaRatio_(maximaRatio),
      noiseThreshold_(noiseThreshold),
      mode_(sampleCount / 2) {
  std::uint64_t total = 0;
  for (std::size_t k = 0; k < kLevelCount; ++k) {
    levelOffset_[k] = static_cast<std::size_t>(total);
    total += sampleCount >> k;
  }
  levels_.resize(bufferCount<double>(total));
  // Level 1 is the longest scanned level (n / 2 values); a scan accepts at
  // most one extremum per step, so fewer than n / 2 positions of each kind
  // and fewer than 3 * (n / 2) distances ever exist.
  const std::uint64_t half = sampleCount / 2;
  maxPositions_.resize(bufferCount<std::uint32_t>(half));
  minPositions_.resize(bufferCount<std::uint32_t>(half));
  distances_.resize(bufferCount<std::uint32_t>(3 * half));
}

bool WaveletPitchTracker::computePitch(std::span<const std::int16_t> samples, PitchResult& result) {
  if (samples.size() != sampleCount_) return false;
  FrameSums sums;
  double* level0 = levels_.data();
  for (std::size_t i = 0; i < samples.size(); ++i) {
    level0[i] = samples[i];
    sums.add(samples[i]);
  }
  analyse(sums, result);
  return true;
}

bool WaveletPitchTracker::computePitchLittleEndian(std::span<const std::uint8_t> bytes,
                                                   PitchResult& result) {
  if (bytes.size() != 2 * std::uint64_t{sampleCount_}) return false;
  FrameSums sums;
  double* level0 = levels_.data();
  for (std::size_t i = 0; i < sampleCount_; ++i) {
    // The size check above covers every offset 2 * i.
    const auto x = bytes::loadAt<std::int16_t>(bytes.data() + 2 * i);
    level0[i] = x;
    sums.add(x);
  }
  analyse(sums, result);
  return true;
}

void WaveletPitchTracker::analyse(const FrameSums& sums, PitchResult& result) {
  if (sampleCount_ == 0) {
    // An empty frame has no mean; it is reported as silence with no measures.
    result.upperSwing = 0.0;
    result.lowerSwing = 0.0;
    result.meanAbsAmplitude = 0.0;
    result.soundPresent = false;
    return;
  }
  const double count = static_cast<double>(sampleCount_);
  const double mean = static_cast<double>(sums.sum) / count;
  const double maxValue = sums.max;
  const double minValue = sums.min;
  result.upperSwing = std::fabs(std::fabs(maxValue) - std::fabs(mean));
  result.lowerSwing = std::fabs(std::fabs(mean) - std::fabs(minValue));
  result.meanAbsAmplitude = static_cast<double>(sums.absSum) / count;
  // ln(0) is -infinity, so a constant frame is below any finite gate.
  const double amplitude = std::fabs(result.upperSwing + result.lowerSwing) * 0.5;
  if (noiseThreshold_ > std::log(amplitude)) {
    result.soundPresent = false;
    return;
  }
  result.soundPresent = true;

  // The thresholds come from the raw frame on every level, so a level whose
  // averaged extremes no longer reach them contributes no extrema.
  const double maxThreshold = mean + maximaRatio_ * (maxValue - mean);
  const double minThreshold = mean + maximaRatio_ * (minValue - mean);

  for (std::size_t k = 1; k < kLevelCount; ++k) {
    const std::uint64_t g = std::uint64_t{1} << k;
    const auto minDistance =
        static_cast<std::uint32_t>(std::max<std::uint64_t>(1, sampleRate_ / (g * kHighestPitchHz)));
    const std::uint32_t length = scanLevel(k, minDistance, mean, maxThreshold, minThreshold);
    // A level without a period of its own is never consulted (its counts fail
    // the test below); clearing it keeps frames independent of each other.
    modeDistance_[k] = 0.0;
    if (maxCount_[k] < 2 || minCount_[k] < 2) continue;
    const std::size_t distanceCount = collectDistances(k);
    modeDistance_[k] = mode_.find(std::span(distances_.data(), distanceCount), minDistance, length);

    const double previous = modeDistance_[k - 1];
    if (previous != 0.0 && maxCount_[k - 1] >= 2 && minCount_[k - 1] >= 2 &&
        std::fabs(previous - 2.0 * modeDistance_[k]) <= static_cast<double>(minDistance)) {
      // Dividing by 2^k (not 2^(k-1)) puts the pitch one octave below the
      // frequency of level k-1's period: the tracker's documented scale.
      result.pitch = static_cast<double>(sampleRate_) / (static_cast<double>(g) * previous);
      result.level = static_cast<std::uint32_t>(k);
      return;
    }
  }
  result.pitch = 0.0;
  result.level = kLevelCount;
}

std::uint32_t WaveletPitchTracker::scanLevel(std::size_t k, std::uint32_t minDistance, double mean,
                                             double maxThreshold, double minThreshold) {
  const double* previous = levels_.data() + levelOffset_[k - 1];
  double* values = levels_.data() + levelOffset_[k];
  const std::uint32_t length = sampleCount_ >> k;
  for (std::size_t l = 0; l < length; ++l) {
    values[l] = (previous[2 * l] + previous[2 * l + 1]) * 0.5;
  }
  maxCount_[k] = 0;
  minCount_[k] = 0;
  if (length < 2) return length;

  std::uint32_t maxima = 0;
  std::uint32_t minima = 0;
  bool rising = values[1] - values[0] > 0;
  // One armed flag and one holdoff for both kinds: after any accepted
  // extremum the next needs a crossing of the mean and minDistance steps.
  bool armed = true;
  std::uint32_t holdoff = 0;
  for (std::uint32_t l = 0; l + 1 < length; ++l) {
    const double a = values[l];
    const double b = values[l + 1];
    const double diff = b - a;
    if (rising && diff < 0) {
      if (a >= maxThreshold && armed && holdoff == 0) {
        maxPositions_[maxima++] = l;
        armed = false;
        holdoff = minDistance;
      }
      rising = false;
    } else if (!rising && diff > 0) {
      if (a <= minThreshold && armed && holdoff == 0) {
        minPositions_[minima++] = l;
        armed = false;
        holdoff = minDistance;
      }
      rising = true;
    }
    if ((b <= mean && a > mean) || (b >= mean && a < mean)) armed = true;
    if (holdoff > 0) --holdoff;
  }
  maxCount_[k] = maxima;
  minCount_[k] = minima;
  return length;
}

std::size_t WaveletPitchTracker::collectDistances(std::size_t k) {
  std::size_t m = 0;
  for (std::uint32_t j = 1; j <= 3; ++j) {
    for (std::uint32_t t = 0; t + j < maxCount_[k]; ++t) {
      distances_[m++] = maxPositions_[t + j] - maxPositions_[t];
    }
    for (std::uint32_t t = 0; t + j < minCount_[k]; ++t) {
      distances_[m++] = minPositions_[t + j] - minPositions_[t];
    }
  }
  return m;
}

}  // namespace vornix
