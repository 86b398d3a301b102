// The delayed-copy test of the crosstalk rejection on seeded noise: the delay
// it learns and how much of a frame a copy leaves unexplained.
#include "host/conditioning_delay.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <random>
#include <stdexcept>
#include <vector>

namespace vornix::host {
namespace {

constexpr std::size_t kFrame = 1024;
constexpr std::size_t kMaxLag = 64;

std::vector<std::int16_t> noise(std::size_t n, double rms, unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> normal(0.0, rms);
  std::vector<std::int16_t> out(n);
  for (auto& s : out) s = static_cast<std::int16_t>(std::lround(normal(random)));
  return out;
}

struct Pair {
  std::vector<std::int16_t> self;   // kFrame samples
  std::vector<std::int16_t> other;  // history, then the frame
};

// Frame k of a microphone that hears `source` `lag` samples late at `gain`
// (inverted when `sign` is -1), plus its own `own` signal; `other` is the
// source's own microphone.
Pair frame(const std::vector<std::int16_t>& source, const std::vector<std::int16_t>& own,
           std::size_t k, std::size_t lag, double gain, double sign = 1.0) {
  const std::size_t history = kMaxLag + 1;
  const std::size_t start = history + k * kFrame;
  Pair p;
  p.other.assign(source.begin() + static_cast<std::ptrdiff_t>(start - history),
                 source.begin() + static_cast<std::ptrdiff_t>(start + kFrame));
  for (std::size_t i = 0; i < kFrame; ++i) {
    const double v = sign * gain * source[start + i - lag] + own[start + i];
    p.self.push_back(static_cast<std::int16_t>(std::lround(v)));
  }
  return p;
}

TEST(PickupDelay, LearnsTheDelayThenTellsOwnSignalFromACopy) {
  for (const std::size_t lag : {std::size_t{0}, std::size_t{17}, kMaxLag}) {
    for (const double sign : {1.0, -1.0}) {
      const auto source = noise(40 * kFrame, 3000, 1);
      const auto quiet = noise(40 * kFrame, 3, 2);
      const auto loud = noise(40 * kFrame, 300, 3);
      PickupDelay delay(kMaxLag);
      std::size_t k = 0;
      for (; !delay.ready(); ++k) {
        ASSERT_LT(k, 2 * (PickupDelay::kLearningFrames + PickupDelay::kResidualFrames));
        const Pair p = frame(source, quiet, k, lag, 0.1, sign);
        delay.learn(p.self, p.other);
      }
      EXPECT_EQ(k, PickupDelay::kLearningFrames + PickupDelay::kResidualFrames);
      EXPECT_EQ(delay.lag(), lag);
      // Pick-up 300 RMS over 3 of its own: about -40 dB left unexplained.
      EXPECT_NEAR(delay.pickupResidualDb(), -40.0, 1.5);
      // The same pick-up under a voice of its own as loud: about -3 dB.
      const Pair both = frame(source, loud, k, lag, 0.1, sign);
      EXPECT_NEAR(delay.unexplainedDb(both.self, both.other), -3.0, 0.5);
      // A signal unrelated to the other channel: nearly all of it.
      const Pair unrelated = frame(source, loud, k, lag, 0.0);
      EXPECT_GT(delay.unexplainedDb(unrelated.self, unrelated.other), -0.2);
    }
  }
}

TEST(PickupDelay, AllZerosAndShortHistoryAreHandled) {
  PickupDelay delay(kMaxLag);
  EXPECT_EQ(delay.history(), kMaxLag + 1);
  const std::vector<std::int16_t> zeros(kFrame, 0);
  const std::vector<std::int16_t> otherZeros(kFrame + kMaxLag + 1, 0);
  for (std::size_t k = 0; k < PickupDelay::kLearningFrames + PickupDelay::kResidualFrames; ++k) {
    delay.learn(zeros, otherZeros);
  }
  ASSERT_TRUE(delay.ready());
  // Zeros correlate with nothing: nothing of them counts as explained.
  EXPECT_EQ(delay.unexplainedDb(zeros, otherZeros), 0.0);
  const std::vector<std::int16_t> shortOther(kFrame, 0);
  EXPECT_THROW(delay.learn(zeros, shortOther), std::invalid_argument);
}

}  // namespace
}  // namespace vornix::host
