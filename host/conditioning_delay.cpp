#include "host/conditioning_delay.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace vornix::host {

PickupDelay::PickupDelay(std::size_t maxLag) : maxLag_(maxLag), sums_(maxLag + 1, 0.0) {}

double PickupDelay::correlation(std::span<const std::int16_t> self,
                                std::span<const std::int16_t> other,
                                std::size_t lag) const noexcept {
  // Integer sums: a product of two 16-bit samples fits 31 bits, and 2^32 of
  // them fit 63; exact in any order, so the loop may run on vector lanes.
  const std::int16_t* delayed = other.data() + history() - lag;
  std::int64_t cross = 0, selfEnergy = 0, otherEnergy = 0;
  std::int64_t selfSum = 0, otherSum = 0;
  for (std::size_t i = 0; i < self.size(); ++i) {
    const std::int32_t x = self[i];
    const std::int32_t y = delayed[i];
    cross += static_cast<std::int64_t>(x * y);
    selfEnergy += static_cast<std::int64_t>(x * x);
    otherEnergy += static_cast<std::int64_t>(y * y);
    selfSum += x;
    otherSum += y;
  }
  const double n = static_cast<double>(self.size());
  const double sx = static_cast<double>(selfSum), sy = static_cast<double>(otherSum);
  const double c = static_cast<double>(cross) - sx * sy / n;
  const double ex = static_cast<double>(selfEnergy) - sx * sx / n;
  const double ey = static_cast<double>(otherEnergy) - sy * sy / n;
  if (ex <= 0.0 || ey <= 0.0) return 0.0;
  return c / std::sqrt(ex * ey);
}

void PickupDelay::learn(std::span<const std::int16_t> self, std::span<const std::int16_t> other) {
  if (other.size() != self.size() + history()) {
    throw std::invalid_argument("pick-up delay: the other channel needs its history");
  }
  if (!lagKnown_) {
    for (std::size_t lag = 0; lag <= maxLag_; ++lag) sums_[lag] += correlation(self, other, lag);
    if (++learned_ < kLearningFrames) return;
    // The sign of the sum does not matter: a microphone wired the other way
    // round picks up the same copy, inverted.
    std::size_t best = 0;
    for (std::size_t lag = 1; lag <= maxLag_; ++lag) {
      if (std::abs(sums_[lag]) > std::abs(sums_[best])) best = lag;
    }
    lag_ = best;
    lagKnown_ = true;
    return;
  }
  learnResidual(unexplainedDb(self, other));
}

void PickupDelay::learnResidual(double db) noexcept {
  ++residualFrames_;
  const double weight = 1.0 / static_cast<double>(std::min(residualFrames_, kResidualTimeConstant));
  residualDb_ = residualFrames_ == 1 ? db : residualDb_ + weight * (db - residualDb_);
}

void PickupDelay::learnExcess(double db) noexcept {
  ++excessFrames_;
  const double weight = 1.0 / static_cast<double>(std::min(excessFrames_, kResidualTimeConstant));
  excessDb_ += weight * (db - excessDb_);
  excessDeviationDb_ += weight * (std::abs(db - excessDb_) - excessDeviationDb_);
}

double PickupDelay::unexplainedDb(std::span<const std::int16_t> self,
                                  std::span<const std::int16_t> other) const noexcept {
  double best = 0.0;
  const std::size_t low = lag_ > 0 ? lag_ - 1 : 0;
  const std::size_t high = std::min(lag_ + 1, maxLag_);
  for (std::size_t lag = low; lag <= high; ++lag) {
    const double r = correlation(self, other, lag);
    best = std::max(best, r * r);
  }
  const double left = 1.0 - best;
  return left > 0.0 ? std::max(kFloorDb, 10.0 * std::log10(left)) : kFloorDb;
}

}  // namespace vornix::host
