// Speed of the message record: lookups, in-place writes, growth and trimmed
// copies.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "runtime/data_message.h"

namespace vornix {
namespace {

std::vector<std::string> entryNames(int count) {
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) names.push_back("Entry" + std::to_string(i));
  return names;
}

// getInt by name on a 20-entry record; the last entry, so the whole record is
// walked.
void BM_GetIntByName20(benchmark::State& state) {
  DataMessage m;
  const auto names = entryNames(20);
  for (std::size_t i = 0; i < names.size(); ++i)
    m.setInt(names[i].c_str(), static_cast<std::int64_t>(i));
  const char* name = "ENTRY19";
  for (auto _ : state) benchmark::DoNotOptimize(m.getInt(name));
}
BENCHMARK(BM_GetIntByName20);

// setInt overwriting an existing entry in place (middle of a 20-entry record).
void BM_SetIntOverwrite(benchmark::State& state) {
  DataMessage m;
  const auto names = entryNames(20);
  for (std::size_t i = 0; i < names.size(); ++i)
    m.setInt(names[i].c_str(), static_cast<std::int64_t>(i));
  std::int64_t v = 0;
  for (auto _ : state) benchmark::DoNotOptimize(m.setInt("Entry10", ++v));
}
BENCHMARK(BM_SetIntOverwrite);

// 1000 distinct new entries appended to a fresh message. Each write also
// walks the record for the name first, as setEntry must; the growth itself is
// amortised by the block's capacity.
void BM_Append1000(benchmark::State& state) {
  const auto names = entryNames(1000);
  for (auto _ : state) {
    DataMessage m;
    for (std::size_t i = 0; i < names.size(); ++i) {
      m.setInt(names[i].c_str(), static_cast<std::int64_t>(i));
    }
    benchmark::DoNotOptimize(m.record());
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_Append1000)->Unit(benchmark::kMicrosecond);

// Growth of a large record: 1000 new entries whose names all differ in length
// (so each lookup rejects every entry on its length) and reach 1000 bytes, for
// a record of about 0.6 MB. Copying the record on every growth would move
// about 300 MB here.
void BM_GrowthOnly(benchmark::State& state) {
  std::vector<std::string> names;
  for (int i = 1; i <= 1000; ++i) names.emplace_back(static_cast<std::size_t>(i), 'n');
  const std::vector<std::uint8_t> value(64, 1);
  for (auto _ : state) {
    DataMessage m;
    for (const auto& name : names) m.setData(name.c_str(), value);
    benchmark::DoNotOptimize(m.record());
  }
}
BENCHMARK(BM_GrowthOnly)->Unit(benchmark::kMicrosecond);

// copyLimited of a ~10 KB record (texts, numbers, data) into 4096 bytes.
void BM_CopyLimited10K(benchmark::State& state) {
  DataMessage m;
  const std::string text(200, 'x');
  for (int i = 0; i < 35; ++i) m.setString(("text" + std::to_string(i)).c_str(), text.c_str());
  for (int i = 0; i < 10; ++i) m.setInt(("int" + std::to_string(i)).c_str(), i);
  const std::vector<std::uint8_t> blob(1000, 3);
  m.setData("blob", blob);
  state.counters["source_bytes"] = m.size();
  for (auto _ : state) {
    DataMessage copy(m, 4096);
    benchmark::DoNotOptimize(copy.record());
  }
}
BENCHMARK(BM_CopyLimited10K);

}  // namespace
}  // namespace vornix

BENCHMARK_MAIN();
