// The audio conditioning on generated recordings: harmonic "voices" with
// pauses, seeded white noise, crosstalk with a delay. Which frames leave above
// the speech components' gate is read by the pitch tracker itself.
#include "host/conditioning.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "host/conditioning_floor.h"
#include "speech/wavelet_pitch_tracker.h"

namespace vornix::host {
namespace {

constexpr std::uint32_t kRate = 44100;
constexpr std::uint32_t kBuffer = 1024;
constexpr double kGate = 5.0;  // the components' default NoiseThreshold
constexpr double kFrameSeconds = static_cast<double>(kBuffer) / kRate;

using Signal = std::vector<double>;

std::size_t samplesIn(double seconds) {
  return static_cast<std::size_t>(std::lround(seconds * kRate));
}

double amplitudeOf(double dbfs) {
  return 32768.0 * std::pow(10.0, dbfs / 20.0);
}

struct Span {
  double from;  // seconds
  double to;
};

// A harmonic voice (f0 and nine overtones falling as 1/k) while inside one
// of `spans`: syllables of 250 ms at -0, -4 and -2 dB from `dbfs` RMS in
// turn, each followed by a 50 ms closure (as of a stop consonant), with 5 ms
// ramps at every edge. A closure is too short to end an utterance.
void addVoice(Signal& signal, double f0, double dbfs, const std::vector<Span>& spans) {
  double norm = 0.0;
  for (int k = 1; k <= 10; ++k) norm += 0.5 / (k * k);
  const double scale = amplitudeOf(dbfs) / std::sqrt(norm);
  constexpr double kSyllable = 0.25;
  constexpr double kClosure = 0.05;
  constexpr double kRamp = 0.005;
  const double syllableGain[] = {1.0, std::pow(10.0, -4.0 / 20), std::pow(10.0, -2.0 / 20)};
  for (const Span& span : spans) {
    const std::size_t begin = samplesIn(span.from);
    const std::size_t end = std::min(samplesIn(span.to), signal.size());
    for (std::size_t i = begin; i < end; ++i) {
      const double t = static_cast<double>(i) / kRate;
      const double inSpan = t - span.from;
      const double period = kSyllable + kClosure;
      const auto syllable = static_cast<std::size_t>(inSpan / period);
      const double inSyllable = inSpan - static_cast<double>(syllable) * period;
      if (inSyllable >= kSyllable) continue;
      // Ramps at the syllable's edges and at the end of the span.
      const double edge = std::min(
          {1.0, inSyllable / kRamp, (kSyllable - inSyllable) / kRamp, (span.to - t) / kRamp});
      // A slow vibrato keeps the harmonics from lining up the same way in
      // every frame.
      const double phase =
          2 * std::numbers::pi * (f0 * t + 2.0 * std::sin(2 * std::numbers::pi * t));
      double v = 0.0;
      for (int k = 1; k <= 10; ++k) v += std::sin(k * phase) / k;
      signal[i] += scale * syllableGain[syllable % 3] * edge * v;
    }
  }
}

// Seeded white noise at `dbfs` RMS over [from, to) seconds.
void addNoise(Signal& signal, double dbfs, double from, double to, unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> normal(0.0, amplitudeOf(dbfs));
  const std::size_t end = std::min(samplesIn(to), signal.size());
  for (std::size_t i = samplesIn(from); i < end; ++i) signal[i] += normal(random);
}

std::vector<std::int16_t> toPcm(const Signal& signal) {
  std::vector<std::int16_t> pcm(signal.size());
  for (std::size_t i = 0; i < signal.size(); ++i) {
    pcm[i] = static_cast<std::int16_t>(std::clamp(std::lround(signal[i]), -32768L, 32767L));
  }
  return pcm;
}

// Conditions whole-frame channels in place; per channel and frame, whether
// the tracker reads the frame as sound afterwards.
std::vector<std::vector<bool>> condition(std::vector<std::vector<std::int16_t>>& channels,
                                         const ConditioningSettings& settings,
                                         Conditioner* out = nullptr) {
  Conditioner local(channels.size(), kRate, kBuffer, settings);
  Conditioner& conditioner = out != nullptr ? *out : local;
  WaveletPitchTracker tracker(kBuffer, 0.75, kGate, kRate);
  const std::size_t frames = channels.front().size() / kBuffer;
  std::vector<std::vector<bool>> sound(channels.size(), std::vector<bool>(frames));
  for (std::size_t k = 0; k < frames; ++k) {
    std::vector<std::span<std::int16_t>> step;
    for (auto& channel : channels) step.emplace_back(channel.data() + k * kBuffer, kBuffer);
    conditioner.process(step);
    for (std::size_t c = 0; c < channels.size(); ++c) {
      PitchResult result;
      tracker.computePitch(step[c], result);
      sound[c][k] = result.soundPresent;
    }
  }
  return sound;
}

// Per frame, whether the tracker reads the voice alone (no noise, no other
// speaker, not conditioned) as sound: what the conditioned frames should show.
std::vector<bool> reference(double seconds, double f0, double dbfs,
                            const std::vector<Span>& spans) {
  Signal voice(samplesIn(seconds));
  addVoice(voice, f0, dbfs, spans);
  const std::vector<std::int16_t> pcm = toPcm(voice);
  WaveletPitchTracker tracker(kBuffer, 0.75, kGate, kRate);
  std::vector<bool> out(pcm.size() / kBuffer);
  for (std::size_t k = 0; k < out.size(); ++k) {
    PitchResult result;
    tracker.computePitch(std::span(pcm.data() + k * kBuffer, kBuffer), result);
    out[k] = result.soundPresent;
  }
  return out;
}

// The first frame in which two recordings differ; the frame count when none.
std::size_t firstDifferentFrame(const std::vector<std::int16_t>& a,
                                const std::vector<std::int16_t>& b) {
  const auto [at, unused] = std::mismatch(a.begin(), a.end(), b.begin());
  return static_cast<std::size_t>(at - a.begin()) / kBuffer;
}

// Frames whose state differs from the expected one, except within
// `tolerance` frames of an expected change and in the frames `skip` (from,
// to in seconds) excludes.
std::vector<std::size_t> mismatches(const std::vector<bool>& got, const std::vector<bool>& want,
                                    std::size_t tolerance = 2, Span skip = {0.0, 0.0}) {
  std::vector<std::size_t> out;
  for (std::size_t k = 0; k < got.size(); ++k) {
    if (got[k] == want[k]) continue;
    const double t = static_cast<double>(k) * kFrameSeconds;
    if (t + kFrameSeconds > skip.from && t < skip.to) continue;
    bool nearEdge = false;
    const std::size_t low = k >= tolerance ? k - tolerance : 0;
    const std::size_t high = std::min(got.size() - 1, k + tolerance);
    for (std::size_t j = low; j < high; ++j) {
      if (want[j] != want[j + 1]) nearEdge = true;
    }
    if (!nearEdge) out.push_back(k);
  }
  return out;
}

std::size_t count(const std::vector<bool>& v) {
  return static_cast<std::size_t>(std::count(v.begin(), v.end(), true));
}

std::size_t frameCount(double seconds) {
  return samplesIn(seconds) / kBuffer;
}

const std::vector<Span> kTurns = {{0.5, 2.0},   {2.3, 3.0},   {4.0, 6.5},   {8.0, 9.2},
                                  {10.0, 11.5}, {12.5, 14.0}, {15.0, 17.0}, {18.5, 19.5}};

TEST(ConditioningTransparency, DisabledLeavesNoisyFramesBitIdentical) {
  Signal s(samplesIn(10.0));
  addNoise(s, -50, 0, 10, 1);
  addVoice(s, 120, -30, {{1, 3}, {5, 7}});
  std::vector<std::vector<std::int16_t>> channels = {toPcm(s), toPcm(s)};
  const auto before = channels;
  ConditioningSettings off;
  off.enabled = false;
  Conditioner conditioner(2, kRate, kBuffer, off);
  const auto sound = condition(channels, off, &conditioner);
  EXPECT_EQ(channels, before);
  // Noise above the components' gate: today every frame reads as sound.
  EXPECT_EQ(count(sound[0]), sound[0].size());
  // Levels are still measured.
  EXPECT_NEAR(conditioner.levels(0).noiseFloorDbfs, -50.0, 1.5);
}

// The channels, over a room floor at `floorDbfs` (none below -120 dBFS;
// channel k's noise seeded `seed` + k), conditioned together: every frame of
// every channel must leave as it was recorded.
void expectLeftAsRecorded(std::vector<Signal> signals, double floorDbfs, unsigned seed) {
  std::vector<std::vector<std::int16_t>> channels;
  for (Signal& signal : signals) {
    const double seconds = static_cast<double>(signal.size()) / kRate;
    if (floorDbfs > -120) addNoise(signal, floorDbfs, 0, seconds, seed++);
    channels.push_back(toPcm(signal));
  }
  const auto before = channels;
  condition(channels, ConditioningSettings{});
  for (std::size_t c = 0; c < channels.size(); ++c) {
    EXPECT_EQ(firstDifferentFrame(channels[c], before[c]), before[c].size() / kBuffer)
        << "floor " << floorDbfs << ", channel " << c;
  }
}

TEST(ConditioningTransparency, CleanRecordingLeavesBitIdentical) {
  // Voices over digital silence and over a floor far below the gate: every
  // frame the conditioner might silence is silence to the components already.
  for (const double floorDbfs : {-200.0, -85.0}) {
    Signal a(samplesIn(20.0));
    Signal b(samplesIn(20.0));
    addVoice(a, 110, -30, {kTurns[0], kTurns[2], kTurns[4], kTurns[6]});
    addVoice(b, 210, -32, {kTurns[1], kTurns[3], kTurns[5], kTurns[7], {16.5, 18.0}});
    expectLeftAsRecorded({a, b}, floorDbfs, 2);
  }
}

// A voice as addVoice makes it, whose last `fadeSeconds` before `to` fall
// linearly in dB by `dropDb`: a line's end trailing off.
Signal fadingVoice(double seconds, double f0, double dbfs, const std::vector<Span>& spans,
                   double to, double fadeSeconds, double dropDb) {
  Signal voice(samplesIn(seconds));
  addVoice(voice, f0, dbfs, spans);
  for (std::size_t i = samplesIn(to - fadeSeconds); i < samplesIn(to); ++i) {
    const double into = (static_cast<double>(i) / kRate - (to - fadeSeconds)) / fadeSeconds;
    voice[i] *= std::pow(10.0, -dropDb * into / 20.0);
  }
  return voice;
}

// Close-talk microphones without pick-up: the end of A's line trails off by
// 30 dB under B's louder start, once early in the recording and once later.
// Those are A's own frames; nothing the components read as sound changes.
TEST(ConditioningTransparency, LineEndFadingUnderTheOtherSpeakersStartIsKept) {
  for (const double floorDbfs : {-200.0, -85.0}) {
    const std::vector<Span> turnsA = {{0.5, 4.0}, {8.0, 11.0}};
    const std::vector<Span> turnsB = {{3.5, 6.5}, {10.4, 13.0}};
    Signal a = fadingVoice(14.0, 110, -32, turnsA, 4.0, 0.6, 30);
    const Signal later = fadingVoice(14.0, 110, -32, {turnsA[1]}, 11.0, 0.7, 30);
    for (std::size_t i = samplesIn(8.0); i < a.size(); ++i) a[i] = later[i];
    Signal b(samplesIn(14.0));
    addVoice(b, 220, -24, turnsB);
    expectLeftAsRecorded({a, b}, floorDbfs, 31);
  }
}

// A speaker who talks most of ten seconds over near silence, in lines longer
// than the spread's 2 s minimum and without a drop to the floor inside them
// (a second voice 12 dB down fills the closures): that minimum and the
// typical level lie in the speech, but nothing under them is noise, and the
// trailing end of the long line is kept.
TEST(ConditioningTransparency, TalkativeSpeakerOverSilenceKeepsTheFadingEndOfALongLine) {
  for (const double floorDbfs : {-200.0, -100.0}) {
    Signal a(samplesIn(15.0));
    addVoice(a, 120, -30, {{0.5, 6.0}, {6.4, 13.0}});
    addVoice(a, 180, -42, {{0.65, 6.0}, {6.55, 13.0}});
    for (std::size_t i = samplesIn(12.4); i < samplesIn(13.0); ++i) {
      a[i] *= std::pow(10.0, -30.0 * (static_cast<double>(i) / kRate - 12.4) / 0.6 / 20.0);
    }
    expectLeftAsRecorded({a}, floorDbfs, 35);
  }
}

TEST(ConditioningGate, NoiseAddedMidwayIsSilencedOnceTheFloorFollows) {
  // Clean until 6 s, white noise at -56 dBFS (20 dB under the voice) from 6 s
  // to 16 s, clean again after: the floor rises within its window and falls
  // at once.
  Signal s(samplesIn(20.0));
  addNoise(s, -56, 6, 16, 4);
  addVoice(s, 120, -36, kTurns);
  std::vector<std::vector<std::int16_t>> channels = {toPcm(s)};
  ConditioningSettings settings;
  settings.hangoverMs = 40;  // two frames: within the edge tolerance
  const auto sound = condition(channels, settings);
  const auto want = reference(20.0, 120, -36, kTurns);
  const double catchUp = settings.floorWindowSeconds + 0.1;
  // Within the band the gate follows a fading voice one frame deeper into
  // the noise than the components read the voice alone: three frames.
  EXPECT_EQ(mismatches(sound[0], want, 3, {6.0, 6.0 + catchUp}), std::vector<std::size_t>{});
  // While the floor catches up the noise passes: no longer than the window.
  std::size_t passedNoise = 0;
  for (std::size_t k = frameCount(6.0); k < sound[0].size(); ++k) {
    if (sound[0][k] && !want[k]) ++passedNoise;
  }
  EXPECT_LE(passedNoise, frameCount(catchUp));
}

TEST(ConditioningGate, ShortDipInsideAWordDoesNotFlicker) {
  // A 20 ms drop to the noise inside a word silences no frame the voice alone
  // would not leave silent; a 200 ms pause is silence.
  Signal s(samplesIn(6.0));
  addNoise(s, -56, 0, 6, 5);
  const std::vector<Span> word = {{1.0, 2.0}, {2.02, 3.0}, {3.2, 4.0}};
  addVoice(s, 140, -36, word);
  std::vector<std::vector<std::int16_t>> channels = {toPcm(s)};
  ConditioningSettings settings;
  settings.hangoverMs = 40;  // two frames: a 200 ms pause keeps five silent
  const auto sound = condition(channels, settings);
  const auto want = reference(6.0, 140, -36, word);
  for (std::size_t k = frameCount(1.05); k < frameCount(2.95); ++k) {
    EXPECT_TRUE(sound[0][k] || !want[k]) << "frame " << k;
  }
  std::size_t silentInPause = 0;
  for (std::size_t k = frameCount(3.0) + 1; k <= frameCount(3.2); ++k) {
    if (!sound[0][k]) ++silentInPause;
  }
  EXPECT_GE(silentInPause, 5U);
  EXPECT_EQ(mismatches(sound[0], want), std::vector<std::size_t>{});
}

// Noise the components read as sound after each end of the voice: frames
// that sound but that the voice alone leaves silent.
std::size_t soundAfterEnds(const std::vector<bool>& got, const std::vector<bool>& want) {
  std::size_t n = 0;
  for (std::size_t k = 0; k < got.size(); ++k) n += got[k] && !want[k] ? 1U : 0U;
  return n;
}

// Far over noise the components read as sound, a word's tail closes the gate
// by itself, and no hangover passes noise after each of the eight ends; near
// the noise the frames leave as with the full hangover, to the bit.
TEST(ConditioningGate, HangoverShrinksWhereSpeechStandsFarOverAudibleNoise) {
  const auto run = [](double noiseDbfs, bool shrink) {
    Signal s(samplesIn(20.0));
    addNoise(s, noiseDbfs, 0, 20, 36);
    addVoice(s, 130, -30, kTurns);
    std::vector<std::vector<std::int16_t>> channels = {toPcm(s)};
    ConditioningSettings settings;
    if (!shrink) settings.hangoverShortDb = settings.hangoverNoneDb = 200;
    const auto sound = condition(channels, settings);
    return std::make_pair(soundAfterEnds(sound[0], reference(20.0, 130, -30, kTurns)), channels[0]);
  };
  const auto [farShort, farShortPcm] = run(-52, true);
  const auto [farFull, farFullPcm] = run(-52, false);
  EXPECT_GE(farFull, farShort + 2 * kTurns.size());
  const auto [nearShort, nearShortPcm] = run(-36, true);
  const auto [nearFull, nearFullPcm] = run(-36, false);
  EXPECT_EQ(nearShortPcm, nearFullPcm);
}

TEST(ConditioningGate, AllNoiseAndDigitalSilenceGiveNoSound) {
  Signal noise(samplesIn(10.0));
  addNoise(noise, -50, 0, 10, 6);
  std::vector<std::vector<std::int16_t>> channels = {toPcm(noise),
                                                     std::vector<std::int16_t>(noise.size())};
  Conditioner conditioner(2, kRate, kBuffer, ConditioningSettings{});
  const auto sound = condition(channels, ConditioningSettings{}, &conditioner);
  EXPECT_EQ(count(sound[0]), 0U);
  EXPECT_EQ(count(sound[1]), 0U);
  EXPECT_TRUE(std::all_of(channels[1].begin(), channels[1].end(), [](auto x) { return x == 0; }));
  const auto noisy = conditioner.levels(0);
  EXPECT_NEAR(noisy.noiseFloorDbfs, -50.0, 1.5);
  EXPECT_TRUE(std::isnan(noisy.speechLevelDbfs));
  EXPECT_TRUE(noisy.tooQuiet);
  EXPECT_FALSE(noisy.tooNoisy);
  EXPECT_EQ(noisy.speechFrames, 0U);
  const auto silent = conditioner.levels(1);
  EXPECT_EQ(silent.noiseFloorDbfs, Conditioner::kSilenceDbfs);
  EXPECT_TRUE(silent.tooQuiet);
}

TEST(ConditioningGate, SpeakerWhoNeverPausesStaysOneUtterance) {
  // 20 s of voice without a pause, its level swinging 20 dB at a syllable
  // rate of 4 Hz, over noise 20 dB under the voice: the floor is the noise,
  // not the voice's dips, and no silence reaches the components' 300 ms
  // that would end an utterance.
  Signal voice(samplesIn(20.0));
  addVoice(voice, 130, -33, {{0.0, 20.0}});
  for (std::size_t i = 0; i < voice.size(); ++i) {
    const double t = static_cast<double>(i) / kRate;
    voice[i] *= std::pow(10.0, (-10.0 + 10.0 * std::cos(2 * std::numbers::pi * 4.0 * t)) / 20.0);
  }
  addNoise(voice, -56, 0, 20, 7);
  std::vector<std::vector<std::int16_t>> channels = {toPcm(voice)};
  Conditioner conditioner(1, kRate, kBuffer, ConditioningSettings{});
  const auto sound = condition(channels, ConditioningSettings{}, &conditioner);
  std::size_t run = 0;
  std::size_t longest = 0;
  for (std::size_t k = frameCount(0.5); k < sound[0].size(); ++k) {
    run = sound[0][k] ? 0 : run + 1;
    longest = std::max(longest, run);
  }
  EXPECT_LT(longest, static_cast<std::size_t>(0.3 / kFrameSeconds));
  EXPECT_GT(count(sound[0]), sound[0].size() * 7 / 10);
  EXPECT_NEAR(conditioner.levels(0).noiseFloorDbfs, -56.0, 3.0);
}

TEST(ConditioningLevels, QuietChannelIsStillDetected) {
  // Speaker 2 is recorded 20 dB quieter than speaker 1 and overlaps them:
  // the quiet channel's speech passes, its overlap included, and its level is
  // measured against its own floor.
  Signal a(samplesIn(20.0));
  Signal b(samplesIn(20.0));
  addNoise(a, -70, 0, 20, 8);
  addNoise(b, -76, 0, 20, 9);
  const std::vector<Span> turnsA = {{0.5, 3.0}, {6.0, 9.0}, {12.0, 15.5}};
  const std::vector<Span> turnsB = {{3.5, 5.5}, {9.5, 11.5}, {14.5, 18.0}};
  addVoice(a, 110, -30, turnsA);
  addVoice(b, 220, -50, turnsB);
  std::vector<std::vector<std::int16_t>> channels = {toPcm(a), toPcm(b)};
  Conditioner conditioner(2, kRate, kBuffer, ConditioningSettings{});
  const auto sound = condition(channels, ConditioningSettings{}, &conditioner);
  EXPECT_EQ(mismatches(sound[0], reference(20.0, 110, -30, turnsA)), std::vector<std::size_t>{});
  EXPECT_EQ(mismatches(sound[1], reference(20.0, 220, -50, turnsB)), std::vector<std::size_t>{});
  const auto quiet = conditioner.levels(1);
  EXPECT_NEAR(quiet.speechLevelDbfs, -50.0, 2.0);
  EXPECT_NEAR(quiet.noiseFloorDbfs, -76.0, 2.0);
  EXPECT_NEAR(quiet.snrDb, 26.0, 3.0);
  EXPECT_FALSE(quiet.tooQuiet);
  EXPECT_FALSE(quiet.tooNoisy);
}

TEST(ConditioningLevels, FrameLevelIsExactAtFullScaleWhateverTheFrameSize) {
  // Full-scale samples, mostly -32768 (pairs of which square to 2^31 and
  // sum to -65536) with a 32767 now and then, in frames with a tail of odd
  // samples and in one long enough that its plain sums would overflow 32-bit
  // lanes if they were not carried over in stretches: the floor after one
  // frame is that frame's level, from exact integer sums.
  for (const std::uint32_t size : {2U, 1030U, 300'003U}) {
    std::vector<std::int16_t> frame(size);
    std::int64_t sum = 0;
    long double squares = 0;
    for (std::size_t i = 0; i < size; ++i) {
      frame[i] = i % 64 == 1 ? std::int16_t{32767} : std::int16_t{-32768};
      sum += frame[i];
      squares += static_cast<long double>(frame[i]) * frame[i];
    }
    const double n = size;
    const double mean = static_cast<double>(sum) / n;
    const double variance = (static_cast<double>(squares) - mean * static_cast<double>(sum)) / n;
    const double expected = 10.0 * std::log10(variance / (32768.0 * 32768.0));
    Conditioner conditioner(1, kRate, size, ConditioningSettings{});
    const std::span<std::int16_t> step[] = {frame};
    conditioner.process(step);
    EXPECT_DOUBLE_EQ(conditioner.levels(0).currentNoiseFloorDbfs, expected) << size;
  }
}

TEST(ConditioningLevels, FlagsFollowTheirThresholds) {
  // Voice 6 dB over the noise is too noisy; a voice at -62 dBFS too quiet.
  Signal noisy(samplesIn(10.0));
  addNoise(noisy, -46, 0, 10, 10);
  addVoice(noisy, 120, -36, {{1, 3}, {5, 8}});
  Signal quiet(samplesIn(10.0));
  addVoice(quiet, 120, -62, {{1, 3}, {5, 8}});
  addNoise(quiet, -90, 0, 10, 11);
  std::vector<std::vector<std::int16_t>> channels = {toPcm(noisy), toPcm(quiet)};
  Conditioner conditioner(2, kRate, kBuffer, ConditioningSettings{});
  condition(channels, ConditioningSettings{}, &conditioner);
  EXPECT_TRUE(conditioner.levels(0).tooNoisy);
  EXPECT_LT(conditioner.levels(0).snrDb, 10.0);
  EXPECT_TRUE(conditioner.levels(1).tooQuiet);
}

// Two close-talk microphones, each hearing the other speaker `pickupDb` (20
// dB) down and `delaySeconds` late; `smear` adds two more copies of the
// pick-up, 3 and 7 ms later and 3 and 6 dB down, as a room's reflections
// would. Each hears its own room noise at `noiseDbfs`, seeded `seed` and
// `seed` + 1; none at all (digital silence between the words) when that is
// kNoNoise.
constexpr double kNoNoise = -1000.0;
std::vector<std::vector<std::int16_t>> microphones(const Signal& a, const Signal& b,
                                                   double delaySeconds, bool smear,
                                                   unsigned seed = 21, double noiseDbfs = -75,
                                                   double pickupDb = -20) {
  Signal micA = a;
  Signal micB = b;
  const double pickup = std::pow(10.0, pickupDb / 20);
  const auto addCopy = [&](double seconds, double gain) {
    const std::size_t delay = samplesIn(seconds);
    for (std::size_t i = delay; i < a.size(); ++i) {
      micA[i] += gain * b[i - delay];
      micB[i] += gain * a[i - delay];
    }
  };
  addCopy(delaySeconds, pickup);
  if (smear) {
    addCopy(delaySeconds + 0.003, pickup * std::pow(10.0, -3.0 / 20));
    addCopy(delaySeconds + 0.007, pickup * std::pow(10.0, -6.0 / 20));
  }
  if (noiseDbfs != kNoNoise) {
    addNoise(micA, noiseDbfs, 0, 1e9, seed);
    addNoise(micB, noiseDbfs, 0, 1e9, seed + 1);
  }
  return {toPcm(micA), toPcm(micB)};
}

TEST(ConditioningCrosstalk, OtherSpeakerPickedUpWithDelayIsSilenced) {
  Signal a(samplesIn(20.0));
  Signal b(samplesIn(20.0));
  const std::vector<Span> turnsA = {{0.5, 3.0}, {6.0, 9.0}, {12.0, 15.5}};
  const std::vector<Span> turnsB = {{3.5, 5.5}, {9.5, 11.5}, {14.5, 18.0}};
  addVoice(a, 110, -24, turnsA);
  addVoice(b, 220, -25, turnsB);
  std::vector<std::vector<std::int16_t>> channels = microphones(a, b, 0.002, false, 12);
  {
    // Without the rejection each channel reads the other's speech as sound.
    std::vector<std::vector<std::int16_t>> plain = channels;
    ConditioningSettings noRejection;
    noRejection.crosstalk = false;
    const auto sound = condition(plain, noRejection);
    EXPECT_GT(count(sound[1]), count(reference(20.0, 220, -25, turnsB)) * 2);
  }
  Conditioner conditioner(2, kRate, kBuffer, ConditioningSettings{});
  const auto sound = condition(channels, ConditioningSettings{}, &conditioner);
  EXPECT_EQ(mismatches(sound[0], reference(20.0, 110, -24, turnsA)), std::vector<std::size_t>{});
  EXPECT_EQ(mismatches(sound[1], reference(20.0, 220, -25, turnsB)), std::vector<std::size_t>{});
  EXPECT_GT(conditioner.levels(1).crosstalkFrames, frameCount(5.0));
}

// Microphones closer together, each hearing the other 12 dB down, over
// digital silence or over room noise; A sometimes speaks 16 dB softer. The
// pick-up's quiet frames must not
// pass: over digital silence what a copy leaves of them is the rounding to
// 16 bits, which stands over a floor of zeros like a voice of its own; over
// noise the pick-up held the gate open over its hysteresis while the
// other's words sank back into the noise, too little over it for the levels
// to judge, and those frames of noise passed as sound.
TEST(ConditioningCrosstalk, PickUpOfCloserMicrophonesStaysOutOverSilenceAndOverNoise) {
  Signal a(samplesIn(20.0));
  Signal b(samplesIn(20.0));
  const std::vector<Span> turnsA = {{0.5, 3.0}, {6.0, 9.0}, {12.0, 14.0}};
  const std::vector<Span> quietA = {{14.3, 16.0}, {18.2, 19.5}};
  const std::vector<Span> turnsB = {{3.5, 5.5}, {9.5, 11.5}, {16.5, 18.0}};
  addVoice(a, 110, -24, turnsA);
  addVoice(a, 110, -40, quietA);
  addVoice(b, 220, -30, turnsB);
  std::vector<bool> wantA = reference(20.0, 110, -24, turnsA);
  const std::vector<bool> wantQuietA = reference(20.0, 110, -40, quietA);
  for (std::size_t k = 0; k < wantA.size(); ++k) wantA[k] = wantA[k] || wantQuietA[k];
  const auto wantB = reference(20.0, 220, -30, turnsB);
  // Before, B's channel had 41 frames off over silence and 26 over noise,
  // most of them A's quiet words picked up.
  const struct {
    double noiseDbfs;
    std::size_t offB;
  } cases[] = {{kNoNoise, 4}, {-52.0, 12}};
  for (const auto& room : cases) {
    SCOPED_TRACE(room.noiseDbfs);
    auto channels = microphones(a, b, 0.002, false, 17, room.noiseDbfs, -12);
    const auto sound = condition(channels, ConditioningSettings{});
    EXPECT_LE(mismatches(sound[0], wantA).size(), 3U);
    EXPECT_LE(mismatches(sound[1], wantB).size(), room.offB);
  }
}

// A's words end in a hiss (white noise, as of an "s"), and B's microphone
// hears A 12 dB down and 2.5 samples late: a copy at a whole lag explains the
// voiced syllables well and the hiss poorly, so the hiss leaves a large share
// of its frame unexplained, as a voice of B's own would. What it leaves is
// far too quiet for the components to hear, though, and the hiss stays out
// of B's channel; only the pick-up's peaks reached their gate.
TEST(ConditioningCrosstalk, HissOfTheOtherHalfASampleLateStaysOut) {
  std::string error;
  const double seconds = 16.0;
  Signal a(samplesIn(seconds));
  Signal b(samplesIn(seconds));
  const std::vector<Span> turnsA = {{0.5, 2.5}, {3.5, 5.0}, {6.0, 8.0}, {9.0, 10.5}, {11.5, 13.5}};
  const std::vector<Span> turnsB = {{14.0, 15.5}};
  addVoice(a, 110, -24, turnsA);
  std::mt19937 random(7);
  std::normal_distribution<double> normal(0.0, amplitudeOf(-40));
  double previous = 0.0;
  for (const Span& turn : turnsA) {
    // 0.25 s of hiss after the turn: white noise, differenced (high frequencies).
    for (std::size_t i = samplesIn(turn.to); i < samplesIn(turn.to + 0.25); ++i) {
      const double white = normal(random);
      a[i] += (white - previous) / std::sqrt(2.0);
      previous = white;
    }
  }
  addVoice(b, 220, -28, turnsB);
  Signal micA = a;
  Signal micB = b;
  const double gain = std::pow(10.0, -12.0 / 20);
  const std::size_t whole = 2;  // and half a sample more, by linear interpolation
  for (std::size_t i = whole + 1; i < a.size(); ++i) {
    micB[i] += gain * 0.5 * (a[i - whole] + a[i - whole - 1]);
    micA[i] += gain * 0.5 * (b[i - whole] + b[i - whole - 1]);
  }
  const std::vector<std::vector<std::int16_t>> pcm = {toPcm(micA), toPcm(micB)};
  auto channels = pcm;
  const auto sound = condition(channels, ConditioningSettings{});
  const auto wantB = reference(seconds, 220, -28, turnsB);
  EXPECT_EQ(mismatches(sound[1], wantB), std::vector<std::size_t>{});
  // Taking speech to peak far over its level lets the hiss through again.
  ConditioningSettings anyResidue;
  ASSERT_TRUE(setConditioningSetting(anyResidue, "Conditioning.SpeechCrestDb", "60", error));
  channels = pcm;
  EXPECT_GE(mismatches(condition(channels, anyResidue)[1], wantB).size(), 3U);
}

// B sits near A's microphone: B's microphone hears A only 10 dB down, A's
// hears B 22 dB down, each over its own room noise. Each of A's turns fades
// out over 0.4 s; there A's pick-up sinks into the noise of B's microphone,
// and the difference between the channels under 6 dB, too little to judge
// by the levels. Once a copy has proven the pick-up, those frames are
// judged too, and A's fading words stay out of B's channel.
TEST(ConditioningCrosstalk, StrongPickUpFadingIntoTheNoiseStaysOut) {
  const double seconds = 20.0;
  Signal a(samplesIn(seconds));
  Signal b(samplesIn(seconds));
  const std::vector<Span> turnsA = {{0.5, 3.0}, {6.0, 9.0}, {12.0, 15.5}};
  const std::vector<Span> turnsB = {{3.6, 5.5}, {9.6, 11.5}, {16.0, 18.0}};
  addVoice(a, 110, -24, turnsA);
  std::vector<Span> fading;
  for (const Span& turn : turnsA) {
    for (int step = 1; step <= 2; ++step) {
      const double from = turn.to + 0.2 * (step - 1) + 0.01;
      addVoice(a, 110, -24 - 8 * step, {{from, from + 0.19}});
    }
    fading.push_back({turn.to, turn.to + 0.42});
  }
  addVoice(b, 220, -28, turnsB);
  Signal micA = a;
  Signal micB = b;
  const std::size_t delay = samplesIn(0.002);
  for (std::size_t i = delay; i < a.size(); ++i) {
    micA[i] += std::pow(10.0, -22.0 / 20) * b[i - delay];
    micB[i] += std::pow(10.0, -10.0 / 20) * a[i - delay];
  }
  addNoise(micA, -52, 0, seconds, 71);
  addNoise(micB, -48, 0, seconds, 72);
  std::vector<std::vector<std::int16_t>> channels = {toPcm(micA), toPcm(micB)};
  const auto sound = condition(channels, ConditioningSettings{});
  std::size_t inFading = 0;
  for (std::size_t k = 0; k < sound[1].size(); ++k) {
    const double t = static_cast<double>(k) * kFrameSeconds;
    for (const Span& span : fading) {
      if (sound[1][k] && t + kFrameSeconds > span.from && t < span.to) ++inFading;
    }
  }
  // Before, 11 frames of A's fading words sounded on B's channel.
  EXPECT_EQ(inFading, 0U);
  // What else is off on B's channel: two-frame blips of A's pick-up where a
  // syllable of A's stops short, and A's first words before the copy has
  // learned the pick-up.
  EXPECT_LE(mismatches(sound[1], reference(seconds, 220, -28, turnsB)).size(), 16U);
}

// B's first words fall into a line of A's, so A's microphone already sounds
// when B's pick-up arrives, and keeps sounding on it once A stops: the pick-up
// is evidenced by its level following B's, and from then on silenced. B's
// channel hears A from A's first word and is judged from its onset.
TEST(ConditioningCrosstalk, PickUpOfSpeakerWhoStartsInAnOverlapIsSilencedOnceItHoldsSteady) {
  Signal a(samplesIn(12.0));
  Signal b(samplesIn(12.0));
  const std::vector<Span> turnsA = {{0.5, 3.0}, {8.0, 10.0}};
  const std::vector<Span> turnsB = {{2.2, 7.0}};
  addVoice(a, 110, -26, turnsA);
  addVoice(b, 220, -24, turnsB);
  std::vector<std::vector<std::int16_t>> channels = microphones(a, b, 0.002, false, 33);
  const auto sound = condition(channels, ConditioningSettings{});
  // Twelve steps of a steady difference after A's line ends, and a frame or
  // two of edges: about 0.35 s of B's pick-up may pass on A's channel.
  EXPECT_EQ(mismatches(sound[0], reference(12.0, 110, -26, turnsA), 2, {3.0, 3.4}),
            std::vector<std::size_t>{});
  EXPECT_EQ(mismatches(sound[1], reference(12.0, 220, -24, turnsB)), std::vector<std::size_t>{});
}

// A quiet speaker B (13 dB below A) talks under A three times: the levels
// alone take B's words for A's pick-up; the delayed copy of A explains only
// a small part of those frames, so they pass.
TEST(ConditioningCrosstalk, QuietSpeakerUnderTheOtherPassesByTheDelayedCopy) {
  Signal a(samplesIn(20.0));
  Signal b(samplesIn(20.0));
  const std::vector<Span> turnsA = {{0.5, 7.0}, {9.0, 16.0}};
  const std::vector<Span> turnsB = {{4.0, 5.5}, {7.5, 8.5}, {11.0, 12.0}, {14.0, 15.0}};
  addVoice(a, 110, -24, turnsA);
  addVoice(b, 220, -37, turnsB);
  const auto wantA = reference(20.0, 110, -24, turnsA);
  const auto wantB = reference(20.0, 220, -37, turnsB);
  {
    // By the levels alone, B's words under A are lost.
    auto channels = microphones(a, b, 0.002, false);
    ConditioningSettings levelsOnly;
    levelsOnly.crosstalkMaxDelayMs = 0;
    const auto sound = condition(channels, levelsOnly);
    EXPECT_GT(mismatches(sound[1], wantB).size(), frameCount(1.0));
  }
  for (const double delay : {0.0, 0.002}) {
    auto channels = microphones(a, b, delay, false);
    const auto sound = condition(channels, ConditioningSettings{});
    EXPECT_EQ(mismatches(sound[0], wantA), std::vector<std::size_t>{}) << delay;
    EXPECT_EQ(mismatches(sound[1], wantB), std::vector<std::size_t>{}) << delay;
  }
}

// The same in a noisy room: each microphone's noise is about as loud as the
// other speaker's pick-up on it, so a copy explains no more than half of a
// frame of pick-up alone, the rest being the noise. What a copy leaves of
// B's words under A stands clearly over the noise, so they pass, and the
// pick-up alone does not.
TEST(ConditioningCrosstalk, QuietSpeakerUnderTheOtherPassesInNoiseByTheDelayedCopy) {
  Signal a(samplesIn(20.0));
  Signal b(samplesIn(20.0));
  // A pauses within the floor's window, as a speaker does: a tone without a
  // dip for longer would lift the floor into it over this noise.
  const std::vector<Span> turnsA = {{0.5, 3.5}, {3.9, 7.0}, {9.0, 13.0}, {13.4, 16.0}};
  const std::vector<Span> turnsB = {{4.0, 5.5}, {7.5, 8.5}, {11.0, 12.0}, {14.0, 15.0}};
  addVoice(a, 110, -24, turnsA);
  addVoice(b, 220, -33, turnsB);
  const auto wantA = reference(20.0, 110, -24, turnsA);
  const auto wantB = reference(20.0, 220, -33, turnsB);
  ConditioningSettings levelsOnly;
  levelsOnly.crosstalkMaxDelayMs = 0;
  auto byLevels = microphones(a, b, 0.002, false, 5, -47);
  auto byCopy = byLevels;
  const auto soundByLevels = condition(byLevels, levelsOnly);
  const auto sound = condition(byCopy, ConditioningSettings{});
  // By the levels alone B's words under A are lost. With the copy they pass;
  // what stays is the hangover over the audible noise after B's words with
  // A silent, a few frames more than the edges allowed for, as by the levels.
  EXPECT_GT(mismatches(soundByLevels[1], wantB).size(), frameCount(1.0));
  EXPECT_LE(mismatches(sound[1], wantB).size(), 8U);
  EXPECT_LE(mismatches(sound[0], wantA).size(), 2U);
}

// Where a single delayed copy does not explain the pick-up (reflections), the
// test learns that pick-up alone is explained no better than speech of its
// own and leaves every decision to the levels.
TEST(ConditioningCrosstalk, SmearedPickUpIsLeftToTheLevels) {
  Signal a(samplesIn(20.0));
  Signal b(samplesIn(20.0));
  addVoice(a, 110, -24, {{0.5, 7.0}, {9.0, 16.0}});
  const std::vector<Span> turnsB = {{4.0, 5.5}, {7.5, 8.5}, {11.0, 12.0}, {14.0, 15.0}};
  addVoice(b, 220, -37, turnsB);
  const auto pcm = microphones(a, b, 0.002, true);
  auto channels = pcm;
  auto levelsOnly = pcm;
  ConditioningSettings noDelay;
  noDelay.crosstalkMaxDelayMs = 0;
  // The tail of reverberant pick-up (CrosstalkTailMs) is judged only where
  // the copy has found the pick-up smeared; it is left out here.
  ConditioningSettings noTail;
  noTail.crosstalkTailMs = 0;
  condition(levelsOnly, noDelay);
  const auto soundNoTail = condition(channels, noTail);
  EXPECT_EQ(firstDifferentFrame(channels[0], levelsOnly[0]), frameCount(20.0));
  EXPECT_EQ(firstDifferentFrame(channels[1], levelsOnly[1]), frameCount(20.0));
  // With it, B's words pass as they did.
  auto withTail = pcm;
  const auto sound = condition(withTail, ConditioningSettings{});
  const auto wantB = reference(20.0, 220, -37, turnsB);
  EXPECT_LE(mismatches(sound[1], wantB).size(), mismatches(soundNoTail[1], wantB).size());
}

// Channels measured side by side give each channel exactly what it gets
// alone: the same samples out and the same levels, to the bit.
// `x` as a microphone across a reverberant room hears it: the direct sound
// `delay` samples late, then a diffuse tail of four feedback combs (29.7 to
// 43.7 ms) that dies away 60 dB in `rt60` seconds, as much energy in the
// tail as in the direct sound.
Signal acrossTheRoom(const Signal& x, std::size_t delay, double rt60) {
  Signal out(x.size());
  const std::size_t combs[] = {samplesIn(0.0297), samplesIn(0.0371), samplesIn(0.0411),
                               samplesIn(0.0437)};
  for (std::size_t length : combs) {
    const double feedback = std::pow(10.0, -3.0 * static_cast<double>(length) / kRate / rt60);
    const double gain = std::sqrt((1.0 - feedback * feedback) / 4.0);
    Signal comb(x.size());
    for (std::size_t i = delay + length; i < x.size(); ++i) {
      comb[i] = x[i - delay - length] + feedback * comb[i - length];
      out[i] += gain * comb[i];
    }
  }
  for (std::size_t i = delay; i < x.size(); ++i) out[i] += x[i - delay];
  for (double& v : out) v /= std::sqrt(2.0);
  return out;
}

// Two speakers over digital silence, each microphone hearing the other 12 dB
// down across a room that reverberates for 0.4 s. Each speaker's microphone
// opens on the other's tail after its own speaker stops, and the differences
// measured there (the tail against silence) once lifted the learned pick-up
// so far that the other's pick-up passed whole.
TEST(ConditioningCrosstalk, ReverberantPickUpStaysOut) {
  const double seconds = 24.0;
  Signal a(samplesIn(seconds));
  Signal b(samplesIn(seconds));
  const std::vector<Span> turnsA = {{0.5, 3.0}, {6.0, 8.5}, {12.0, 14.0}, {17.5, 20.0}};
  const std::vector<Span> turnsB = {{3.6, 5.4}, {9.0, 11.4}, {14.6, 17.0}, {20.6, 23.0}};
  addVoice(a, 110, -24, turnsA);
  addVoice(b, 220, -30, turnsB);
  Signal micA = acrossTheRoom(b, samplesIn(0.002), 0.4);
  Signal micB = acrossTheRoom(a, samplesIn(0.0025), 0.4);
  const double pickup = std::pow(10.0, -12.0 / 20);
  for (std::size_t i = 0; i < a.size(); ++i) {
    micA[i] = a[i] + pickup * micA[i];
    micB[i] = b[i] + pickup * micB[i];
  }
  const std::vector<std::vector<std::int16_t>> pcm = {toPcm(micA), toPcm(micB)};
  auto channels = pcm;
  const auto sound = condition(channels, ConditioningSettings{});
  const auto wantA = reference(seconds, 110, -24, turnsA);
  const auto wantB = reference(seconds, 220, -30, turnsB);
  // A frame or two of tail passes where a syllable or turn stops, and in
  // the first seconds, while the pick-up is learned; before, the other's
  // turns passed whole from the first tail on (370 frames).
  EXPECT_LE(mismatches(sound[1], wantB, 3).size(), 25U);
  EXPECT_LE(mismatches(sound[0], wantA, 3).size(), 25U);
  EXPECT_GE(count(sound[1]), count(wantB) * 9 / 10);
  // Judged against the other's speech of the moments before, the frames
  // that pass at the end of the other's words are fewer.
  ConditioningSettings noTail;
  noTail.crosstalkTailMs = 0;
  channels = pcm;
  const auto withoutTail = condition(channels, noTail);
  EXPECT_LT(
      mismatches(sound[1], wantB, 3).size() + mismatches(sound[0], wantA, 3).size(),
      mismatches(withoutTail[1], wantB, 3).size() + mismatches(withoutTail[0], wantA, 3).size());
}

TEST(ConditioningBand, ChannelsSideBySideMatchEachChannelAlone) {
  Signal a(samplesIn(8.0));
  Signal b(samplesIn(8.0));
  Signal c(samplesIn(8.0));
  addVoice(a, 110, -24, {{0.5, 3.0}, {5.0, 7.5}});
  addVoice(b, 220, -30, {{2.0, 6.0}});
  addVoice(c, 150, -40, {{1.0, 4.0}});
  addNoise(a, -60, 0, 8, 1);
  addNoise(b, -50, 0, 8, 2);
  addNoise(c, -70, 0, 8, 3);
  ConditioningSettings settings;
  settings.crosstalk = false;  // channels then only meet in the band filters' loop
  std::vector<std::vector<std::int16_t>> together = {toPcm(a), toPcm(b), toPcm(c)};
  Conditioner joint(3, kRate, kBuffer, settings);
  condition(together, settings, &joint);
  for (std::size_t n = 0; n < together.size(); ++n) {
    std::vector<std::vector<std::int16_t>> alone = {toPcm(n == 0 ? a : n == 1 ? b : c)};
    Conditioner single(1, kRate, kBuffer, settings);
    condition(alone, settings, &single);
    EXPECT_EQ(alone[0], together[n]) << "channel " << n;
    const auto x = single.levels(0);
    const auto y = joint.levels(n);
    EXPECT_EQ(x.speechFrames, y.speechFrames) << "channel " << n;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(x.noiseFloorDbfs),
              std::bit_cast<std::uint64_t>(y.noiseFloorDbfs));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(x.speechLevelDbfs),
              std::bit_cast<std::uint64_t>(y.speechLevelDbfs));
  }
}

TEST(ConditioningBand, WeakVoiceInWhiteNoiseIsFoundWithinTheSpeechBand) {
  // White noise 3 dB under the voice: broadband, voice and noise together
  // stand less than the margin over the floor; within 100-4000 Hz the noise keeps
  // under a fifth of its power and the voice nearly all.
  Signal s(samplesIn(20.0));
  addNoise(s, -39, 0, 20, 21);
  addVoice(s, 140, -36, kTurns);
  const std::vector<std::vector<std::int16_t>> pcm = {toPcm(s)};
  const auto want = reference(20.0, 140, -36, kTurns);
  std::vector<std::vector<std::int16_t>> banded = pcm;
  const auto withBand = condition(banded, ConditioningSettings{});
  ConditioningSettings broadband;
  broadband.bandLowHz = 0;
  broadband.bandHighHz = 0;
  std::vector<std::vector<std::int16_t>> plain = pcm;
  const auto withoutBand = condition(plain, broadband);
  const auto voiceFramesPassed = [&](const std::vector<bool>& sound) {
    std::size_t n = 0;
    for (std::size_t k = 0; k < sound.size(); ++k) {
      if (sound[k] && want[k]) ++n;
    }
    return n;
  };
  EXPECT_GE(voiceFramesPassed(withBand[0]), count(want) * 95 / 100);
  EXPECT_LT(voiceFramesPassed(withoutBand[0]), count(want) * 85 / 100);
  // Noise alone is still silence in the pauses (past the hangover), once the
  // floor has settled.
  for (std::size_t t = 1; t < kTurns.size(); ++t) {
    if (kTurns[t - 1].to < 2.5) continue;
    for (std::size_t k = frameCount(kTurns[t - 1].to + 0.15); k < frameCount(kTurns[t].from); ++k) {
      EXPECT_FALSE(withBand[0][k]) << "frame " << k;
    }
  }
}

TEST(ConditioningBand, EdgeAboveTheRateIsLeftOpen) {
  // At 8 kHz a 4 kHz low-pass edge is out of reach: only the high-pass runs,
  // and a voice over quiet noise passes as at any rate.
  constexpr std::uint32_t kLowRate = 8000;
  constexpr std::uint32_t kLowBuffer = 186;
  ConditioningSettings settings;
  Conditioner conditioner(1, kLowRate, kLowBuffer, settings);
  std::mt19937 random(3);
  std::normal_distribution<double> noise(0.0, amplitudeOf(-70));
  std::size_t loud = 0;
  for (std::size_t k = 0; k < 200; ++k) {
    std::vector<std::int16_t> frame(kLowBuffer);
    for (std::size_t i = 0; i < frame.size(); ++i) {
      const double t = static_cast<double>(k * kLowBuffer + i) / kLowRate;
      const double voice =
          k >= 100 ? amplitudeOf(-30) * std::sin(2 * std::numbers::pi * 200 * t) : 0.0;
      frame[i] = static_cast<std::int16_t>(std::lround(voice + noise(random)));
    }
    const std::vector<std::int16_t> before = frame;
    std::vector<std::span<std::int16_t>> step = {frame};
    conditioner.process(step);
    if (k >= 102 && k < 160 && frame == before) ++loud;
  }
  EXPECT_EQ(loud, 58U);
  // A sine of peak -30 dBFS has an RMS level of -33 dBFS.
  EXPECT_NEAR(conditioner.levels(0).speechLevelDbfs, -33.0, 1.0);
}

TEST(ConditioningSpeechRelative, HeldBackWhereTheNoiseIsStationary) {
  // Between this speaker's turns (at -25 dBFS) other voices talk 23 dB
  // lower, over quiet stationary noise: the noise's typical level is its
  // floor, so the gate below the speaker's loud level is held back (on such
  // a recording it would cut the speaker's own quiet words) and every frame
  // reads as with the floor gate alone. Where the noise fluctuates like
  // voices it applies (ConditioningSpread.BabbleBetweenTurnsGivesNoUtterance).
  Signal s(samplesIn(20.0));
  addNoise(s, -80, 0, 20, 31);
  const std::vector<Span> own = {{0.5, 3.0}, {8.0, 11.0}, {16.0, 19.0}};
  const std::vector<Span> others = {{4.0, 7.0}, {12.0, 15.0}};
  addVoice(s, 130, -25, own);
  addVoice(s, 190, -48, others);
  const std::vector<std::vector<std::int16_t>> pcm = {toPcm(s)};
  const auto othersAlone = reference(20.0, 190, -48, others);
  ASSERT_GT(count(othersAlone), frameCount(5.0));  // above the components' gate
  ConditioningSettings floorGate;
  floorGate.speechRelativeDb = 0;
  floorGate.noiseSpreadFactor = 0;
  std::vector<std::vector<std::int16_t>> plain = pcm;
  const auto floorOnly = condition(plain, floorGate);
  ConditioningSettings relative;
  relative.speechRelativeDb = 15;
  std::vector<std::vector<std::int16_t>> gated = pcm;
  const auto sound = condition(gated, relative);
  std::size_t passedOthers = 0;
  for (std::size_t k = 0; k < sound[0].size(); ++k) {
    if (sound[0][k] && othersAlone[k]) ++passedOthers;
  }
  EXPECT_GT(passedOthers, count(othersAlone) * 9 / 10);
  EXPECT_EQ(sound[0], floorOnly[0]);
}

// Babble: `voices` talkers far off, the first at `dbfs` RMS while talking
// and each next one 4 dB lower, each with its own pitch and turns of
// 0.3-1.5 s between pauses of 0.2-1.0 s (seeded), summed: a noise whose level
// swings with their syllables and turns, its minimum (few or none talking)
// far below its typical level, as the benchmark's babble of recorded lines.
void addBabble(Signal& signal, int voices, double dbfs, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> talk(0.3, 1.5);
  std::uniform_real_distribution<double> pause(0.2, 1.0);
  const double seconds = static_cast<double>(signal.size()) / kRate;
  for (int v = 0; v < voices; ++v) {
    std::vector<Span> spans;
    for (double t = pause(random); t < seconds; t += pause(random)) {
      const double to = std::min(seconds, t + talk(random));
      spans.push_back({t, to});
      t = to;
    }
    addVoice(signal, 95.0 + 31.0 * v, dbfs - 4.0 * v, spans);
  }
}

// A speaker's six turns (140 Hz, -30 dBFS) over `voices` talkers of babble
// from `babbleDbfs` down and room noise at `roomDbfs`, 40 s (seeded):
// the recording, the frames of the speaker's turns, and the frames of
// babble alone, away from the turns by more than the hangover. Both leave
// out the first ten seconds, in which the babble's level is learned.
struct TurnsOverBabble {
  std::vector<std::vector<std::int16_t>> pcm;
  std::vector<bool> speaker;
  std::vector<bool> babbleAlone;
};

TurnsOverBabble turnsOverBabble(double roomDbfs, int voices, double babbleDbfs, unsigned seed) {
  const double seconds = 40.0;
  const std::vector<Span> own = {{3.0, 6.0},   {9.0, 11.5},  {15.0, 19.0},
                                 {23.0, 25.0}, {29.0, 32.0}, {35.0, 38.0}};
  Signal s(samplesIn(seconds));
  addNoise(s, roomDbfs, 0, seconds, seed);
  addBabble(s, voices, babbleDbfs, seed + 1);
  addVoice(s, 140, -30, own);
  TurnsOverBabble out;
  out.pcm = {toPcm(s)};
  const auto want = reference(seconds, 140, -30, own);
  out.speaker.assign(want.size(), false);
  out.babbleAlone.assign(want.size(), false);
  for (std::size_t k = frameCount(10.0); k < want.size(); ++k) {
    const double t = static_cast<double>(k) * kFrameSeconds;
    out.speaker[k] = want[k];
    out.babbleAlone[k] = std::none_of(own.begin(), own.end(), [&](const Span& span) {
      return t + kFrameSeconds > span.from - 0.05 && t < span.to + 0.25;
    });
  }
  return out;
}

// Frames that sound within `where`.
std::size_t countIn(const std::vector<bool>& sound, const std::vector<bool>& where) {
  std::size_t n = 0;
  for (std::size_t k = 0; k < sound.size(); ++k)
    if (sound[k] && where[k]) ++n;
  return n;
}

TEST(ConditioningSpread, BabbleBetweenTurnsGivesNoUtterance) {
  // Babble 20 dB under the speaker over quiet room noise. The babble's
  // minimum lies far below its peaks, so the margin over the floor alone
  // passes much of it; gated over its typical level by its spread it stays
  // shut, while the speaker's frames pass.
  const TurnsOverBabble r = turnsOverBabble(-64, 3, -50, 41);
  ConditioningSettings floorOnly;
  floorOnly.noiseSpreadFactor = 0.0;
  floorOnly.speechRelativeDb = 0.0;
  std::vector<std::vector<std::int16_t>> plain = r.pcm;
  const auto before = condition(plain, floorOnly);
  EXPECT_GT(countIn(before[0], r.babbleAlone), count(r.babbleAlone) / 4);
  std::vector<std::vector<std::int16_t>> gated = r.pcm;
  const auto sound = condition(gated, ConditioningSettings{});
  // Shut but for a frame or two just after a long turn, while the floor's
  // window still holds only the speaker's voice.
  EXPECT_LE(countIn(sound[0], r.babbleAlone), count(r.babbleAlone) / 200);
  // The speaker's own frames pass but for a few at the turns' weak edges.
  EXPECT_GT(countIn(sound[0], r.speaker), count(r.speaker) * 9 / 10);
}

TEST(ConditioningSpread, BabbleTenDbDownStaysOutAndTheSpeakerStillPasses) {
  // Babble only 10 dB under the speaker: its peaks reach within a few dB of
  // the speech, and its lulls (few of the talkers at once) make its spread
  // over the last 2 s come and go. The gate keeps to the babble's typical
  // level plus the clearance wherever the spread of the last seconds says
  // voices, so the babble between the turns stays shut throughout.
  TurnsOverBabble r = turnsOverBabble(-54, 6, -40, 51);
  const auto sound = condition(r.pcm, ConditioningSettings{});
  ASSERT_GT(count(r.babbleAlone), frameCount(5.0));
  EXPECT_LE(countIn(sound[0], r.babbleAlone), count(r.babbleAlone) / 50);
  EXPECT_GT(countIn(sound[0], r.speaker), count(r.speaker) * 4 / 5);
}

TEST(ConditioningSpread, LookingAheadKeepsTheFirstSecondsOfBabbleOut) {
  // The same babble 10 dB under the speaker, judged in the first ten
  // seconds, before the babble's typical level and spread have formed.
  // Conditioned as it comes, much of it passes there; after a look at those
  // seconds and a start over, it stays shut from the first frame, the
  // speaker's frames still pass, and the counts are those of one pass.
  const TurnsOverBabble r = turnsOverBabble(-54, 6, -40, 51);
  const std::size_t early = frameCount(10.0);
  std::vector<bool> babbleEarly(r.speaker.size(), false);
  std::vector<bool> speakerEarly(r.speaker.size(), false);
  const std::vector<bool> voice =
      reference(40.0, 140, -30, {{3.0, 6.0}, {9.0, 11.5}, {15.0, 19.0}});
  for (std::size_t k = 0; k < early; ++k) {
    const double t = static_cast<double>(k) * kFrameSeconds;
    speakerEarly[k] = voice[k];
    babbleEarly[k] = !(t + kFrameSeconds > 2.95 && t < 6.25) && !(t + kFrameSeconds > 8.95);
  }
  std::vector<std::vector<std::int16_t>> asItComes = r.pcm;
  const auto plain = condition(asItComes, ConditioningSettings{});
  EXPECT_GT(countIn(plain[0], babbleEarly), count(babbleEarly) / 5);

  Conditioner looked(1, kRate, kBuffer, ConditioningSettings{});
  std::vector<std::int16_t> copy(r.pcm[0].begin(),
                                 r.pcm[0].begin() + static_cast<std::ptrdiff_t>(early * kBuffer));
  for (std::size_t k = 0; k < early; ++k) {
    const std::vector<std::span<std::int16_t>> step = {
        std::span(copy.data() + k * kBuffer, kBuffer)};
    looked.process(step);
  }
  looked.startOver();
  std::vector<std::vector<std::int16_t>> again = r.pcm;
  const auto sound = condition(again, ConditioningSettings{}, &looked);
  EXPECT_LE(countIn(sound[0], babbleEarly), count(babbleEarly) / 50);
  EXPECT_GT(countIn(sound[0], speakerEarly), count(speakerEarly) * 4 / 5);
  // From the ten seconds on, the same as conditioned as it came.
  EXPECT_LE(countIn(sound[0], r.babbleAlone), count(r.babbleAlone) / 50);
  EXPECT_EQ(looked.levels(0).frames, r.pcm[0].size() / kBuffer);
}

// Power level (dBFS) of a signal, over all of it or within `spans` only.
double powerDbfs(const Signal& signal, const std::vector<Span>& spans = {}) {
  double sum = 0.0;
  std::size_t n = 0;
  for (std::size_t i = 0; i < signal.size(); ++i) {
    const double t = static_cast<double>(i) / kRate;
    if (!spans.empty() && std::none_of(spans.begin(), spans.end(), [t](const Span& span) {
          return t >= span.from && t < span.to;
        })) {
      continue;
    }
    sum += signal[i] * signal[i];
    ++n;
  }
  return 10.0 * std::log10(sum / static_cast<double>(n) / (32768.0 * 32768.0));
}

TEST(ConditioningLevels, SnrOverBabbleIsThatOfItsTypicalLevel) {
  // Turns over babble about 10 dB down. The babble's minimum
  // lies far below its power: the noise reads at the level of the silences
  // between the turns, and the speech at its active (power) level.
  const double seconds = 40.0;
  const std::vector<Span> own = {{3.0, 6.0},   {9.0, 11.5},  {15.0, 19.0},
                                 {23.0, 25.0}, {29.0, 32.0}, {35.0, 38.0}};
  Signal babble(samplesIn(seconds));
  addNoise(babble, -64, 0, seconds, 41);  // a quiet room under the babble
  addBabble(babble, 3, -40, 42);
  Signal voice(babble.size());
  addVoice(voice, 140, -30, own);
  Signal s = babble;
  for (std::size_t i = 0; i < s.size(); ++i) s[i] += voice[i];
  std::vector<std::vector<std::int16_t>> pcm = {toPcm(s)};
  Conditioner conditioner(1, kRate, kBuffer, ConditioningSettings{});
  condition(pcm, ConditioningSettings{}, &conditioner);
  const auto levels = conditioner.levels(0);
  EXPECT_NEAR(levels.noiseFloorDbfs, powerDbfs(babble), 3.0);
  EXPECT_LT(levels.currentNoiseFloorDbfs, powerDbfs(babble) - 6.0);  // the floor: a minimum
  EXPECT_NEAR(levels.speechLevelDbfs, powerDbfs(voice, own), 3.0);
  EXPECT_NEAR(levels.snrDb, powerDbfs(voice, own) - powerDbfs(babble), 3.0);
}

// Two microphones in a room of babble: each hears the other speaker 20 dB
// down and 2 ms late, and babble of its own (three talkers far off, seeded,
// the loudest at -56 and -50 dBFS while talking). Quiet speaker B (9 dB
// below A) talks under A seven times. Pick-up alone leaves the babble
// unexplained by any copy, and it swings, so the levels decide most frames,
// and by them B's words under A are pick-up; but those words leave clearly
// more than the babble does, and they pass.
TEST(ConditioningCrosstalk, QuietSpeakerUnderTheOtherPassesOverBabbleByTheDelayedCopy) {
  const double seconds = 30.0;
  Signal a(samplesIn(seconds));
  Signal b(samplesIn(seconds));
  const std::vector<Span> turnsA = {{0.5, 3.5},   {3.9, 7.0},   {8.0, 12.0},
                                    {12.4, 16.0}, {17.0, 21.0}, {21.4, 26.0}};
  const std::vector<Span> turnsB = {{4.2, 5.5},   {9.5, 10.5},  {11.0, 13.5}, {14.0, 15.0},
                                    {18.0, 19.5}, {22.0, 23.0}, {24.0, 25.5}};
  addVoice(a, 110, -24, turnsA);
  addVoice(b, 220, -33, turnsB);
  Signal micA = a;
  Signal micB = b;
  const std::size_t delay = samplesIn(0.002);
  for (std::size_t i = delay; i < a.size(); ++i) {
    micA[i] += 0.1 * b[i - delay];
    micB[i] += 0.1 * a[i - delay];
  }
  addBabble(micA, 3, -56, 61);
  addBabble(micB, 3, -50, 63);
  addNoise(micA, -70, 0, seconds, 65);
  addNoise(micB, -70, 0, seconds, 66);
  const std::vector<std::vector<std::int16_t>> pcm = {toPcm(micA), toPcm(micB)};
  const auto wantA = reference(seconds, 110, -24, turnsA);
  const auto wantB = reference(seconds, 220, -33, turnsB);
  // B's frames under A once the room has been heard for ten seconds.
  std::vector<bool> underA(wantB.size(), false);
  for (std::size_t k = frameCount(10.0); k < wantB.size(); ++k) underA[k] = wantB[k] && wantA[k];
  ASSERT_GT(count(underA), frameCount(5.0));
  ConditioningSettings levelsOnly;
  levelsOnly.crosstalkMaxDelayMs = 0;
  auto byLevels = pcm;
  auto byCopy = pcm;
  const auto soundByLevels = condition(byLevels, levelsOnly);
  const auto sound = condition(byCopy, ConditioningSettings{});
  // Frames of B's channel without B, once the room has been heard.
  std::vector<bool> withoutB(wantB.size(), false);
  for (std::size_t k = frameCount(10.0); k < wantB.size(); ++k) withoutB[k] = !wantB[k];
  EXPECT_LT(countIn(soundByLevels[1], underA), count(underA) / 2);
  EXPECT_GT(countIn(sound[1], underA), count(underA) * 7 / 10);
  // What passes on B's channel without B (babble the gate lets through) is
  // no more than by the levels: the copy passes B's words, not the babble.
  EXPECT_LE(countIn(sound[1], withoutB), countIn(soundByLevels[1], withoutB) + 10);
  EXPECT_LE(mismatches(sound[0], wantA).size(), 4U);
}

TEST(ConditioningSpread, StationaryNoiseKeepsTheMarginOverTheFloor) {
  // White noise spreads a dB or so over its minimum: the gate over its
  // typical level stays under floor + margin, and the frames leave as
  // they would without it, to the bit.
  Signal s(samplesIn(20.0));
  addNoise(s, -50, 0, 20, 43);
  addVoice(s, 120, -32, {kTurns[0], kTurns[2], kTurns[4], kTurns[6]});
  std::vector<std::vector<std::int16_t>> withSpread = {toPcm(s)};
  std::vector<std::vector<std::int16_t>> without = withSpread;
  ConditioningSettings off;
  off.noiseSpreadFactor = 0.0;
  off.speechRelativeDb = 0.0;
  condition(withSpread, ConditioningSettings{});
  condition(without, off);
  EXPECT_EQ(firstDifferentFrame(withSpread[0], without[0]), frameCount(20.0));
}

TEST(ConditioningSettingsText, SetsKnownNamesAndRefusesTheRest) {
  ConditioningSettings s;
  std::string error;
  EXPECT_TRUE(setConditioningSetting(s, "Conditioning.NoiseMarginDb", "9.5", error));
  EXPECT_EQ(s.noiseMarginDb, 9.5);
  EXPECT_TRUE(setConditioningSetting(s, "Conditioning.Enabled", "off", error));
  EXPECT_FALSE(s.enabled);
  EXPECT_TRUE(setConditioningSetting(s, "Conditioning.Crosstalk", "0", error));
  EXPECT_FALSE(s.crosstalk);
  EXPECT_TRUE(setConditioningSetting(s, "Conditioning.BandLowHz", "0", error));
  EXPECT_EQ(s.bandLowHz, 0.0);
  EXPECT_TRUE(setConditioningSetting(s, "Conditioning.SpeechRelativeDb", "18", error));
  EXPECT_EQ(s.speechRelativeDb, 18.0);
  EXPECT_TRUE(setConditioningSetting(s, "Conditioning.NoiseClearanceDb", "7", error));
  EXPECT_EQ(s.noiseClearanceDb, 7.0);
  EXPECT_TRUE(setConditioningSetting(s, "Conditioning.CrosstalkHoldFrames", "3", error));
  EXPECT_EQ(s.crosstalkHoldFrames, 3.0);
  EXPECT_TRUE(setConditioningSetting(s, "Conditioning.CrosstalkOverBabbleDeviations", "2", error));
  EXPECT_EQ(s.crosstalkOverBabbleDeviations, 2.0);
  const ConditioningSettings before = s;
  for (const auto& [name, value] :
       std::vector<std::pair<std::string, std::string>>{{"Conditioning.NoiseMarginDb", "-1"},
                                                        {"Conditioning.NoiseMarginDb", "6dB"},
                                                        {"Conditioning.NoiseMarginDb", ""},
                                                        {"Conditioning.NoiseMarginDb", "nan"},
                                                        {"Conditioning.FloorWindowSeconds", "0"},
                                                        {"Conditioning.Enabled", "maybe"},
                                                        {"Conditioning.BandHighHz", "-5"},
                                                        {"Conditioning.SpeechRelativeDb", "200"},
                                                        {"Conditioning.CrosstalkHoldFrames", "0"},
                                                        {"Conditioning.Nothing", "1"},
                                                        {"NoiseMarginDb", "6"}}) {
    error.clear();
    EXPECT_FALSE(setConditioningSetting(s, name, value, error)) << name << "=" << value;
    EXPECT_FALSE(error.empty());
  }
  EXPECT_EQ(s.noiseMarginDb, before.noiseMarginDb);
  EXPECT_NE(conditioningSettingsHelp().find("Conditioning.HangoverMs="), std::string::npos);
}

TEST(ConditioningSettingsText, TakesItsOwnAssignmentsAndPassesTheComponentsOnInOrder) {
  ConditioningSettings s;
  std::vector<std::string> rest;
  bool gateGiven = false;
  std::string error;
  const std::vector<std::string> params = {"Runtime.BufferSize=512", "Conditioning.HangoverMs=90",
                                           "NoiseThreshold=4.5", "Conditioning.Crosstalk=off"};
  ASSERT_TRUE(takeConditioningParameters(params, s, rest, gateGiven, error)) << error;
  EXPECT_EQ(rest, (std::vector<std::string>{"Runtime.BufferSize=512", "NoiseThreshold=4.5"}));
  EXPECT_EQ(s.hangoverMs, 90.0);
  EXPECT_FALSE(s.crosstalk);
  EXPECT_FALSE(gateGiven);  // the components' NoiseThreshold is not the conditioning's gate

  const std::vector<std::string> gate = {"Conditioning.NoiseThreshold=6.5"};
  ASSERT_TRUE(takeConditioningParameters(gate, s, rest, gateGiven, error)) << error;
  EXPECT_TRUE(gateGiven);
  EXPECT_EQ(s.noiseThreshold, 6.5);

  const std::vector<std::string> bad = {"Conditioning.HangoverMs"};  // no value
  EXPECT_FALSE(takeConditioningParameters(bad, s, rest, gateGiven, error));
  EXPECT_EQ(error.rfind("--param ", 0), 0U) << error;
  EXPECT_EQ(s.hangoverMs, 90.0);
}

TEST(ConditioningProcess, RefusesStepsOfTheWrongShape) {
  Conditioner conditioner(2, kRate, kBuffer, ConditioningSettings{});
  std::vector<std::int16_t> a(kBuffer);
  std::vector<std::int16_t> shortFrame(kBuffer - 1);
  std::vector<std::span<std::int16_t>> one = {a};
  EXPECT_THROW(conditioner.process(one), std::invalid_argument);
  std::vector<std::span<std::int16_t>> mixed = {a, shortFrame};
  EXPECT_THROW(conditioner.process(mixed), std::invalid_argument);
  EXPECT_THROW(Conditioner(0, kRate, kBuffer, ConditioningSettings{}), std::invalid_argument);
}

TEST(ConditioningFloor, SlidingMinimumFollowsTheWindow) {
  SlidingMinimum minimum(3);
  const std::vector<double> in = {5, 3, 4, 6, 7, 8, 1, 2, 2, 9};
  const std::vector<double> want = {5, 3, 3, 3, 4, 6, 1, 1, 1, 2};
  for (std::size_t i = 0; i < in.size(); ++i) EXPECT_EQ(minimum.push(in[i]), want[i]) << i;
  SlidingMinimum one(0);
  EXPECT_EQ(one.push(4), 4);
  EXPECT_EQ(one.push(7), 7);
}

TEST(ConditioningFloor, SlidingQuantileFollowsTheWindowInItsBins) {
  // The 0.5 quantile of the last four values, bins of 1 from -10.
  SlidingQuantile median(4, 0.5, -10.0, 1.0, 20);
  const std::vector<double> in = {0.5, 3.2, -2.0, 7.0, 8.0, 9.0, 9.5, -4.0};
  // Of {0.5}, {0.5 3.2}, {0.5 3.2 -2}, {.. 7}, {3.2 -2 7 8}, {-2 7 8 9},
  // {7 8 9 9.5}, {8 9 9.5 -4}: the second-lowest of four, the lower edge of
  // its bin.
  const std::vector<double> want = {0, 0, 0, 0, 3, 7, 8, 8};
  for (std::size_t i = 0; i < in.size(); ++i) EXPECT_EQ(median.push(in[i]), want[i]) << i;
  // Values outside the bins count in the first and the last.
  SlidingQuantile low(2, 0.0, -10.0, 1.0, 20);
  EXPECT_EQ(low.push(-50.0), -10.0);
  EXPECT_EQ(low.push(50.0), -10.0);
  EXPECT_EQ(low.push(60.0), 9.0);
  SlidingQuantile one(0, 1.0, 0.0, 0.5, 4);
  EXPECT_EQ(one.push(1.2), 1.0);
  EXPECT_EQ(one.push(0.1), 0.0);
}

}  // namespace
}  // namespace vornix::host
