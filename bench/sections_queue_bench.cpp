// Speed of the two writers posting uses: appending a 300-byte message to the
// system message queue (semaphore release included) and inserting into the
// temporal store while 1,000 messages are live; and the grow of a process
// section with one process in use, against copying its 5.3 MB byte for byte.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "host/master_section.h"
#include "host/process_section.h"
#include "host/temporal_section.h"
#include "runtime/data_message.h"
#include "runtime/mapped_section.h"
#include "runtime/message_queue.h"
#include "runtime/process_memory.h"
#include "runtime/temporal_memory.h"
#include "util/bytes.h"
#include "util/clock.h"
#include "util/format.h"
#include "util/log.h"
#include "util/semaphore.h"
#include "util/shared_memory.h"

namespace vornix {
namespace {

std::uint16_t benchInstance(std::uint16_t offset) {
  return static_cast<std::uint16_t>(((static_cast<std::uint32_t>(getpid()) & 0x1FFFU) << 3) +
                                    offset);
}

DataMessage messageOf(std::uint32_t size) {
  DataMessage m;
  DataMessage padded = m;
  padded.setData("pad", std::vector<std::uint8_t>(1, 0));
  const std::uint32_t overhead = padded.size() - 1;
  m.setData("pad", std::vector<std::uint8_t>(size - overhead, 0x5A));
  return m;
}

void BM_AddToMsgQ300(benchmark::State& state) {
  const std::uint16_t instance = benchInstance(1);
  auto master = host::MasterSection::create(instance);
  const std::string semaphoreName = formatString("LoquantBenchQueue_%u", unsigned{instance});
  constexpr std::uint64_t kQueue = queue::kHeaderSize + (1 << 20);
  auto section = host::ProcessSection::create(*master, process_layout::kQueuesStart + kQueue,
                                              {{0, {0, 1, 0, 0}}}, {{1, kQueue, semaphoreName}});
  if (!section) {
    state.SkipWithError("no process section");
    return;
  }
  ProcessMemory client(master->memory());
  Semaphore* wake = getNamedSemaphore(semaphoreName, true);
  const DataMessage m = messageOf(300);
  const std::span<std::uint8_t> q =
      section->initialBytes().subspan(static_cast<std::size_t>(process_layout::kQueuesStart));
  // Every 100 appends the queue is emptied and the semaphore taken back, so
  // that each append pays a real release (the maximum count is 100).
  std::int64_t sinceReset = 0;
  for (auto _ : state) {
    if (++sinceReset == 100) {
      state.PauseTiming();
      bytes::store<std::uint64_t>(q, queue::kRead, 0);
      bytes::store<std::uint64_t>(q, queue::kWrite, 0);
      while (wake->wait(0)) {
      }
      sinceReset = 0;
      state.ResumeTiming();
    }
    if (!client.addToMsgQ(0, m)) state.SkipWithError("append failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AddToMsgQ300);

class SteppedClock final : public ClockSource {
 public:
  Micros now() override { return now_.load(std::memory_order_relaxed); }
  void step() { now_.fetch_add(1, std::memory_order_relaxed); }

 private:
  std::atomic<Micros> now_{kUnixEpochMicros + 1'700'000'000'000'000ULL};
};

// Every insertion lives 1,000 clock steps and the clock steps once per
// insertion: 1,000 messages are live at each insertion, and each insertion
// frees the one that has just expired.
void BM_InsertWith1000Live(benchmark::State& state) {
  SteppedClock clock;
  setClockSource(&clock);
  const std::uint16_t instance = benchInstance(2);
  auto section = host::TemporalSection::create(
      instance, {1024, {{256, 4096}, {1024, 1024}, {4096, 256}}, 64 << 20, 0, 0});
  if (!section) {
    setClockSource(nullptr);
    state.SkipWithError("no temporal section");
    return;
  }
  TemporalMemory store(section->owner(), 1);
  DataMessage m = messageOf(600);
  m.setTtl(1000);
  std::uint64_t id = 0;
  for (int i = 0; i < 1000; ++i) {
    m.setCreatedTime(clock.now());
    store.insertMessage(m, id);
    clock.step();
  }
  for (auto _ : state) {
    m.setCreatedTime(clock.now());
    if (!store.insertMessage(m, id)) state.SkipWithError("insert failed");
    clock.step();
  }
  state.SetItemsProcessed(state.iterations());
  setClockSource(nullptr);
}
BENCHMARK(BM_InsertWith1000Live);

// A process section with one process and a 1 MiB queue in use (5.4 MB, most
// of it unused process records), grown by 64 KiB; a fresh section each time.
void BM_GrowProcessSection(benchmark::State& state) {
  setLogLineSink([](std::uint32_t, std::uint8_t, std::uint8_t, std::string_view) {});
  const std::uint16_t instance = benchInstance(3);
  const std::string semaphoreName = formatString("LoquantBenchQueue_%u", unsigned{instance});
  constexpr std::uint64_t kQueue = queue::kHeaderSize + (1 << 20);
  constexpr std::uint64_t kSize = process_layout::kQueuesStart + kQueue;
  for (auto _ : state) {
    state.PauseTiming();
    auto master = host::MasterSection::create(instance);
    auto section = host::ProcessSection::create(*master, kSize, {{0, {0, 1, 0, 0}}},
                                                {{1, kQueue, semaphoreName}});
    auto client = section ? std::make_unique<ProcessMemory>(master->memory()) : nullptr;
    state.ResumeTiming();
    if (!client || !client->resize(kSize + (64 << 10))) {
      state.SkipWithError("grow failed");
      break;
    }
    state.PauseTiming();
    client.reset();
    section.reset();
    master.reset();
    state.ResumeTiming();
  }
  setLogLineSink(nullptr);
}
BENCHMARK(BM_GrowProcessSection)->Unit(benchmark::kMicrosecond);

// The same bytes copied whole from one new section into another, as a grow
// did before it asked which ranges were written.
void BM_CopyProcessSectionWhole(benchmark::State& state) {
  const std::uint16_t instance = benchInstance(4);
  constexpr std::uint64_t kSize = process_layout::kQueuesStart + queue::kHeaderSize + (1 << 20);
  const std::string from = formatString("LoquantBenchCopyFrom_%u", unsigned{instance});
  const std::string into = formatString("LoquantBenchCopyInto_%u", unsigned{instance});
  for (auto _ : state) {
    state.PauseTiming();
    MappedSection source = MappedSection::create(from, kSize);
    state.ResumeTiming();
    MappedSection target = MappedSection::create(into, kSize + (64 << 10));
    if (!source || !target) {
      state.SkipWithError("no sections");
      break;
    }
    std::memcpy(target.data(), source.data(), kSize);
    benchmark::DoNotOptimize(target.data());
    source.reset();  // a grow lets the old view go too
    state.PauseTiming();
    target.reset();
    removeSharedMemory(into);
    removeSharedMemory(from);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_CopyProcessSectionWhole)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vornix

BENCHMARK_MAIN();
