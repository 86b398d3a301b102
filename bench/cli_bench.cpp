// The host pieces behind `loquant run` and `loquant inspect`: making one
// audio frame message from a recording, and one snapshot of an instance.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/audio_source.h"
#include "host/component_section.h"
#include "host/instance_view.h"
#include "host/master_section.h"
#include "host/process_section.h"
#include "host/temporal_section.h"
#include "runtime/process_memory.h"
#include "util/format.h"
#include "util/object_names.h"

namespace {

using namespace vornix;
using namespace vornix::host;

// A 16 kHz 16-bit stereo WAVE file of `seconds` of a ramp.
std::filesystem::path makeRecording(double seconds) {
  const auto frames = static_cast<std::uint32_t>(seconds * 16000);
  const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                     ("loquant-bench-" + std::to_string(getpid()) + ".wav");
  std::string out = "RIFF";
  auto put = [&out](std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFFU);
  };
  put(36 + frames * 4, 4);
  out += "WAVEfmt ";
  put(16, 4);
  put(1, 2);
  put(2, 2);
  put(16000, 4);
  put(64000, 4);
  put(4, 2);
  put(16, 2);
  out += "data";
  put(frames * 4, 4);
  for (std::uint32_t i = 0; i < frames; ++i) put(i * 0x00010001U, 4);
  std::ofstream(path, std::ios::binary) << out;
  return path;
}

// One frame of 372 samples of channel 2 as an audio-frame message.
void BM_SourceFrame(benchmark::State& state) {
  const std::filesystem::path path = makeRecording(60.0);
  AudioSourceSettings settings{"mic", path.string(), 2, "speaker2", 372, 0, std::nullopt};
  std::string error;
  std::unique_ptr<AudioSource> source = AudioSource::open(settings, error);
  MessageType type;
  type.levels[0] = 2;
  for (auto _ : state) {
    std::unique_ptr<DataMessage> frame = source->nextFrame(type, 3);
    if (!frame) {
      state.PauseTiming();
      source = AudioSource::open(settings, error);
      state.ResumeTiming();
      continue;
    }
    benchmark::DoNotOptimize(frame.get());
  }
  std::filesystem::remove(path);
}
BENCHMARK(BM_SourceFrame);

// A snapshot of an instance with six components, two queues and a store of
// four bins (the shape of the example system).
void BM_InstanceSnapshot(benchmark::State& state) {
  const auto instance =
      static_cast<std::uint16_t>(50000U + static_cast<unsigned>(getpid()) % 9000U);
  std::unique_ptr<MasterSection> master = MasterSection::create(instance);
  std::vector<ComponentSpec> specs;
  for (std::uint32_t id = 1; id <= 6; ++id)
    specs.push_back({id, "component" + std::to_string(id), {}});
  std::unique_ptr<ComponentSection> components = ComponentSection::create(*master, specs, 6);
  ProcessLayout system;
  system.queueIds[1] = 1;
  ProcessLayout process;
  process.process = 1;
  process.queueIds[1] = 2;
  std::unique_ptr<ProcessSection> processes =
      ProcessSection::create(*master, process_layout::kQueuesStart + 2 * 65536, {system, process},
                             {QueueLayout{1, 65536, queueSemaphoreName(instance, 1)},
                              QueueLayout{2, 65536, queueSemaphoreName(instance, 2)}});
  TemporalLayout layout;
  layout.slotCount = 256;
  layout.bins = {{256, 64}, {1024, 64}, {4096, 32}, {16384, 8}};
  layout.maximumSize = 64ULL << 20;
  std::unique_ptr<TemporalSection> store = TemporalSection::create(instance, layout);
  std::string error;
  std::unique_ptr<InstanceView> view = InstanceView::open(instance, error);
  if (!view) {
    state.SkipWithError(error.c_str());
    return;
  }
  for (auto _ : state) {
    std::optional<InstanceSnapshot> snapshot = view->snapshot(error);
    benchmark::DoNotOptimize(snapshot);
  }
}
BENCHMARK(BM_InstanceSnapshot);

}  // namespace

BENCHMARK_MAIN();
