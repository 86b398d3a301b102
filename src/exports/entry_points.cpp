// The six exported entry points. Each answers a null handle at once with its
// null-handle code, adopts the host's hooks (a simulated clock), and runs its
// component's loop.
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

}  // namespace

extern "C" {

std::int32_t AnalyzeSingle(vornix::ZelAPI* api) {
  if (api == nullptr) return loquant::kNullHandle32;
  adoptHostHooks(api);
  return vornix::runAnalyzeSingle(api);
}

std::int32_t AnalyzeSingleContinuous(vornix::ZelAPI* api) {
  if (api == nullptr) return loquant::kNullHandle32;
  adoptHostHooks(api);
  return vornix::runAnalyzeSingleContinuous(api);
}

std::int32_t AnalyzeTwo(vornix::ZelAPI* api) {
  if (api == nullptr) return loquant::kNullHandle32;
  adoptHostHooks(api);
  return vornix::runAnalyzeTwo(api);
}

std::int32_t PitchTrackerDetector(vornix::ZelAPI* api) {
  if (api == nullptr) return loquant::kNullHandle32;
  adoptHostHooks(api);
  return vornix::runPitchTrackerDetector(api);
}

std::uint8_t Runtime(vornix::ZelAPI* api) {
  if (api == nullptr) return loquant::kNullHandle8;
  adoptHostHooks(api);
  return vornix::runRuntime(api);
}

std::uint8_t Test(vornix::ZelAPI* api) {
  if (api == nullptr) return loquant::kNullHandle8;
  adoptHostHooks(api);
  return vornix::runLatencyProbe(api);
}

}  // extern "C"
