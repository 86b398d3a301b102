// Cost of SpeechMonitor::processFrame per frame, posts excluded: the port
// answers parameters from a small table (as cheap as a lookup by name can
// be) and drops every posted message. Three streams:
//  - Speaking: voiced frames with a slowly moving pitch (hum tracking, ring,
//    the per-frame "pitch" and "pitchtimems" entries);
//  - Utterances: 200 voiced frames, then 20 silent ones (each cycle ends
//    with a "SpeechOff" listing the 200-entry ring, and a "SpeechPause");
//  - Silence: frames below the noise gate in Silent;
//  - SpeechOffFrame/N: only the frame that posts "SpeechOff" after an
//    utterance that filled a ring of N entries (the one frame that walks the
//    ring and writes 2N indexed entries).
// Run with --benchmark_repetitions=N to get medians.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "runtime/data_message.h"
#include "speech/speech_monitor.h"
#include "speech/speech_port.h"

namespace {

class TablePort final : public vornix::SpeechPort {
 public:
  explicit TablePort(std::int64_t window = 200) : window_(window) {}
  std::int64_t integerParameter(const char* name) override {
    if (std::strcmp(name, "PitchMonitorWindow") == 0) return window_;
    for (const auto& [key, value] : kTable) {
      if (std::strcmp(key, name) == 0) return value;
    }
    return 0;
  }
  bool boolParameter(const char*) override { return false; }
  int post(const char*, std::unique_ptr<vornix::DataMessage> message) override {
    benchmark::DoNotOptimize(message.get());
    ++posts;
    return 1;
  }
  void log(std::uint8_t, const std::string&) override {}

  std::int64_t posts = 0;

 private:
  std::int64_t window_;
  static constexpr std::array<std::pair<const char*, std::int64_t>, 11> kTable{{
      {"ModuleID", 1},
      {"PitchMonitorWindow", 200},
      {"PitchLowPass", 400},
      {"PitchHighPass", 30},
      {"PitchDeltaConstraint", 50},
      {"PauseThreshold", 200},
      {"SegmentIntervalThreshold", 300},
      {"HumDurationThreshold", 2000},
      {"HumPitchThreshold", 2},
      {"SpeechOnDelay", 0},
      {"PrintPitch", 0},
  }};
};

constexpr std::int64_t kFrameMs = 23;

void BM_ProcessFrameSpeaking(benchmark::State& state) {
  TablePort port;
  vornix::SpeechMonitor monitor(port);
  std::int64_t t = 0;
  std::int64_t k = 0;
  for (auto _ : state) {
    double pitch = 110.0 + static_cast<double>(k % 7);
    monitor.processFrame(t, pitch, true);
    benchmark::DoNotOptimize(pitch);
    t += kFrameMs;
    ++k;
  }
  state.counters["posts"] = static_cast<double>(port.posts);
}

void BM_ProcessFrameUtterances(benchmark::State& state) {
  TablePort port;
  vornix::SpeechMonitor monitor(port);
  std::int64_t t = 0;
  std::int64_t k = 0;
  for (auto _ : state) {
    const bool voiced = k % 220 < 200;
    double pitch = voiced ? 100.0 + static_cast<double>(k % 40) : 0.0;
    monitor.processFrame(t, pitch, voiced);
    benchmark::DoNotOptimize(pitch);
    t += kFrameMs;
    ++k;
  }
  state.counters["posts"] = static_cast<double>(port.posts);
}

void BM_ProcessFrameSilence(benchmark::State& state) {
  TablePort port;
  vornix::SpeechMonitor monitor(port);
  std::int64_t t = 0;
  for (auto _ : state) {
    double pitch = 0.0;
    monitor.processFrame(t, pitch, false);
    t += kFrameMs;
  }
}

void BM_SpeechOffFrame(benchmark::State& state) {
  const std::int64_t window = state.range(0);
  TablePort port(window);
  vornix::SpeechMonitor monitor(port);
  std::int64_t t = 0;
  const auto frame = [&](bool voiced, double p) {
    monitor.processFrame(t, p, voiced);
    t += kFrameMs;
  };
  for (auto _ : state) {
    state.PauseTiming();
    for (std::int64_t k = 0; k < window; ++k) frame(true, 100.0 + static_cast<double>(k % 40));
    // The silence reaches the 300 ms segment interval at its 15th frame.
    for (int k = 0; k < 14; ++k) frame(false, 0.0);
    state.ResumeTiming();
    frame(false, 0.0);
  }
  if (monitor.state() != vornix::SpeechMonitor::Silent) state.SkipWithError("no SpeechOff");
  state.counters["posts"] = static_cast<double>(port.posts);
}

BENCHMARK(BM_ProcessFrameSpeaking);
BENCHMARK(BM_ProcessFrameUtterances);
BENCHMARK(BM_ProcessFrameSilence);
BENCHMARK(BM_SpeechOffFrame)->Arg(50)->Arg(200)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
