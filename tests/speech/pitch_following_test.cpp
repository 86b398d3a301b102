// The tracker follows a voice-like signal whose fundamental moves within and
// across frames.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "speech/test_signals.h"
#include "speech/wavelet_pitch_tracker.h"

namespace vornix {
namespace {

constexpr std::uint32_t kRate = 44100;
constexpr std::uint32_t kFrame = 1024;

// Every frame of 1.5 s of a vibrato vowel is accepted, and its pitch is within
// 2 % of half the frame's mean fundamental (the tracker's octave-below scale).
TEST(PitchFollowingTest, FollowsAVibratoVowelOnItsScale) {
  for (const double baseHz : {100.0, 150.0, 220.0}) {
    SCOPED_TRACE(baseHz);
    std::vector<double> f0;
    const auto signal = testing::vibratoVowel(kRate * 3 / 2, baseHz, kRate, f0);
    WaveletPitchTracker tracker(kFrame, 0.75, 5.0, kRate);
    int frames = 0;
    for (std::size_t start = 0; start + kFrame <= signal.size(); start += kFrame, ++frames) {
      PitchResult r;
      ASSERT_TRUE(tracker.computePitch(std::span(signal).subspan(start, kFrame), r));
      double mean = 0.0;
      for (std::size_t i = start; i < start + kFrame; ++i) mean += f0[i];
      mean /= kFrame;
      ASSERT_TRUE(r.soundPresent) << "frame " << frames;
      ASSERT_LT(r.level, 6u) << "frame " << frames;
      EXPECT_NEAR(r.pitch, mean / 2.0, mean / 2.0 * 0.02) << "frame " << frames;
    }
    EXPECT_EQ(frames, 64);
  }
}

}  // namespace
}  // namespace vornix
