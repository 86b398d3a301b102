#include "speech/distance_mode.h"

#include <algorithm>
#include <cmath>

namespace vornix {

DistanceMode::DistanceMode(std::size_t largestDistance) {
  atMost_.reserve(largestDistance + 2);
}

std::size_t DistanceMode::countWithin(std::uint32_t center,
                                      std::uint32_t tolerance) const noexcept {
  const std::uint32_t low = center > tolerance ? center - tolerance : 0;
  const std::uint64_t wideHigh = std::uint64_t{center} + tolerance;
  const std::uint32_t high = wideHigh < largest_ ? static_cast<std::uint32_t>(wideHigh) : largest_;
  if (low > high) return 0;
  return atMost_[std::size_t{high} + 1] - atMost_[low];
}

double DistanceMode::find(std::span<const std::uint32_t> distances, std::uint32_t tolerance,
                          std::uint32_t levelLength) {
  if (distances.empty()) return 0.0;
  largest_ = *std::max_element(distances.begin(), distances.end());
  atMost_.assign(std::size_t{largest_} + 2, 0);
  for (const std::uint32_t d : distances) ++atMost_[std::size_t{d} + 1];
  for (std::size_t x = 1; x < atMost_.size(); ++x) atMost_[x] += atMost_[x - 1];

  std::size_t best = 1;
  std::uint32_t mode = 0;
  for (const std::uint32_t d : distances) {
    // floor(levelLength / 0) is infinite (or undefined for 0 / 0): never a candidate.
    if (d == 0) continue;
    const std::size_t support = countWithin(d, tolerance);
    if (support < best) continue;
    const double needed = static_cast<double>(levelLength / d) * 0.25;
    if (!(static_cast<double>(support) > needed)) continue;
    if (support > best) {
      mode = d;
      best = support;
    } else {
      const double current = static_cast<double>(mode);
      const double candidate = static_cast<double>(d);
      if (current * 1.95 < candidate && candidate < current * 2.05) mode = d;
    }
  }
  if (mode == 0) return 0.0;

  const std::uint32_t low = mode > tolerance ? mode - tolerance : 0;
  const std::uint64_t wideHigh = std::uint64_t{mode} + tolerance;
  const std::uint32_t high = wideHigh < largest_ ? static_cast<std::uint32_t>(wideHigh) : largest_;
  std::uint64_t sum = 0;
  for (std::uint32_t x = low;; ++x) {
    sum += std::uint64_t{x} * (atMost_[std::size_t{x} + 1] - atMost_[x]);
    if (x == high) break;
  }
  // The mode is itself one of the distances, so the count is at least 1.
  const std::size_t count = countWithin(mode, tolerance);
  return static_cast<double>(sum) / static_cast<double>(count);
}

}  // namespace vornix
