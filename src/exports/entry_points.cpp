// The six exported entry points. Each answers a null handle at once with its
// null-handle code, adopts the host's hooks (a simulated clock), and runs its
// component's loop.
//
// The error boundary: no std::exception leaves an entry point. A failure
// inside a component's loop (an allocation refused, a record that cannot
// grow) ends that component only: one line goes to the host through the
// handle's log path and the entry point returns its failure code. An
// exception of any other type is let through on purpose: a host that runs
// components as cooperative tasks may end an unfinished task by unwinding
// its stack with an exception type of its own (the offline drive does), and
// swallowing that would leave the task running on a stack that is being
// torn down. The library throws nothing but std::exception types itself.
#include <exception>

#include "analysis/entry_loops.h"
#include "exports/handle_layout.h"
#include "loquant/loquant.h"
#include "runtime/zel_api.h"
#include "speech/runtime_loop.h"
#include "util/clock.h"

namespace {

// A host that drives a simulated clock names it in the handle's context. A
// cooperative host runs the whole system on one thread: the clock is then
// that thread's, so systems driven on other threads keep their own time.
// Otherwise the library's clock follows it for the whole process, and a host
// without one gets the real clock back, so that the clock of an earlier
// system, which may be gone, is never read again.
void adoptHostHooks(vornix::ZelAPI* api) {
  vornix::HostContext* context = api->hostContext();
  if (context == nullptr) return;
  if (context->waitObserver != nullptr && context->waitObserver->cooperative()) {
    vornix::setThreadClockSource(context->clock);
  } else {
    vornix::setClockSource(context->clock);
  }
}

// Runs `loop` inside the error boundary (see the top of this file).
template <class Result, class Loop>
Result guarded(vornix::ZelAPI* api, const char* entry, Result failure, Loop loop) {
  try {
    adoptHostHooks(api);
    return loop(api);
  } catch (const std::exception& e) {
    try {
      api->reportError(0, "%s stopped by an error: %s", entry, e.what());
    } catch (const std::exception&) {
      // The log path itself failed (no memory even for the line): the
      // failure code still tells the host.
    }
    return failure;
  }
}

}  // namespace

extern "C" {

std::int32_t AnalyzeSingle(vornix::ZelAPI* api) {
  if (api == nullptr) return loquant::kNullHandle32;
  return guarded(api, "AnalyzeSingle", loquant::kFailed32, vornix::runAnalyzeSingle);
}

std::int32_t AnalyzeSingleContinuous(vornix::ZelAPI* api) {
  if (api == nullptr) return loquant::kNullHandle32;
  return guarded(api, "AnalyzeSingleContinuous", loquant::kFailed32,
                 vornix::runAnalyzeSingleContinuous);
}

std::int32_t AnalyzeTwo(vornix::ZelAPI* api) {
  if (api == nullptr) return loquant::kNullHandle32;
  return guarded(api, "AnalyzeTwo", loquant::kFailed32, vornix::runAnalyzeTwo);
}

std::int32_t PitchTrackerDetector(vornix::ZelAPI* api) {
  if (api == nullptr) return loquant::kNullHandle32;
  return guarded(api, "PitchTrackerDetector", loquant::kFailed32, vornix::runPitchTrackerDetector);
}

std::uint8_t Runtime(vornix::ZelAPI* api) {
  if (api == nullptr) return loquant::kNullHandle8;
  return guarded(api, "Runtime", loquant::kFailed8, vornix::runRuntime);
}

std::uint8_t Test(vornix::ZelAPI* api) {
  if (api == nullptr) return loquant::kNullHandle8;
  return guarded(api, "Test", loquant::kFailed8, vornix::runLatencyProbe);
}

}  // extern "C"
