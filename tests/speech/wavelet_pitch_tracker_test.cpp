#include "speech/wavelet_pitch_tracker.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "speech/test_signals.h"

namespace vornix {
namespace {

using testing::harmonicTone;
using testing::sine;
using testing::whiteNoise;

constexpr std::uint32_t kRate = 44100;
constexpr std::uint32_t kFrame = 1024;

// A record whose pitch and level show whether a call wrote them.
PitchResult sentinelRecord() {
  PitchResult r;
  r.pitch = 123.25;
  r.level = 99;
  return r;
}

TEST(PitchResultTest, StartsAllZero) {
  const PitchResult r;
  EXPECT_EQ(r.pitch, 0.0);
  EXPECT_EQ(r.upperSwing, 0.0);
  EXPECT_EQ(r.lowerSwing, 0.0);
  EXPECT_EQ(r.meanAbsAmplitude, 0.0);
  EXPECT_EQ(r.level, 0u);
  EXPECT_FALSE(r.soundPresent);
}

TEST(WaveletPitchTrackerTest, CleanSinesAreReportedOneOctaveBelow) {
  WaveletPitchTracker tracker(kFrame, 0.75, 5.0, kRate);
  PitchResult r;
  ASSERT_TRUE(tracker.computePitch(sine(kFrame, 441.0, 10000.0, kRate), r));
  EXPECT_TRUE(r.soundPresent);
  EXPECT_DOUBLE_EQ(r.pitch, 220.5);
  EXPECT_EQ(r.level, 2u);

  ASSERT_TRUE(tracker.computePitch(sine(kFrame, 882.0, 10000.0, kRate), r));
  EXPECT_TRUE(r.soundPresent);
  EXPECT_DOUBLE_EQ(r.pitch, 441.0);

  ASSERT_TRUE(tracker.computePitch(sine(kFrame, 200.0, 10000.0, kRate), r));
  EXPECT_NEAR(r.pitch, 100.0, 2.0);
}

// The swings compare magnitudes: | |max| - |mean| | and | |mean| - |min| |.
// The mean is the exact quotient of the sum by n, not an integer division.
TEST(WaveletPitchTrackerTest, FrameMeasures) {
  WaveletPitchTracker eight(8, 0.75, -1e300, kRate);
  PitchResult r;
  const std::int16_t positiveMean[] = {400, -100, 0, 100, 0, 0, 0, 0};  // mean 50
  ASSERT_TRUE(eight.computePitch(positiveMean, r));
  EXPECT_EQ(r.upperSwing, 350.0);
  EXPECT_EQ(r.lowerSwing, 50.0);
  EXPECT_EQ(r.meanAbsAmplitude, 75.0);
  const std::int16_t negativeMean[] = {-400, 100, 0, -100, 0, 0, 0, 0};  // mean -50
  ASSERT_TRUE(eight.computePitch(negativeMean, r));
  EXPECT_EQ(r.upperSwing, 50.0);
  EXPECT_EQ(r.lowerSwing, 350.0);

  WaveletPitchTracker three(3, 0.75, -1e300, kRate);
  const std::int16_t thirds[] = {1, 0, 0};
  ASSERT_TRUE(three.computePitch(thirds, r));
  EXPECT_DOUBLE_EQ(r.upperSwing, 2.0 / 3.0);
  EXPECT_DOUBLE_EQ(r.lowerSwing, 1.0 / 3.0);
  EXPECT_DOUBLE_EQ(r.meanAbsAmplitude, 1.0 / 3.0);
  const std::int16_t minusThirds[] = {-1, -1, 0};
  ASSERT_TRUE(three.computePitch(minusThirds, r));
  EXPECT_DOUBLE_EQ(r.upperSwing, 2.0 / 3.0);
  EXPECT_DOUBLE_EQ(r.lowerSwing, 1.0 / 3.0);
}

// The gate compares ln(amplitude), amplitude = (upperSwing + lowerSwing) / 2,
// with the threshold: e^5 is about 148.4.
TEST(WaveletPitchTrackerTest, GateBoundary) {
  WaveletPitchTracker tracker(4, 0.75, 5.0, kRate);
  PitchResult r;
  const std::int16_t above[] = {149, -149, 149, -149};
  ASSERT_TRUE(tracker.computePitch(above, r));
  EXPECT_TRUE(r.soundPresent);
  const std::int16_t below[] = {148, -148, 148, -148};
  ASSERT_TRUE(tracker.computePitch(below, r));
  EXPECT_FALSE(r.soundPresent);
}

TEST(WaveletPitchTrackerTest, NoiseGateOnLogAmplitude) {
  WaveletPitchTracker tracker(kFrame, 0.75, 5.0, kRate);
  PitchResult loud = sentinelRecord();
  ASSERT_TRUE(tracker.computePitch(sine(kFrame, 200.0, 10000.0, kRate), loud));
  EXPECT_TRUE(loud.soundPresent);
  EXPECT_NE(loud.level, 99u);

  PitchResult quiet = sentinelRecord();
  ASSERT_TRUE(tracker.computePitch(sine(kFrame, 200.0, 100.0, kRate), quiet));
  EXPECT_FALSE(quiet.soundPresent);
  EXPECT_EQ(quiet.pitch, 123.25);
  EXPECT_EQ(quiet.level, 99u);
  EXPECT_GT(quiet.upperSwing, 90.0);
  EXPECT_GT(quiet.meanAbsAmplitude, 50.0);
}

TEST(WaveletPitchTrackerTest, ConstantFramesAreSilentAndKeepPitchAndLevel) {
  WaveletPitchTracker tracker(kFrame, 0.75, -1e300, kRate);
  for (const std::int16_t value : {std::int16_t{0}, std::int16_t{1234}, std::int16_t{-32768}}) {
    SCOPED_TRACE(value);
    const std::vector<std::int16_t> frame(kFrame, value);
    PitchResult r = sentinelRecord();
    r.soundPresent = true;
    ASSERT_TRUE(tracker.computePitch(frame, r));
    EXPECT_FALSE(r.soundPresent);
    EXPECT_EQ(r.pitch, 123.25);
    EXPECT_EQ(r.level, 99u);
    EXPECT_EQ(r.upperSwing, 0.0);
    EXPECT_EQ(r.lowerSwing, 0.0);
    EXPECT_EQ(r.meanAbsAmplitude, value < 0 ? 32768.0 : static_cast<double>(value));
  }
}

TEST(WaveletPitchTrackerTest, SingleSpikeHasSoundButNoPitch) {
  WaveletPitchTracker tracker(kFrame, 0.75, 5.0, kRate);
  std::vector<std::int16_t> frame(kFrame, 0);
  frame[500] = 20000;
  PitchResult r = sentinelRecord();
  ASSERT_TRUE(tracker.computePitch(frame, r));
  EXPECT_TRUE(r.soundPresent);
  EXPECT_EQ(r.pitch, 0.0);
  EXPECT_EQ(r.level, 6u);
}

// Pulses of width w every 64 samples, aligned to the averaging pairs: level k
// keeps the full pulse height only while 2^k <= w. The thresholds come from
// the raw frame, so levels where the averaged pulses fall short find no
// maxima, and a pitch needs two consecutive levels with extrema.
TEST(WaveletPitchTrackerTest, ThresholdsComeFromTheRawFrameOnEveryLevel) {
  auto pulses = [](std::size_t width) {
    std::vector<std::int16_t> frame(kFrame, 0);
    for (std::size_t start = 0; start < kFrame; start += 64) {
      for (std::size_t i = start; i < start + width; ++i) frame[i] = 16000;
    }
    return frame;
  };
  WaveletPitchTracker tracker(kFrame, 0.75, 5.0, kRate);
  PitchResult narrow;
  ASSERT_TRUE(tracker.computePitch(pulses(2), narrow));
  EXPECT_TRUE(narrow.soundPresent);
  EXPECT_EQ(narrow.level, 6u);
  EXPECT_EQ(narrow.pitch, 0.0);

  PitchResult wide;
  ASSERT_TRUE(tracker.computePitch(pulses(16), wide));
  EXPECT_TRUE(wide.soundPresent);
  EXPECT_EQ(wide.level, 2u);
  // Period 64 samples = 32 at level 1: 44100 / (4 * 32).
  EXPECT_DOUBLE_EQ(wide.pitch, 44100.0 / 128.0);
}

TEST(WaveletPitchTrackerTest, FramesAreAnalysedIndependently) {
  std::mt19937 rng(11);
  const double harmonics[] = {1.0, 0.6, 0.3};
  std::vector<std::vector<std::int16_t>> frames;
  for (double f : {90.0, 150.0, 441.0, 700.0, 1500.0}) {
    frames.push_back(harmonicTone(kFrame, f, 12000.0, kRate, harmonics));
  }
  frames.push_back(whiteNoise(kFrame, 15000.0, rng));
  frames.push_back(std::vector<std::int16_t>(kFrame, 5));

  WaveletPitchTracker used(kFrame, 0.6, 5.0, kRate);
  for (const auto& before : frames) {
    for (const auto& frame : frames) {
      PitchResult warm;
      PitchResult fresh;
      ASSERT_TRUE(used.computePitch(before, warm));
      ASSERT_TRUE(used.computePitch(frame, warm));
      WaveletPitchTracker unused(kFrame, 0.6, 5.0, kRate);
      ASSERT_TRUE(unused.computePitch(frame, fresh));
      if (!fresh.soundPresent) {
        // Below the gate pitch and level are not written at all.
        EXPECT_EQ(warm.upperSwing, fresh.upperSwing);
        EXPECT_FALSE(warm.soundPresent);
      } else {
        EXPECT_EQ(warm, fresh);
      }
    }
  }
}

TEST(WaveletPitchTrackerTest, LittleEndianBytesGiveTheSameResult) {
  WaveletPitchTracker tracker(kFrame, 0.75, 5.0, kRate);
  const auto frame = sine(kFrame, 300.0, -9000.0, kRate);
  std::vector<std::uint8_t> bytes;
  for (const std::int16_t x : frame) {
    const auto u = static_cast<std::uint16_t>(x);
    bytes.push_back(static_cast<std::uint8_t>(u & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(u >> 8));
  }
  PitchResult fromSamples;
  PitchResult fromBytes;
  ASSERT_TRUE(tracker.computePitch(frame, fromSamples));
  ASSERT_TRUE(tracker.computePitchLittleEndian(bytes, fromBytes));
  EXPECT_EQ(fromSamples, fromBytes);
  EXPECT_TRUE(fromBytes.soundPresent);
}

TEST(WaveletPitchTrackerTest, WrongFrameSizeIsRefusedAndLeavesTheRecord) {
  WaveletPitchTracker tracker(kFrame, 0.75, 5.0, kRate);
  const PitchResult before = sentinelRecord();
  PitchResult r = before;
  const auto longer = sine(kFrame + 1, 441.0, 10000.0, kRate);
  EXPECT_FALSE(tracker.computePitch(longer, r));
  EXPECT_FALSE(tracker.computePitch(std::span(longer).first(kFrame - 1), r));
  EXPECT_FALSE(tracker.computePitch({}, r));
  const std::vector<std::uint8_t> odd(2 * kFrame - 1, 0x11);
  const std::vector<std::uint8_t> over(2 * kFrame + 1, 0x11);
  EXPECT_FALSE(tracker.computePitchLittleEndian(odd, r));
  EXPECT_FALSE(tracker.computePitchLittleEndian(over, r));
  EXPECT_EQ(r, before);
}

// Sizes below 2 cannot be analysed; they must still be safe (no read past the
// frame, no division by zero) and never report a pitch.
TEST(WaveletPitchTrackerTest, TinyFrameSizesAreSafe) {
  WaveletPitchTracker empty(0, 0.75, -std::numeric_limits<double>::infinity(), kRate);
  PitchResult r = sentinelRecord();
  r.soundPresent = true;
  EXPECT_TRUE(empty.computePitch({}, r));
  EXPECT_FALSE(r.soundPresent);
  EXPECT_EQ(r.meanAbsAmplitude, 0.0);
  EXPECT_EQ(r.upperSwing, 0.0);
  EXPECT_EQ(r.level, 99u);

  // One sample: measured, and with a gate that lets everything through it has
  // sound but no level to find a pitch on.
  WaveletPitchTracker one(1, 0.75, -std::numeric_limits<double>::infinity(), kRate);
  const std::int16_t sample[] = {-700};
  r = sentinelRecord();
  EXPECT_TRUE(one.computePitch(sample, r));
  EXPECT_TRUE(r.soundPresent);
  EXPECT_EQ(r.meanAbsAmplitude, 700.0);
  EXPECT_EQ(r.pitch, 0.0);
  EXPECT_EQ(r.level, 6u);

  WaveletPitchTracker gated(1, 0.75, 5.0, kRate);
  r = sentinelRecord();
  EXPECT_TRUE(gated.computePitch(sample, r));
  EXPECT_FALSE(r.soundPresent);
  EXPECT_EQ(r.level, 99u);

  // Two and three samples: level 1 has a single value, so nothing is scanned.
  for (std::uint32_t n : {2u, 3u, 5u}) {
    WaveletPitchTracker small(n, 0.5, 0.0, kRate);
    std::vector<std::int16_t> frame(n);
    for (std::uint32_t i = 0; i < n; ++i)
      frame[i] = static_cast<std::int16_t>(i % 2 ? 9000 : -9000);
    r = sentinelRecord();
    EXPECT_TRUE(small.computePitch(frame, r));
    EXPECT_TRUE(r.soundPresent);
    EXPECT_EQ(r.level, 6u);
    EXPECT_EQ(r.pitch, 0.0);
  }
}

TEST(WaveletPitchTrackerTest, ExtremeSamplesAndZeroRate) {
  // Full-scale square wave: the sums and swings stay exact at the 16-bit limits.
  std::vector<std::int16_t> frame(kFrame);
  for (std::size_t i = 0; i < kFrame; ++i)
    frame[i] = (i / 50) % 2 ? std::int16_t{-32768} : std::int16_t{32767};
  WaveletPitchTracker tracker(kFrame, 0.75, 5.0, kRate);
  PitchResult r;
  ASSERT_TRUE(tracker.computePitch(frame, r));
  EXPECT_TRUE(r.soundPresent);
  EXPECT_GT(r.meanAbsAmplitude, 32767.0);
  EXPECT_LT(r.meanAbsAmplitude, 32768.0);

  // A sampling rate of 0 gives the smallest extremum distance (1) and a pitch
  // of 0 Hz if any level accepts; it must not divide by zero.
  WaveletPitchTracker noRate(kFrame, 0.75, 5.0, 0);
  PitchResult z;
  ASSERT_TRUE(noRate.computePitch(sine(kFrame, 441.0, 10000.0, kRate), z));
  EXPECT_TRUE(z.soundPresent);
  EXPECT_EQ(z.pitch, 0.0);
}

}  // namespace
}  // namespace vornix
