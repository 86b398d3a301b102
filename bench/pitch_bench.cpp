// Cost of one computePitch call on a 1024-sample frame at 44100 Hz: a voiced
// frame (a harmonic tone) and a white-noise frame that passes the noise gate
// (many extrema, so many distances for the mode). Run with
// --benchmark_repetitions=N to get medians.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "speech/wavelet_pitch_tracker.h"

namespace {

constexpr std::uint32_t kRate = 44100;
constexpr std::uint32_t kFrame = 1024;

std::vector<std::int16_t> harmonicFrame(double f0) {
  const double weights[] = {1.0, 0.7, 0.45, 0.3, 0.2, 0.1};
  std::vector<std::int16_t> frame(kFrame);
  for (std::size_t i = 0; i < kFrame; ++i) {
    double value = 0.0;
    for (std::size_t h = 0; h < std::size(weights); ++h) {
      value += weights[h] * std::sin(2.0 * std::numbers::pi * f0 * static_cast<double>(h + 1) *
                                     static_cast<double>(i) / kRate);
    }
    frame[i] = static_cast<std::int16_t>(std::lround(value * 4000.0));
  }
  return frame;
}

std::vector<std::int16_t> noiseFrame() {
  std::mt19937 rng(99);
  std::uniform_int_distribution<int> dist(-15000, 15000);
  std::vector<std::int16_t> frame(kFrame);
  for (auto& x : frame) x = static_cast<std::int16_t>(dist(rng));
  return frame;
}

void runTracker(benchmark::State& state, const std::vector<std::int16_t>& frame) {
  vornix::WaveletPitchTracker tracker(kFrame, 0.75, 5.0, kRate);
  vornix::PitchResult result;
  if (!tracker.computePitch(frame, result) || !result.soundPresent) {
    state.SkipWithError("frame did not pass the noise gate");
    return;
  }
  for (auto _ : state) {
    tracker.computePitch(frame, result);
    benchmark::DoNotOptimize(result);
    benchmark::ClobberMemory();
  }
  state.counters["pitch"] = result.pitch;
  state.counters["level"] = result.level;
}

void BM_ComputePitchVoiced(benchmark::State& state) {
  runTracker(state, harmonicFrame(150.0));
}
void BM_ComputePitchNoise(benchmark::State& state) {
  runTracker(state, noiseFrame());
}

BENCHMARK(BM_ComputePitchVoiced)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ComputePitchNoise)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
