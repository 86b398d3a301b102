// The production tracker against the plain, unoptimised form of the algorithm
// (pairwise mode count, literal buffers) over thousands of random frames:
// every field of every result must be identical.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "speech/literal_pitch_tracker.h"
#include "speech/test_signals.h"
#include "speech/wavelet_pitch_tracker.h"

namespace vornix {
namespace {

struct TrackerSetup {
  std::uint32_t sampleCount;
  std::uint32_t sampleRate;
  double maximaRatio;
  double noiseThreshold;
};

// A random frame: a harmonic tone (random fundamental, harmonics, phase,
// offset and amplitude, sometimes with added noise), or plain noise, or a
// quiet or constant frame.
std::vector<std::int16_t> randomFrame(std::uint32_t n, std::uint32_t rate, std::mt19937& rng) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const double kind = unit(rng);
  if (kind < 0.55) {
    std::array<double, 6> harmonics{};
    const auto count = std::uniform_int_distribution<std::size_t>(1, harmonics.size())(rng);
    for (std::size_t h = 0; h < count; ++h) harmonics[h] = unit(rng) * (h == 0 ? 1.0 : 0.8);
    harmonics[0] += 0.05;
    const double f0 = 50.0 * std::pow(80.0, unit(rng));  // 50 Hz to 4 kHz
    const double amplitude = 20.0 + unit(rng) * 30000.0;
    const double offset = (unit(rng) - 0.5) * 2000.0;
    auto frame = testing::harmonicTone(n, f0, amplitude, rate, std::span(harmonics).first(count),
                                       unit(rng) * 6.28, offset);
    if (unit(rng) < 0.4) {
      const auto noise = testing::whiteNoise(n, amplitude * unit(rng) * 0.3, rng);
      for (std::size_t i = 0; i < n; ++i) {
        frame[i] = testing::toSample(static_cast<double>(frame[i]) + static_cast<double>(noise[i]));
      }
    }
    return frame;
  }
  if (kind < 0.9) return testing::whiteNoise(n, 10.0 + unit(rng) * 30000.0, rng);
  if (kind < 0.95) return testing::whiteNoise(n, 30.0, rng);
  return std::vector<std::int16_t>(n, static_cast<std::int16_t>(unit(rng) * 2000.0));
}

TEST(PitchEquivalenceTest, MatchesTheLiteralAlgorithmOnRandomFrames) {
  const TrackerSetup setups[] = {
      {1024, 44100, 0.75, 5.0}, {1024, 44100, 0.5, 3.0},   {1024, 16000, 0.75, 5.0},
      {512, 8000, 0.6, 4.0},    {2048, 48000, 0.9, 6.0},   {1000, 22050, 0.3, 5.0},
      {37, 44100, 0.2, 1.0},    {1024, 192000, 0.75, 5.0},
  };
  std::mt19937 rng(12345);
  std::array<int, 7> levelCounts{};
  int silent = 0;
  int frames = 0;
  for (const TrackerSetup& s : setups) {
    SCOPED_TRACE(::testing::PrintToString(s.sampleCount) + " samples at " +
                 ::testing::PrintToString(s.sampleRate));
    WaveletPitchTracker tracker(s.sampleCount, s.maximaRatio, s.noiseThreshold, s.sampleRate);
    vornix::testing::LiteralPitchTracker literal(s.sampleCount, s.maximaRatio, s.noiseThreshold,
                                                 s.sampleRate);
    // One record each, reused across frames as the frame loop does, so that
    // the fields a silent frame leaves untouched are compared too.
    PitchResult actual;
    PitchResult expected;
    const int rounds = s.sampleCount == 1024 ? 800 : 400;
    for (int i = 0; i < rounds; ++i, ++frames) {
      const auto frame = randomFrame(s.sampleCount, s.sampleRate, rng);
      ASSERT_TRUE(tracker.computePitch(frame, actual));
      literal.computePitch(frame, expected);
      ASSERT_EQ(actual.pitch, expected.pitch) << "frame " << i;
      ASSERT_EQ(actual.upperSwing, expected.upperSwing) << "frame " << i;
      ASSERT_EQ(actual.lowerSwing, expected.lowerSwing) << "frame " << i;
      ASSERT_EQ(actual.meanAbsAmplitude, expected.meanAbsAmplitude) << "frame " << i;
      ASSERT_EQ(actual.level, expected.level) << "frame " << i;
      ASSERT_EQ(actual.soundPresent, expected.soundPresent) << "frame " << i;
      if (!actual.soundPresent) {
        ++silent;
      } else if (actual.level <= 6) {
        ++levelCounts[actual.level];
      }
    }
  }
  // The frames must reach every outcome: silence, no pitch, and acceptance
  // on several levels.
  EXPECT_GE(frames, 4000);
  EXPECT_GT(silent, 100);
  EXPECT_GT(levelCounts[6], 100);
  EXPECT_GT(levelCounts[2], 100);
  EXPECT_GT(levelCounts[3], 20);
  EXPECT_GT(levelCounts[4] + levelCounts[5], 5);
  std::printf("frames %d: silent %d, level 2..6: %d %d %d %d %d\n", frames, silent, levelCounts[2],
              levelCounts[3], levelCounts[4], levelCounts[5], levelCounts[6]);
}

}  // namespace
}  // namespace vornix
