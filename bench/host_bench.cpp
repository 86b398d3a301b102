// The host stand-in's speeds: a post from one component to another through
// the host's router until the receiver's wait returns (beside a plain
// two-thread semaphore ping-pong, the floor), routing throughput of 300-byte
// messages through the system queue, and the offline clock drive.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <semaphore>
#include <thread>
#include <vector>

#include "../tests/host/handle_rig.h"
#include "host/config.h"
#include "host/system.h"

namespace {

using namespace vornix;

// A message record of 300 bytes: the header and one data entry.
std::unique_ptr<DataMessage> message300() {
  auto message = std::make_unique<DataMessage>();
  message->setData("payload", std::vector<std::uint8_t>(1, 7));
  const std::size_t overhead = message->bytes().size() - 1;
  message = std::make_unique<DataMessage>();
  message->setData("payload", std::vector<std::uint8_t>(300 - overhead, 7));
  return message;
}

// Two threads waking each other through two semaphores: one wake-up each way.
void BM_SemaphorePingPong(benchmark::State& state) {
  std::binary_semaphore ping(0), pong(0);
  std::atomic<bool> done{false};
  std::thread other([&] {
    while (true) {
      ping.acquire();
      if (done.load()) return;
      pong.release();
    }
  });
  for (auto _ : state) {
    ping.release();
    pong.acquire();
  }
  done = true;
  ping.release();
  other.join();
  state.SetLabel("round trip = two wake-ups");
}
BENCHMARK(BM_SemaphorePingPong)->UseRealTime();

// poster posts under a trigger whose post spec targets the receiver; the host
// thread routes from the system queue into the receiver's inbound queue; the
// receiver's wait returns. Per-iteration times give the percentiles.
// Argument: microseconds between posts (timing paused). With 0 the posts come
// back to back and the router and receiver are still polling when the next
// one comes; with 2000 both have gone to sleep, so each post pays for two
// real wake-ups.
void BM_PostToReceiver(benchmark::State& state) {
  testing::HandleRig rig;
  ZelAPI& poster = rig.handle(testing::HandleRig::kPoster);
  ZelAPI& receiver = rig.handle(testing::HandleRig::kReceiver);
  testing::HandleRig::enter(
      poster, testing::HandleRig::trigger(
                  "T", {testing::HandleRig::post("Out", testing::HandleRig::kReceiver)}));
  auto receiverTrigger = testing::HandleRig::trigger("In", {});
  std::atomic<bool> routing{true};
  host::QueueReader& reader = rig.systemQueue();
  std::thread router([&] {
    while (routing.load(std::memory_order_relaxed)) {
      if (!reader.wait(20)) continue;
      if (auto records = reader.drain()) {
        for (const auto& bytes : *records) {
          if (!receiver.queuePair(std::make_unique<DataMessage>(*receiverTrigger),
                                  std::make_unique<DataMessage>(bytes))) {
            std::abort();  // a lost message would make the figures meaningless
          }
        }
      }
    }
  });
  std::vector<double> micros;
  const auto gap = std::chrono::microseconds(state.range(0));
  for (auto _ : state) {
    if (gap.count() != 0) {
      state.PauseTiming();
      std::this_thread::sleep_for(gap);
      state.ResumeTiming();
    }
    const auto start = std::chrono::steady_clock::now();
    poster.postOutputMessage("Out", nullptr);
    while (receiver.waitForNewMessage(1000, nullptr) == nullptr) {
    }
    micros.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count());
  }
  routing = false;
  router.join();
  std::sort(micros.begin(), micros.end());
  if (!micros.empty()) {
    state.counters["p50_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
  }
}
BENCHMARK(BM_PostToReceiver)->Arg(0)->UseRealTime()->Iterations(20000);
BENCHMARK(BM_PostToReceiver)->Arg(2000)->UseRealTime()->Iterations(2000);

// 300-byte messages appended by a poster and routed by the host: append,
// drain, route (a copy of trigger and message into the inbound queue).
void BM_RouteThroughSystemQueue(benchmark::State& state) {
  testing::HandleRig rig;
  ZelAPI& poster = rig.handle(testing::HandleRig::kPoster);
  ZelAPI& receiver = rig.handle(testing::HandleRig::kReceiver);
  testing::HandleRig::enter(
      poster, testing::HandleRig::trigger(
                  "T", {testing::HandleRig::post("Out", testing::HandleRig::kReceiver)}));
  auto receiverTrigger = testing::HandleRig::trigger("In", {});
  host::QueueReader& reader = rig.systemQueue();
  constexpr int kBatch = 64;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      poster.postOutputMessage("Out", message300().release());
    }
    if (auto records = reader.drain()) {
      for (const auto& bytes : *records) {
        if (!receiver.queuePair(std::make_unique<DataMessage>(*receiverTrigger),
                                std::make_unique<DataMessage>(bytes))) {
          std::abort();  // a lost message would make the figures meaningless
        }
      }
    }
    for (int i = 0; i < kBatch; ++i) receiver.waitForNewMessage(0, nullptr);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_RouteThroughSystemQueue)->UseRealTime();

// The host's share of the above alone: draining 64 queued 300-byte records
// and queueing each as a pair into the receiver's inbound queue. The posts
// and the receiver's waits run outside the timed part.
void BM_HostRoutingOnly(benchmark::State& state) {
  testing::HandleRig rig;
  ZelAPI& poster = rig.handle(testing::HandleRig::kPoster);
  ZelAPI& receiver = rig.handle(testing::HandleRig::kReceiver);
  testing::HandleRig::enter(
      poster, testing::HandleRig::trigger(
                  "T", {testing::HandleRig::post("Out", testing::HandleRig::kReceiver)}));
  auto receiverTrigger = testing::HandleRig::trigger("In", {});
  host::QueueReader& reader = rig.systemQueue();
  constexpr int kBatch = 64;
  for (auto _ : state) {
    state.PauseTiming();
    for (int i = 0; i < kBatch; ++i) {
      poster.postOutputMessage("Out", message300().release());
    }
    state.ResumeTiming();
    if (auto records = reader.drain()) {
      for (const auto& bytes : *records) {
        if (!receiver.queuePair(std::make_unique<DataMessage>(*receiverTrigger),
                                std::make_unique<DataMessage>(bytes))) {
          std::abort();  // a lost message would make the figures meaningless
        }
      }
    }
    state.PauseTiming();
    for (int i = 0; i < kBatch; ++i) receiver.waitForNewMessage(0, nullptr);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_HostRoutingOnly)->UseRealTime();

// Offline drive: two library components (a detector that forwards every frame
// to an analyzer that ignores it), one frame injected per step, the clock
// advanced only when the system is quiet: two task switches and a routing
// round per step, all on one thread.
void BM_OfflineDrive(benchmark::State& state) {
  vornix::host::ConfigResult parsed = vornix::host::parseConfig(R"(
[[components]]
name = "first"
entry = "PitchTrackerDetector"
[[components.triggers]]
name = "Frame"
type = "Audio.Frame"
posts = [ { name = "Frame", type = "Audio.Copy", target = "second" } ]
[[components]]
name = "second"
entry = "AnalyzeSingle"
[[components.triggers]]
name = "Copy"
type = "Audio.Copy"
)",
                                                                "drive.toml");
  vornix::host::SystemOptions options;
  options.simulatedClock = true;
  options.clockStart = 1'800'000'000'000'000ULL;
  options.logOutput = nullptr;
  std::string error;
  auto system =
      vornix::host::System::create(std::get<vornix::host::SystemConfig>(parsed), options, error);
  if (!system) {
    state.SkipWithError(error.c_str());
    return;
  }
  system->start();
  const MessageType frame = system->type("Audio.Frame");
  Micros t = options.clockStart;
  for (auto _ : state) {
    t += 23'220;
    system->advanceTo(t);
    auto message = std::make_unique<DataMessage>();
    message->setType(frame);
    message->setData("AudioDataFrame", std::vector<std::uint8_t>(2048, 0));
    system->inject(std::move(message));
    if (!system->settle()) state.SkipWithError("not quiet");
  }
  system->stop();
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("items = driven steps");
}
BENCHMARK(BM_OfflineDrive)->UseRealTime()->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
