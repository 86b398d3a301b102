#include "analysis/entry_loops.h"

#include <memory>

#include "analysis/analysis_state.h"
#include "analysis/latency_probe.h"
#include "analysis/poster.h"
#include "analysis/single_analyzer.h"
#include "analysis/speaker_change_detector.h"
#include "analysis/two_speaker_analyzer.h"
#include "runtime/zel_api.h"

namespace vornix {
namespace {

constexpr std::int32_t kNoHandle32 = -1;
constexpr std::uint8_t kNoHandle8 = 255;

// Posts through the component's handle, which takes the message on every
// path.
class HandlePoster final : public Poster {
 public:
  explicit HandlePoster(ZelAPI& api) noexcept : api_(api) {}
  int post(const char* postName, std::unique_ptr<DataMessage> message) override {
    return api_.postOutputMessage(postName, message.release());
  }

 private:
  ZelAPI& api_;
};

// Calls `handle(triggerName, message)` for every message and `idle()` for
// every wait that ends without one, until the component is to stop.
template <class OnMessage, class OnIdle>
void messageLoop(ZelAPI& api, std::uint32_t timeoutMs, OnMessage handle, OnIdle idle,
                 ZelAPI::TimeoutUse use = ZelAPI::TimeoutUse::acts) {
  while (api.keepRunning()) {
    const char* triggerName = nullptr;
    const DataMessage* message = api.waitForNewMessage(timeoutMs, &triggerName, use);
    if (message == nullptr) {
      idle();
      continue;
    }
    handle(triggerName, *message);
  }
}

// The loop of a component whose time-outs only let it see its running flag.
template <class OnMessage>
void messageLoop(ZelAPI& api, std::uint32_t timeoutMs, OnMessage handle) {
  messageLoop(
      api, timeoutMs, handle, [] {}, ZelAPI::TimeoutUse::runningFlagOnly);
}

}  // namespace

std::int32_t runAnalyzeSingle(ZelAPI* api) {
  if (api == nullptr) return kNoHandle32;
  StateLease<PitchTableXML> table = processAnalysisState().leaseTable();
  HandlePoster poster(*api);
  SingleAnalyzer analyzer(*table, poster);
  analyzer.start();
  messageLoop(*api, 50, [&](const char* trigger, const DataMessage& message) {
    analyzer.onMessage(trigger, message);
  });
  return 0;
}

std::int32_t runAnalyzeSingleContinuous(ZelAPI* api) {
  if (api == nullptr) return kNoHandle32;
  StateLease<PitchTableXML> table = processAnalysisState().leaseTable();
  HandlePoster poster(*api);
  ContinuousAnalyzer analyzer(*table, poster, standardOutput());
  analyzer.start();
  messageLoop(
      *api, 1,
      [&](const char* trigger, const DataMessage& message) {
        analyzer.onMessage(trigger, message);
      },
      [&] { analyzer.onTimeout(); });
  // The shared table outlives this run; it must not keep a writer of ours.
  table->setLineWriter(nullptr);
  return 0;
}

std::int32_t runAnalyzeTwo(ZelAPI* api) {
  if (api == nullptr) return kNoHandle32;
  {
    StateLease<SpeakerFloor> floor = processAnalysisState().leaseFloor();
    HandlePoster poster(*api);
    TwoSpeakerAnalyzer analyzer(*floor, poster);
    analyzer.start();
    messageLoop(*api, 50, [&](const char* trigger, const DataMessage& message) {
      analyzer.onMessage(trigger, message);
    });
  }
  standardOutput().write("AnalyzeTwo Exit\n");
  return 0;
}

std::int32_t runPitchTrackerDetector(ZelAPI* api) {
  if (api == nullptr) return kNoHandle32;
  HandlePoster poster(*api);
  SpeakerChangeDetector detector(api->getParameterReal("Threshold"), poster);
  messageLoop(*api, 100, [&](const char* trigger, const DataMessage& message) {
    detector.onMessage(trigger, message);
  });
  return 0;
}

std::uint8_t runLatencyProbe(ZelAPI* api) {
  if (api == nullptr) return kNoHandle8;
  const auto moduleId =
      static_cast<std::uint32_t>(static_cast<std::uint64_t>(api->getParameterInt("ModuleID")));
  LatencyProbe probe(
      moduleId, [api](const MessageType& type) { return api->typeName(type); }, standardOutput());
  messageLoop(*api, 10, [&](const char* trigger, const DataMessage& message) {
    probe.onMessage(trigger, message, currentTime());
  });
  return 0;
}

}  // namespace vornix
