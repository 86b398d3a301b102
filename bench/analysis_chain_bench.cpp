// Speed of the whole analysis chain driven offline by the host stand-in: two
// Runtime components (one per channel of generated two-speaker audio) feed a
// single-speaker analysis per speaker and the two-speaker analysis; each
// step advances the simulated clock by one frame, injects both channels'
// frames addressed to their Runtimes and settles after each one. An item is
// one two-channel frame of 1024 samples at 44.1 kHz (23.2 ms of audio), so
// items per second over 43 is the speed-up over real time.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "../tests/host/test_audio.h"
#include "host/config.h"
#include "host/system.h"

namespace {

using namespace vornix;

std::string speechComponent(const std::string& name, int moduleId, const std::string& level) {
  return "[[components]]\nname = \"" + name + "\"\nentry = \"Runtime\"\n" +
         "[components.parameters]\nBufferSize = 1024\nSamplingFrequency = 44100\n"
         "AmplitudeThreshold = 0.75\nNoiseThreshold = 5.0\nModuleID = " +
         std::to_string(moduleId) +
         "\nPitchMonitorWindow = 200\nPitchLowPass = 400\nPitchHighPass = 30\n"
         "PitchDeltaConstraint = 50\nPauseThreshold = 500\nSegmentIntervalThreshold = 300\n"
         "HumDurationThreshold = 2000\nHumPitchThreshold = 2\nSpeechOnDelay = 0\n"
         "[[components.triggers]]\nname = \"AudioFrame\"\ntype = \"Audio.Frame\"\n"
         "posts = [ { name = \"SpeechOn\", type = \"" +
         level + ".Speech.On\" },\n { name = \"SpeechOff\", type = \"" + level +
         ".Speech.Off\" },\n { name = \"SpeechPause\", type = \"" + level + ".Speech.Pause\" } ]\n";
}

std::string chainConfig() {
  std::string text = speechComponent("left", 1, "Left") + speechComponent("right", 2, "Right");
  for (const char* level : {"Left", "Right"}) {
    text += std::string("[[components]]\nname = \"single") + level +
            "\"\nentry = \"AnalyzeSingle\"\n[[components.triggers]]\nname = \"SpeechOff\"\n" +
            "type = \"" + level +
            ".Speech.Off\"\nposts = [ { name = \"Analysis\", type = " + "\"Analysis.Turn\" } ]\n";
  }
  text += "[[components]]\nname = \"two\"\nentry = \"AnalyzeTwo\"\n";
  for (const char* event : {"On", "Off", "Pause"}) {
    text += std::string("[[components.triggers]]\nname = \"Speech") + event +
            "\"\ntype = \"*.Speech." + event + "\"\n" +
            "posts = [ { name = \"PitchOverlappingStart\", type = \"Floor.Overlap\" },\n"
            " { name = \"PitchOverlappingStop\", type = \"Floor.Overlap\" },\n"
            " { name = \"PitchSilenceStart\", type = \"Floor.Silence\" },\n"
            " { name = \"PitchSilenceStop\", type = \"Floor.Silence\" } ]\n";
  }
  return text;
}

// Frame k of a 120-frame cycle: left speaks [0, 50), right [40, 90), then
// both are silent, so every step of the floor (overlap, silence) recurs.
void BM_TwoSpeakerChainFrame(benchmark::State& state) {
  host::ConfigResult parsed = host::parseConfig(chainConfig(), "chain.toml");
  if (!std::holds_alternative<host::SystemConfig>(parsed)) {
    state.SkipWithError(std::get<host::ConfigError>(parsed).text().c_str());
    return;
  }
  host::SystemOptions options;
  options.simulatedClock = true;
  options.clockStart = 1'800'000'000'000'000ULL;
  options.logOutput = nullptr;
  std::string error;
  auto system = host::System::create(std::get<host::SystemConfig>(parsed), options, error);
  if (!system || !system->start()) {
    state.SkipWithError(error.c_str());
    return;
  }
  const MessageType frameType = system->type("Audio.Frame");
  const std::uint32_t ids[2] = {system->componentId("left"), system->componentId("right")};
  const std::vector<std::uint8_t> tones[2] = {testing::toneFrame(1024, 220.0, 8000.0, 0),
                                              testing::toneFrame(1024, 330.0, 8000.0, 0)};
  const std::vector<std::uint8_t> silence(2048, 0);
  std::uint64_t k = 0;
  for (auto _ : state) {
    system->advanceTo(options.clockStart + k * 1024ULL * 1'000'000ULL / 44100ULL);
    const std::uint64_t phase = k % 120;
    const bool speaking[2] = {phase < 50, phase >= 40 && phase < 90};
    for (int channel = 0; channel < 2; ++channel) {
      auto frame = testing::frameMessage(frameType, speaking[channel] ? tones[channel] : silence);
      frame->setToId(ids[channel]);
      system->inject(std::move(frame));
      if (!system->settle()) state.SkipWithError("not quiet");
    }
    ++k;
  }
  system->stop();
  // Two injected frames per step plus the speech events and analysis posts.
  state.counters["routed_per_step"] = benchmark::Counter(
      static_cast<double>(system->routedMessages()) / static_cast<double>(state.iterations()));
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("items = two-channel frames");
}
BENCHMARK(BM_TwoSpeakerChainFrame)->UseRealTime()->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
