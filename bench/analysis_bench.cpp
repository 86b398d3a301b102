// Per-message cost of the analysis: a turn summary over speech-off messages
// of growing sample counts (the cost should grow linearly with the record),
// and one two-speaker step.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>

#include "analysis/analysis_state.h"
#include "analysis/pitch_table_xml.h"
#include "analysis/two_speaker_analyzer.h"

namespace {

using vornix::DataMessage;

std::unique_ptr<DataMessage> speechOff(std::int64_t samples) {
  auto m = std::make_unique<DataMessage>();
  m->setInt("timestamp", 1000 + samples * 10);
  m->setInt("PitchCollectionCount", samples);
  for (std::int64_t i = 0; i < samples; ++i) {
    m->setDouble(i, "pitchvalue", 100.0 + static_cast<double>(i % 37));
    m->setInt(i, "pitchtime", 1000 + i * 10);
  }
  m->setInt("PitchCount", samples);
  m->setInt("ModuleID", 1);
  return m;
}

void BM_AnalyzeTurn(benchmark::State& state) {
  const auto message = speechOff(state.range(0));
  vornix::PitchTableXML table;
  for (auto _ : state) {
    benchmark::DoNotOptimize(table.analyzeTurn(message.get()));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_AnalyzeTurn)->Arg(64)->Arg(512)->Arg(4096);

class NullPoster final : public vornix::Poster {
 public:
  int post(const char*, std::unique_ptr<DataMessage>) override { return 1; }
};

void BM_TwoSpeakerStep(benchmark::State& state) {
  vornix::SpeakerFloor floor;
  NullPoster poster;
  vornix::TwoSpeakerAnalyzer analyzer(floor, poster);
  analyzer.start();
  DataMessage on1, on2;
  on1.setInt("ModuleID", 1);
  on2.setInt("ModuleID", 2);
  for (auto _ : state) {
    analyzer.onMessage("SpeechOn", on1);
    analyzer.onMessage("SpeechOn", on2);
    analyzer.onMessage("SpeechOff", on2);
    analyzer.onMessage("SpeechOff", on1);
  }
  state.SetItemsProcessed(state.iterations() * 4);
}
BENCHMARK(BM_TwoSpeakerStep);

}  // namespace

BENCHMARK_MAIN();
