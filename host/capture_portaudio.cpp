// Capture devices through PortAudio, which reaches ALSA, PulseAudio/PipeWire
// (through their ALSA plug-ins) and JACK on Linux.
#include <fcntl.h>
#include <portaudio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <mutex>
#include <span>

#include "host/capture_device.h"

namespace vornix::host {

namespace {

// PortAudio is initialised once per use and terminated with the last user;
// the probing of every ALSA device that initialisation does prints the
// library's complaints about devices it cannot use on the standard error,
// which is hidden for that moment (the user did not ask about them).
//
// The JACK client library that PortAudio loads keeps a metadata store in a
// folder "jack_db-<uid>" of /dev/shm, which it makes when it is first used
// and never removes; a store that did not exist before initialisation is
// ours, and is removed at termination, so a run leaves nothing in /dev/shm.
class PortAudioScope {
 public:
  PortAudioScope() {
    std::lock_guard<std::mutex> lock(mutex());
    std::error_code ec;
    madeJackStore_ = !std::filesystem::exists(jackStore(), ec);
    const int saved = ::dup(2);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved >= 0 && null >= 0) ::dup2(null, 2);
    status_ = Pa_Initialize();
    if (saved >= 0 && null >= 0) ::dup2(saved, 2);
    if (null >= 0) ::close(null);
    if (saved >= 0) ::close(saved);
  }
  ~PortAudioScope() {
    if (status_ == paNoError && !abandoned_) {
      std::lock_guard<std::mutex> lock(mutex());
      Pa_Terminate();
    }
    if (madeJackStore_) {
      std::error_code ec;
      std::filesystem::remove_all(jackStore(), ec);
    }
  }
  PortAudioScope(const PortAudioScope&) = delete;
  PortAudioScope& operator=(const PortAudioScope&) = delete;
  bool ok() const noexcept { return status_ == paNoError; }
  // The library is left initialised: a stream of it could not be closed.
  void abandon() noexcept { abandoned_ = true; }
  std::string error() const { return Pa_GetErrorText(status_); }

 private:
  static std::filesystem::path jackStore() {
    return "/dev/shm/jack_db-" + std::to_string(::getuid());
  }
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
  PaError status_ = paNotInitialized;
  bool madeJackStore_ = false;
  bool abandoned_ = false;
};

CaptureDeviceInfo describe(PaDeviceIndex index) {
  const PaDeviceInfo* info = Pa_GetDeviceInfo(index);
  CaptureDeviceInfo out;
  out.name = info->name != nullptr ? info->name : "";
  const PaHostApiInfo* api = Pa_GetHostApiInfo(info->hostApi);
  out.api = api != nullptr && api->name != nullptr ? api->name : "";
  out.channels = info->maxInputChannels;
  out.defaultRate = info->defaultSampleRate;
  out.isDefault = index == Pa_GetDefaultInputDevice();
  return out;
}

// The device for a request: "default", the exact name, or the one device
// whose name contains the text. paNoDevice with the reason otherwise.
PaDeviceIndex findDevice(const std::string& wanted, std::string& error) {
  if (wanted.empty() || wanted == "default") {
    const PaDeviceIndex index = Pa_GetDefaultInputDevice();
    if (index == paNoDevice) error = "there is no default capture device (see loquant devices)";
    return index;
  }
  const PaDeviceIndex count = Pa_GetDeviceCount();
  PaDeviceIndex partial = paNoDevice;
  int partials = 0;
  for (PaDeviceIndex i = 0; i < count; ++i) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
    if (info == nullptr || info->maxInputChannels < 1 || info->name == nullptr) continue;
    const std::string name = info->name;
    if (name == wanted) return i;
    if (name.find(wanted) != std::string::npos) {
      partial = i;
      ++partials;
    }
  }
  if (partials == 1) return partial;
  error = partials == 0 ? "no capture device named '" + wanted + "' (see loquant devices)"
                        : "'" + wanted + "' names several capture devices (see loquant devices)";
  return paNoDevice;
}

class PortAudioStream final : public CaptureStream {
 public:
  PortAudioStream(std::string name, int channels, std::uint32_t rate, std::size_t ringSamples)
      : name_(std::move(name)), channels_(channels), rate_(rate), ring_(ringSamples) {}
  ~PortAudioStream() override {
    if (stream_ != nullptr && !abandoned_) {
      Pa_StopStream(stream_);
      Pa_CloseStream(stream_);
    }
  }

  bool open(PaDeviceIndex device, std::uint32_t framesPerBlock, double latency,
            std::string& error) {
    PaStreamParameters input{};
    input.device = device;
    input.channelCount = channels_;
    input.sampleFormat = paInt16;
    input.suggestedLatency = std::max(latency, Pa_GetDeviceInfo(device)->defaultLowInputLatency);
    if (const PaError supported = Pa_IsFormatSupported(&input, nullptr, static_cast<double>(rate_));
        supported != paFormatIsSupported) {
      error = "capture device '" + name_ + "' refuses " + std::to_string(channels_) +
              " channel(s) of 16-bit samples at " + std::to_string(rate_) +
              " Hz: " + Pa_GetErrorText(supported);
      return false;
    }
    PaError status =
        Pa_OpenStream(&stream_, &input, nullptr, static_cast<double>(rate_),
                      framesPerBlock == 0 ? paFramesPerBufferUnspecified : framesPerBlock, paNoFlag,
                      &PortAudioStream::callback, this);
    if (status == paNoError) status = Pa_SetStreamFinishedCallback(stream_, &finished);
    if (status == paNoError) status = Pa_StartStream(stream_);
    if (status != paNoError) {
      error = "capture device '" + name_ + "' cannot start: " + Pa_GetErrorText(status);
      return false;
    }
    return true;
  }

  const std::string& deviceName() const noexcept override { return name_; }
  int channels() const noexcept override { return channels_; }
  std::uint32_t rate() const noexcept override { return rate_; }
  SampleRing& ring() noexcept override { return ring_; }
  std::uint64_t overruns() const noexcept override {
    return overruns_.load(std::memory_order_relaxed);
  }
  bool failed() const noexcept override { return ended_.load(std::memory_order_acquire); }
  void setDoorbell(const CaptureDoorbell* doorbell, std::size_t samples) noexcept override {
    wakeAt_.store(samples, std::memory_order_relaxed);
    doorbell_.store(doorbell, std::memory_order_release);
  }
  void abandon() noexcept override {
    abandoned_ = true;
    scope_.abandon();
  }

 private:
  // The audio callback: copies the block into the ring or counts it lost.
  static int callback(const void* input, void* /*output*/, unsigned long frames,
                      const PaStreamCallbackTimeInfo* /*time*/, PaStreamCallbackFlags flags,
                      void* self) {
    auto& stream = *static_cast<PortAudioStream*>(self);
    if ((flags & paInputOverflow) != 0U) stream.overruns_.fetch_add(1, std::memory_order_relaxed);
    if (input == nullptr) return paContinue;
    const std::span<const std::int16_t> block(
        static_cast<const std::int16_t*>(input),
        frames * static_cast<unsigned long>(stream.channels_));
    if (!stream.ring_.write(block)) stream.overruns_.fetch_add(1, std::memory_order_relaxed);
    // Level-triggered: a ring the reader has not yet taken costs it one
    // spurious look at most, a ring missed would cost it a frame.
    if (const CaptureDoorbell* bell = stream.doorbell_.load(std::memory_order_acquire);
        bell != nullptr &&
        stream.ring_.filled() >= stream.wakeAt_.load(std::memory_order_relaxed)) {
      bell->ring();
    }
    return paContinue;
  }
  // The stream has ended: stopped by us, or the device went away.
  static void finished(void* self) {
    auto& stream = *static_cast<PortAudioStream*>(self);
    stream.ended_.store(true, std::memory_order_release);
    if (const CaptureDoorbell* bell = stream.doorbell_.load(std::memory_order_acquire)) {
      bell->ring();
    }
  }

  PortAudioScope scope_;  // first in, last out: the library outlives the stream
  std::string name_;
  int channels_;
  std::uint32_t rate_;
  SampleRing ring_;
  PaStream* stream_ = nullptr;
  bool abandoned_ = false;
  std::atomic<std::uint64_t> overruns_{0};
  std::atomic<bool> ended_{false};
  std::atomic<const CaptureDoorbell*> doorbell_{nullptr};
  std::atomic<std::size_t> wakeAt_{0};
};

}  // namespace

bool listCaptureDevices(std::vector<CaptureDeviceInfo>& out, std::string& error) {
  PortAudioScope scope;
  if (!scope.ok()) {
    error = "the audio system cannot be reached: " + scope.error();
    return false;
  }
  out.clear();
  const PaDeviceIndex count = Pa_GetDeviceCount();
  if (count < 0) {
    error = std::string("the audio system cannot list its devices: ") + Pa_GetErrorText(count);
    return false;
  }
  for (PaDeviceIndex i = 0; i < count; ++i) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
    if (info != nullptr && info->maxInputChannels > 0) out.push_back(describe(i));
  }
  return true;
}

bool findCaptureDevice(const std::string& device, CaptureDeviceInfo& out, std::string& error) {
  PortAudioScope scope;
  if (!scope.ok()) {
    error = "the audio system cannot be reached: " + scope.error();
    return false;
  }
  const PaDeviceIndex index = findDevice(device, error);
  if (index == paNoDevice) return false;
  out = describe(index);
  return true;
}

bool captureRateAccepted(const std::string& device, int channels, std::uint32_t rate) {
  PortAudioScope scope;
  if (!scope.ok() || channels < 1) return false;
  std::string error;
  const PaDeviceIndex index = findDevice(device, error);
  if (index == paNoDevice) return false;
  PaStreamParameters input{};
  input.device = index;
  input.channelCount = channels;
  input.sampleFormat = paInt16;
  input.suggestedLatency = Pa_GetDeviceInfo(index)->defaultLowInputLatency;
  return Pa_IsFormatSupported(&input, nullptr, static_cast<double>(rate)) == paFormatIsSupported;
}

std::unique_ptr<CaptureStream> openCaptureStream(const CaptureRequest& request,
                                                 std::string& error) {
  if (request.channels < 1) {
    error = "a capture stream needs at least one channel";
    return nullptr;
  }
  PortAudioScope scope;
  if (!scope.ok()) {
    error = "the audio system cannot be reached: " + scope.error();
    return nullptr;
  }
  const PaDeviceIndex device = findDevice(request.device, error);
  if (device == paNoDevice) return nullptr;
  const CaptureDeviceInfo info = describe(device);
  if (info.channels < request.channels) {
    error = "capture device '" + info.name + "' has " + std::to_string(info.channels) +
            " input channel(s), not " + std::to_string(request.channels);
    return nullptr;
  }
  const std::uint32_t rate =
      request.rate != 0 ? request.rate : static_cast<std::uint32_t>(std::lround(info.defaultRate));
  const double seconds = std::clamp(request.ringSeconds, 0.1, 60.0);
  const auto ringSamples = static_cast<std::size_t>(seconds * rate * request.channels);
  auto stream = std::make_unique<PortAudioStream>(info.name, request.channels, rate,
                                                  std::max<std::size_t>(ringSamples, 1024));
  if (!stream->open(device, request.framesPerBlock, request.latencySeconds, error)) {
    return nullptr;
  }
  return stream;
}

}  // namespace vornix::host
