// The offline drive's switching costs: one task switch pair (resume into a
// task, suspend back out) on its own, and one message through the drive (a
// pair queued for a component whose wait has suspended its task, the round
// that resumes it, its wait returning the message and suspending again).
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

#include "../tests/host/handle_rig.h"
#include "host/cooperative_task.h"
#include "host/offline_drive.h"
#include "host/simulated_clock.h"

namespace {

using namespace vornix;

void BM_TaskSwitch(benchmark::State& state) {
  bool done = false;
  host::CooperativeTask* self = nullptr;
  std::string error;
  auto task = host::CooperativeTask::create(
      [&] {
        while (!done) self->suspend();
      },
      host::CooperativeTask::defaultStackBytes(), error);
  if (!task) {
    state.SkipWithError(error.c_str());
    return;
  }
  self = task.get();
  task->resume();  // first entry: sets up the stack
  for (auto _ : state) task->resume();
  done = true;
  task->resume();
  state.SetLabel("resume + suspend");
}
BENCHMARK(BM_TaskSwitch);

void BM_CooperativeWait(benchmark::State& state) {
  testing::HandleRig rig;
  if (!rig.ready()) {
    state.SkipWithError("sections could not be made");
    return;
  }
  host::SimulatedClock clock(1'000'000);
  host::OfflineDrive drive(clock, std::chrono::milliseconds(10000));
  rig.context().waitObserver = &drive;
  ZelAPI& api = rig.handle(testing::HandleRig::kReceiver);
  std::int64_t taken = 0;
  std::string error;
  const bool added = drive.add(
      testing::HandleRig::kReceiver, "receiver",
      [&]() -> std::int64_t {
        while (api.keepRunning()) {
          if (api.waitForNewMessage(1000, nullptr) != nullptr) ++taken;
        }
        return 0;
      },
      error);
  if (!added) {
    state.SkipWithError(error.c_str());
    return;
  }
  drive.runRound();  // the task starts and waits
  for (auto _ : state) {
    if (!api.queuePair(nullptr, std::make_unique<DataMessage>())) state.SkipWithError("not queued");
    drive.queued(testing::HandleRig::kReceiver);
    drive.runRound();
  }
  if (taken != static_cast<std::int64_t>(state.iterations())) state.SkipWithError("lost messages");
  drive.stopping();
  api.setRunning(false);
  if (!api.wake()) state.SkipWithError("not woken");
  drive.queued(testing::HandleRig::kReceiver);
  drive.runRound();
  rig.context().waitObserver = nullptr;
  state.SetLabel("queuePair + round + wait returning");
}
BENCHMARK(BM_CooperativeWait);

}  // namespace

BENCHMARK_MAIN();
