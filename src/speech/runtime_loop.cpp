#include "speech/runtime_loop.h"

#include <limits>
#include <memory>
#include <mutex>

#include "runtime/zel_api.h"
#include "speech/speech_monitor.h"
#include "speech/wavelet_pitch_tracker.h"
#include "util/text.h"

namespace vornix {

namespace {

// The monitor's view of one run's handle.
class HandlePort final : public SpeechPort {
 public:
  explicit HandlePort(ZelAPI& api) : api_(&api) {}
  std::int64_t integerParameter(const char* name) override { return api_->getParameterInt(name); }
  bool boolParameter(const char* name) override { return api_->getParameterAsBool(name); }
  int post(const char* postName, std::unique_ptr<DataMessage> message) override {
    return api_->postOutputMessage(postName, message.release());
  }
  void log(std::uint8_t level, const std::string& line) override {
    api_->reportError(level, "%s", line.c_str());
  }

 private:
  ZelAPI* api_;
};

// Fields of the loop's state, initial values as a fresh process has them.
struct RuntimeState {
  int idle = 1;
  ZelAPI* handle = nullptr;
  std::unique_ptr<WaveletPitchTracker> tracker;
  std::uint32_t bufferSize = 1024;
  std::uint32_t samplingFrequency = 44100;
  double maximaRatio = 0.75;
  double noiseThreshold = 0.0;
  int waitTimeoutMs = 5;
  std::unique_ptr<HandlePort> port;
  std::unique_ptr<SpeechMonitor> monitor;
  PitchResult result;
  bool reportedSmallBuffer = false;
};

std::uint32_t clampToU32(std::int64_t value) {
  if (value < 0) return 0;
  if (value > std::numeric_limits<std::uint32_t>::max())
    return std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::uint32_t>(value);
}

void readParameters(RuntimeState& state, ZelAPI& api) {
  state.bufferSize = clampToU32(api.getParameterInt("BufferSize"));
  state.samplingFrequency = clampToU32(api.getParameterInt("SamplingFrequency"));
  state.maximaRatio = api.getParameterReal("AmplitudeThreshold");
  state.noiseThreshold = api.getParameterReal("NoiseThreshold");
}

// The tracker needs two samples a frame: with a smaller "BufferSize" no
// tracker is made and no frame is analysed. Said once per state.
bool bufferTooSmall(RuntimeState& state, ZelAPI& api) {
  if (state.bufferSize >= 2) return false;
  if (!state.reportedSmallBuffer) {
    state.reportedSmallBuffer = true;
    api.reportError(0,
                    "BufferSize %u is below 2 samples: no pitch tracking, audio frames are dropped",
                    state.bufferSize);
  }
  return true;
}

// Callers have checked bufferTooSmall.
void makeTracker(RuntimeState& state) {
  if (!state.tracker) {
    state.tracker = std::make_unique<WaveletPitchTracker>(
        state.bufferSize, state.maximaRatio, state.noiseThreshold, state.samplingFrequency);
  }
}

void processFrame(RuntimeState& state, ZelAPI& api, const DataMessage& message) {
  std::uint32_t length = 0;
  bool found = false;
  const std::uint8_t* data = message.getData("AudioDataFrame", length, &found);
  if (!found || data == nullptr) return;
  if (bufferTooSmall(state, api)) return;
  if (std::uint64_t{length} != 2ULL * state.bufferSize) return;
  makeTracker(state);
  if (!state.monitor) state.monitor = std::make_unique<SpeechMonitor>(*state.port);
  state.tracker->computePitchLittleEndian(std::span<const std::uint8_t>(data, length),
                                          state.result);
  const std::int64_t timeMs = static_cast<std::int64_t>(currentTime() / 1000U);
  state.monitor->processFrame(timeMs, state.result.pitch, state.result.soundPresent);
}

void runFrameLoop(RuntimeState& state, ZelAPI& api) {
  const bool deviceMode = api.hasParameter("DeviceID") && api.hasParameter("BufferSize") &&
                          api.hasParameter("SamplingFrequency");
  while (api.keepRunning()) {
    const char* trigger = nullptr;
    DataMessage* message = api.waitForNewMessage(static_cast<std::uint32_t>(state.waitTimeoutMs),
                                                 &trigger, ZelAPI::TimeoutUse::runningFlagOnly);
    if (message == nullptr) continue;
    const std::string_view name = trigger != nullptr ? trigger : "";
    if (equalsNoCase(name, "Ready") && deviceMode) {
      if (state.idle != 0) {
        state.waitTimeoutMs = 100;
        if (!bufferTooSmall(state, api)) makeTracker(state);
        state.idle = 0;
      }
    } else if (equalsNoCase(name, "Stop") && deviceMode) {
      if (state.idle == 0) {
        state.tracker.reset();
        state.idle = 1;
      }
    } else if (equalsNoCase(name, "AudioFrame") && !deviceMode) {
      processFrame(state, api, *message);
    }
  }
}

// The process-wide state and whether a run is using it now.
std::mutex gStateGuard;
RuntimeState gState;
bool gParametersRead = false;
bool gStateInUse = false;

// Gives the process-wide state back when its run ends, also when an
// allocation failure leaves the loop, so that a later run can have it again.
class StateClaim {
 public:
  StateClaim() = default;
  StateClaim(const StateClaim&) = delete;
  StateClaim& operator=(const StateClaim&) = delete;
  ~StateClaim() {
    if (!held_) return;
    std::lock_guard<std::mutex> lock(gStateGuard);
    gStateInUse = false;
  }
  void hold() noexcept { held_ = true; }

 private:
  bool held_ = false;
};

}  // namespace

std::uint8_t runRuntime(ZelAPI* api) {
  if (api == nullptr) return 255;
  RuntimeState* state = nullptr;
  std::unique_ptr<RuntimeState> own;
  StateClaim claim;
  {
    std::lock_guard<std::mutex> lock(gStateGuard);
    if (!gStateInUse) {
      gStateInUse = true;
      claim.hold();
      state = &gState;
      if (!gParametersRead) {
        readParameters(gState, *api);
        gParametersRead = true;
      }
    }
  }
  if (state == nullptr) {
    own = std::make_unique<RuntimeState>();
    readParameters(*own, *api);
    state = own.get();
  }
  // Every run posts through its own handle, also with a monitor made by an
  // earlier run.
  state->handle = api;
  state->port = std::make_unique<HandlePort>(*api);
  if (state->monitor) state->monitor->setPort(*state->port);

  runFrameLoop(*state, *api);
  return 0;
}

}  // namespace vornix
