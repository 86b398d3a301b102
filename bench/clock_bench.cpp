// Speed of the clock, the logger's filter and formatting.
//
// Goal: currentTime between anchorings at most 60 ns.
#include <benchmark/benchmark.h>

#include "util/clock.h"
#include "util/format.h"
#include "util/log.h"
#include "util/os.h"

namespace {

// The floor: one read of the operating system's counter.
void BM_CounterTicks(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(vornix::os::counterTicks());
}
BENCHMARK(BM_CounterTicks);

void BM_CurrentTime(benchmark::State& state) {
  vornix::currentTime();  // the first call anchors; the loop measures the steady path
  for (auto _ : state) benchmark::DoNotOptimize(vornix::currentTime());
}
BENCHMARK(BM_CurrentTime)->ThreadRange(1, 2);

void BM_ElapsedMillis(benchmark::State& state) {
  const vornix::Micros start = vornix::currentTime();
  for (auto _ : state) benchmark::DoNotOptimize(vornix::elapsedMillis(start));
}
BENCHMARK(BM_ElapsedMillis);

void BM_LogLineFiltered(benchmark::State& state) {
  int n = 0;
  for (auto _ : state) benchmark::DoNotOptimize(vornix::logLine(0, 3, 2, "resize to %d", ++n));
}
BENCHMARK(BM_LogLineFiltered);

void BM_FormatString(benchmark::State& state) {
  int n = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(vornix::formatString("%s\\Mutex_%s_%d", "Local", "Queue", ++n));
  }
}
BENCHMARK(BM_FormatString);

void BM_FormatCurrentTime(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(vornix::formatCurrentTime(true, true, true));
}
BENCHMARK(BM_FormatCurrentTime);

}  // namespace

BENCHMARK_MAIN();
