// Cost of Conditioner::process per sample: two channels of 1024-sample frames
// at 44100 Hz cycling through 10 s of a generated conversation (harmonic
// voices taking turns, with crosstalk at -20 dB and white noise at -50 dBFS),
// so that gate openings, closings, crosstalk and silenced frames all occur.
// Each step copies the two frames in before processing them (as a reader
// does). Items are samples of all channels; compare with analyze's time per
// sample (bench/analyze_speed.sh). Run with --benchmark_repetitions=N for
// medians.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <span>
#include <vector>

#include "host/conditioning.h"

namespace {

constexpr std::uint32_t kRate = 44100;
constexpr std::uint32_t kFrame = 1024;
constexpr std::size_t kSeconds = 10;

// Channel 0 speaks in the first half of every second, channel 1 in the
// second; each hears the other 20 dB down.
std::vector<std::vector<std::int16_t>> conversation() {
  const std::size_t n = kSeconds * kRate;
  std::vector<std::vector<double>> voice(2, std::vector<double>(n));
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const bool firstHalf = std::fmod(t, 1.0) < 0.5;
    const double f0 = firstHalf ? 110.0 : 200.0;
    double v = 0.0;
    for (int k = 1; k <= 8; ++k) v += std::sin(2 * std::numbers::pi * f0 * k * t) / k;
    voice[firstHalf ? 0 : 1][i] = 1500.0 * v;
  }
  std::mt19937 random(5);
  std::normal_distribution<double> noise(0.0, 104.0);  // -50 dBFS
  std::vector<std::vector<std::int16_t>> pcm(2, std::vector<std::int16_t>(n));
  for (std::size_t c = 0; c < 2; ++c) {
    for (std::size_t i = 0; i < n; ++i) {
      const double x = voice[c][i] + 0.1 * voice[1 - c][i] + noise(random);
      pcm[c][i] = static_cast<std::int16_t>(std::clamp(std::lround(x), -32768L, 32767L));
    }
  }
  return pcm;
}

void conditionSteps(benchmark::State& state, bool enabled, std::size_t channels = 2) {
  const auto recording = conversation();
  vornix::host::ConditioningSettings settings;
  settings.enabled = enabled;
  vornix::host::Conditioner conditioner(channels, kRate, kFrame, settings);
  std::vector<std::vector<std::int16_t>> frames(channels, std::vector<std::int16_t>(kFrame));
  const std::vector<std::span<std::int16_t>> spans(frames.begin(), frames.end());
  const std::size_t steps = recording[0].size() / kFrame;
  std::size_t k = 0;
  for (auto _ : state) {
    for (std::size_t c = 0; c < channels; ++c) {
      std::copy_n(recording[c].begin() + static_cast<std::ptrdiff_t>(k * kFrame), kFrame,
                  frames[c].begin());
    }
    conditioner.process(spans);
    for (auto& frame : frames) benchmark::DoNotOptimize(frame.data());
    k = (k + 1) % steps;
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(channels * kFrame));
}

void BM_ConditionTwoChannels(benchmark::State& state) {
  conditionSteps(state, true);
}
void BM_MeasureOnlyTwoChannels(benchmark::State& state) {
  conditionSteps(state, false);
}
// A mono recording: the band filter has no second channel to share its
// register with, so this is the cost per sample of analyze on one channel.
void BM_ConditionOneChannel(benchmark::State& state) {
  conditionSteps(state, true, 1);
}

}  // namespace

BENCHMARK(BM_ConditionTwoChannels);
BENCHMARK(BM_MeasureOnlyTwoChannels);
BENCHMARK(BM_ConditionOneChannel);
BENCHMARK_MAIN();
