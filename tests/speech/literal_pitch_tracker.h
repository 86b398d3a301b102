// The tracker's algorithm in its plain, unoptimised form, used only as the
// reference that the production tracker must match exactly. It keeps the
// literal data layout (six levels of n doubles, distances as doubles, the
// pairwise mode count, positions cleared on every level, a mode left over
// from an earlier frame), and is deliberately not optimised.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "speech/pitch_result.h"

namespace vornix::testing {

// The mode and refinement of one level, counting support by comparing every
// pair of distances.
inline double literalModeDistance(std::span<const double> distances, std::uint32_t minDistance,
                                  std::uint32_t levelLength) {
  const std::size_t m = distances.size();
  std::size_t best = 1;
  double mode = 0.0;
  for (std::size_t v = 0; v < m; ++v) {
    std::size_t c = 0;
    for (std::size_t i = 0; i < m; ++i) {
      if (std::fabs(distances[i] - distances[v]) <= minDistance) ++c;
    }
    const double quotient = std::floor(static_cast<double>(levelLength) / distances[v]);
    if (c >= best && static_cast<double>(c) > quotient * 0.25) {
      if (c > best) {
        mode = distances[v];
        best = c;
      } else if (mode * 1.95 < distances[v] && distances[v] < mode * 2.05) {
        mode = distances[v];
      }
    }
  }
  if (mode != 0.0) {
    double sum = 0.0;
    std::size_t count = 0;
    for (std::size_t i = 0; i < m; ++i) {
      if (std::fabs(distances[i] - mode) <= minDistance) {
        sum += distances[i];
        ++count;
      }
    }
    if (count > 0) mode = sum / static_cast<double>(count);
  }
  return mode;
}

class LiteralPitchTracker {
 public:
  LiteralPitchTracker(std::uint32_t sampleCount, double maximaRatio, double noiseThreshold,
                      std::uint32_t sampleRate)
      : sampleCount_(sampleCount),
        sampleRate_(sampleRate),
        maximaRatio_(maximaRatio),
        noiseThreshold_(noiseThreshold),
        maxPositions_(sampleCount),
        minPositions_(sampleCount),
        distances_(6 * std::size_t{sampleCount}) {
    for (auto& level : levels_) level.resize(sampleCount);
  }

  // Precondition: samples.size() == sampleCount >= 2.
  void computePitch(std::span<const std::int16_t> samples, PitchResult& result) {
    const std::uint32_t n = sampleCount_;
    std::int64_t sum = 0;
    std::int64_t absSum = 0;
    double max = -100000;
    double min = 100000;
    for (std::uint32_t i = 0; i < n; ++i) {
      const std::int16_t x = samples[i];
      levels_[0][i] = x;
      sum += x;
      absSum += std::abs(x);
      if (x > max) max = x;
      if (x < min) min = x;
    }
    result.meanAbsAmplitude = static_cast<double>(absSum) / n;
    const double mean = static_cast<double>(sum) / n;

    result.upperSwing = std::fabs(std::fabs(max) - std::fabs(mean));
    result.lowerSwing = std::fabs(std::fabs(mean) - std::fabs(min));
    const double a = std::fabs(result.upperSwing + result.lowerSwing) * 0.5;
    if (noiseThreshold_ > std::log(a)) {
      result.soundPresent = false;
      return;
    }
    result.soundPresent = true;
    const double maxThreshold = mean + maximaRatio_ * (max - mean);
    const double minThreshold = mean + maximaRatio_ * (min - mean);
    maxCount_[0] = minCount_[0] = 0;
    modeDistance_[0] = 0;

    for (std::uint32_t k = 1; k <= 5; ++k) {
      const std::uint32_t g = 1u << k;
      const std::uint32_t length = n / g;
      for (std::uint32_t l = 0; l < length; ++l) {
        levels_[k][l] = (levels_[k - 1][2 * l] + levels_[k - 1][2 * l + 1]) * 0.5;
      }
      std::uint32_t minDistance =
          static_cast<std::uint32_t>(std::floor(static_cast<double>(sampleRate_) / (g * 3000.0)));
      if (minDistance < 1) minDistance = 1;
      maxCount_[k] = minCount_[k] = 0;
      for (auto& p : maxPositions_) p = 0;
      for (auto& p : minPositions_) p = 0;
      if (length >= 2) {
        const std::vector<double>& v = levels_[k];
        int direction = v[1] - v[0] > 0 ? +1 : -1;
        bool armed = true;
        std::uint32_t holdoff = 0;
        for (std::uint32_t l = 0; l + 2 <= length; ++l) {
          const double av = v[l];
          const double bv = v[l + 1];
          const double diff = bv - av;
          if (direction >= 0 && diff < 0) {
            if (av >= maxThreshold && armed && holdoff == 0) {
              maxPositions_[static_cast<std::size_t>(maxCount_[k]++)] =
                  static_cast<std::int32_t>(l);
              armed = false;
              holdoff = minDistance;
            }
            direction = -1;
          } else if (direction < 0 && diff > 0) {
            if (av <= minThreshold && armed && holdoff == 0) {
              minPositions_[static_cast<std::size_t>(minCount_[k]++)] =
                  static_cast<std::int32_t>(l);
              armed = false;
              holdoff = minDistance;
            }
            direction = +1;
          }
          if ((bv <= mean && av > mean) || (bv >= mean && av < mean)) armed = true;
          if (holdoff > 0) --holdoff;
        }
      }
      if (maxCount_[k] < 2 || minCount_[k] < 2) continue;

      std::size_t m = 0;
      for (std::int32_t j = 1; j <= 3; ++j) {
        for (std::int32_t t = 0; t <= maxCount_[k] - j - 1; ++t) {
          distances_[m++] = std::abs(maxPositions_[static_cast<std::size_t>(t + j)] -
                                     maxPositions_[static_cast<std::size_t>(t)]);
        }
        for (std::int32_t t = 0; t <= minCount_[k] - j - 1; ++t) {
          distances_[m++] = std::abs(minPositions_[static_cast<std::size_t>(t + j)] -
                                     minPositions_[static_cast<std::size_t>(t)]);
        }
      }
      modeDistance_[k] = literalModeDistance(std::span(distances_.data(), m), minDistance, length);

      if (modeDistance_[k - 1] != 0 && maxCount_[k - 1] >= 2 && minCount_[k - 1] >= 2 &&
          std::fabs(modeDistance_[k - 1] - 2 * modeDistance_[k]) <= minDistance) {
        result.pitch = sampleRate_ / (g * modeDistance_[k - 1]);
        result.level = k;
        return;
      }
    }
    result.pitch = 0.0;
    result.level = 6;
  }

 private:
  std::uint32_t sampleCount_;
  std::uint32_t sampleRate_;
  double maximaRatio_;
  double noiseThreshold_;
  std::array<std::int32_t, 6> maxCount_{};
  std::array<std::int32_t, 6> minCount_{};
  std::vector<std::int32_t> maxPositions_;
  std::vector<std::int32_t> minPositions_;
  std::array<std::vector<double>, 6> levels_;
  std::vector<double> distances_;
  std::array<double, 6> modeDistance_{};
};

}  // namespace vornix::testing
