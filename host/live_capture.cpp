#include "host/live_capture.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <system_error>
#include <utility>

#include "host/audio_source.h"
#include "host/component_settings.h"
#include "host/system.h"

namespace vornix::host {

namespace {

// pump() sleeps until a device's callback rings the doorbell (a whole frame
// is in its ring, or its stream ended), and at most this long: the stop
// flag, the overrun report and a device that went silent are looked at
// after it.
constexpr auto kLongestWait = std::chrono::microseconds(50'000);
constexpr auto kOverrunReportPeriod = std::chrono::seconds(1);
// The input latency asked of the devices: about one frame of the speech
// components (23.2 ms).
constexpr double kBlockSeconds = 0.023;
// A device that delivers nothing for this long is taken as gone.
constexpr auto kSilentLimit = std::chrono::seconds(3);

}  // namespace

// One opened device and the captures it feeds.
struct LiveCapture::Device {
  std::unique_ptr<CaptureStream> stream;
  std::uint32_t bufferSize = 0;
  std::vector<std::size_t> captures;              // indices into captures_
  std::vector<std::int16_t> interleaved;          // one block of all channels
  std::vector<std::vector<std::int16_t>> frames;  // per capture
  std::unique_ptr<Conditioner> conditioner;
  std::uint64_t frameCount = 0;
  std::uint64_t overrunsReported = 0;
  bool abandoned = false;  // the device went away: see keepUntilExit
};

bool readCaptureSettings(const SystemConfig& config, const ComponentConfig& component,
                         CaptureSettings& out, std::string& error) {
  CaptureSettings settings;
  settings.name = component.name;
  settings.line = component.line;
  std::int64_t channel = 0;
  std::int64_t buffer = 0;
  const ComponentSettings read(component, "capture");
  if (!read.text("Device", std::string("default"), settings.device, error) ||
      !read.text("Target", std::nullopt, settings.target, error) ||
      !read.integer("Channel", 1, 64, 1, channel, error) ||
      !read.integer("BufferSize", 2, 1 << 16, std::nullopt, buffer, error)) {
    return false;
  }
  const ComponentConfig* target = read.target(config, settings.target, error);
  if (target == nullptr) return false;
  settings.channel = static_cast<std::uint32_t>(channel);
  settings.bufferSize = static_cast<std::uint32_t>(buffer);
  settings.targetRate = ComponentSettings::integerOf(*target, "SamplingFrequency");
  out = std::move(settings);
  return true;
}

LiveCapture::LiveCapture(Key, std::vector<CaptureSettings> captures,
                         std::unique_ptr<CaptureDoorbell> doorbell,
                         std::vector<std::unique_ptr<Device>> devices)
    : captures_(std::move(captures)),
      doorbell_(std::move(doorbell)),
      devices_(std::move(devices)) {}

namespace {

// Streams given up on (CaptureStream::abandon) are neither closed nor freed:
// the audio system's thread may still hold one until the process ends.
void keepUntilExit(std::unique_ptr<CaptureStream> stream) {
  struct Kept {
    std::mutex mutex;
    std::vector<std::unique_ptr<CaptureStream>> streams;
    ~Kept() {
      for (auto& s : streams) static_cast<void>(s.release());
    }
  };
  static Kept kept;
  std::lock_guard<std::mutex> lock(kept.mutex);
  kept.streams.push_back(std::move(stream));
}

}  // namespace

LiveCapture::~LiveCapture() {
  bool abandoned = false;
  for (auto& device : devices_) {
    if (device->abandoned) {
      keepUntilExit(std::move(device->stream));
      abandoned = true;
    }
  }
  // A callback of a stream given up on may still hold the doorbell.
  if (abandoned) static_cast<void>(doorbell_.release());
}

std::unique_ptr<LiveCapture> LiveCapture::open(const SystemConfig& config,
                                               const ConditioningSettings& conditioning,
                                               std::string& error) {
  std::vector<CaptureSettings> captures;
  for (const ComponentConfig& component : config.components) {
    if (component.entry != kCaptureEntry) continue;
    CaptureSettings settings;
    if (!readCaptureSettings(config, component, settings, error)) return nullptr;
    captures.push_back(std::move(settings));
  }
  // Group by device, in order of first mention.
  std::vector<std::unique_ptr<Device>> devices;
  std::vector<std::string> names;
  for (std::size_t i = 0; i < captures.size(); ++i) {
    const auto found = std::find(names.begin(), names.end(), captures[i].device);
    if (found == names.end()) {
      names.push_back(captures[i].device);
      devices.push_back(std::make_unique<Device>());
      devices.back()->bufferSize = captures[i].bufferSize;
    }
    Device& device = *devices[static_cast<std::size_t>(
        std::find(names.begin(), names.end(), captures[i].device) - names.begin())];
    if (captures[i].bufferSize != device.bufferSize) {
      error = "captures '" + captures[device.captures.front()].name + "' and '" + captures[i].name +
              "' record from one device but take frames of " + std::to_string(device.bufferSize) +
              " and " + std::to_string(captures[i].bufferSize) + " samples";
      return nullptr;
    }
    device.captures.push_back(i);
  }
  std::unique_ptr<CaptureDoorbell> doorbell;
  try {
    doorbell = std::make_unique<CaptureDoorbell>();
  } catch (const std::system_error& e) {
    error = std::string("live capture cannot wait for audio: ") + e.what();
    return nullptr;
  }
  for (std::size_t d = 0; d < devices.size(); ++d) {
    Device& device = *devices[d];
    CaptureRequest request;
    request.device = names[d];
    // Blocks of the audio system's own size arrive most evenly (a block size
    // forced on a sound server comes in bursts), so frames enter on time.
    request.framesPerBlock = 0;
    // Blocks of about a frame: smaller ones only wake the callback thread
    // more often (a quarter of a core through a sound server's plug-in at
    // its lowest latency).
    request.latencySeconds = kBlockSeconds;
    for (std::size_t c : device.captures) {
      request.channels = std::max(request.channels, static_cast<int>(captures[c].channel));
      if (captures[c].targetRate) {
        const auto wanted = static_cast<std::uint32_t>(*captures[c].targetRate);
        if (request.rate != 0 && request.rate != wanted) {
          error = "captures of device '" + names[d] +
                  "' feed components of different SamplingFrequency";
          return nullptr;
        }
        request.rate = wanted;
      }
    }
    device.stream = openCaptureStream(request, error);
    if (!device.stream) return nullptr;
    const auto channels = static_cast<std::size_t>(device.stream->channels());
    device.interleaved.resize(channels * device.bufferSize);
    device.frames.assign(device.captures.size(), std::vector<std::int16_t>(device.bufferSize));
    device.conditioner = std::make_unique<Conditioner>(
        device.captures.size(), device.stream->rate(), device.bufferSize, conditioning);
  }
  return std::make_unique<LiveCapture>(Key{}, std::move(captures), std::move(doorbell),
                                       std::move(devices));
}

std::uint32_t LiveCapture::rate(std::size_t index) const {
  for (const auto& device : devices_) {
    if (std::find(device->captures.begin(), device->captures.end(), index) !=
        device->captures.end()) {
      return device->stream->rate();
    }
  }
  return 0;
}

std::uint64_t LiveCapture::overruns() const {
  std::uint64_t total = 0;
  for (const auto& device : devices_) total += device->stream->overruns();
  return total;
}

bool LiveCapture::pump(System& system, const std::atomic<bool>& stop, const Tap& tap,
                       std::FILE* log, std::string& error) {
  using Clock = std::chrono::steady_clock;
  const MessageType frameType = system.type("Audio.Frame");
  std::vector<std::uint32_t> targets;
  for (const CaptureSettings& capture : captures_) {
    targets.push_back(system.componentId(capture.target));
  }
  // Audio captured before the system ran is not part of the run. (The
  // doorbell is set first, so no frame completed meanwhile goes unrung.)
  for (auto& device : devices_) {
    device->stream->setDoorbell(doorbell_.get(), device->interleaved.size());
    SampleRing& ring = device->stream->ring();
    const std::size_t channels = static_cast<std::size_t>(device->stream->channels());
    for (std::size_t stale = ring.available() / channels * channels; stale != 0;) {
      const std::size_t n = ring.read(std::span<std::int16_t>(device->interleaved)
                                          .first(std::min(stale, device->interleaved.size())));
      stale -= n;
    }
  }
  std::vector<std::uint32_t> captureIds;
  for (const CaptureSettings& capture : captures_) {
    captureIds.push_back(system.componentId(capture.name));
  }
  // New overruns: said on `log` with the count and added to every capture
  // of the device in the component section (a block dropped is lost to all
  // its channels), so `loquant inspect` shows them.
  const auto reportOverruns = [&] {
    for (auto& device : devices_) {
      const std::uint64_t total = device->stream->overruns();
      if (total == device->overrunsReported) continue;
      const std::uint64_t fresh = total - device->overrunsReported;
      if (log != nullptr) {
        std::fprintf(log,
                     "loquant: capture device '%s': %llu overrun(s) in the last second, audio "
                     "dropped (%llu in all)\n",
                     device->stream->deviceName().c_str(), static_cast<unsigned long long>(fresh),
                     static_cast<unsigned long long>(total));
      }
      for (std::size_t c : device->captures) {
        static_cast<void>(system.addSourceLoss(captureIds[c], fresh));
      }
      device->overrunsReported = total;
    }
  };
  Clock::time_point nextReport = Clock::now() + kOverrunReportPeriod;
  std::vector<Clock::time_point> lastHeard(devices_.size(), Clock::now());
  std::vector<std::span<std::int16_t>> spans;
  while (!stop.load()) {
    for (std::size_t d = 0; d < devices_.size(); ++d) {
      Device& device = *devices_[d];
      SampleRing& ring = device.stream->ring();
      if (ring.available() != 0) lastHeard[d] = Clock::now();
      while (ring.available() >= device.interleaved.size()) {
        ring.read(device.interleaved);
        const auto channels = static_cast<std::size_t>(device.stream->channels());
        spans.clear();
        for (std::size_t k = 0; k < device.captures.size(); ++k) {
          const std::size_t c = device.captures[k];
          const std::size_t channel = captures_[c].channel - 1U;
          std::vector<std::int16_t>& frame = device.frames[k];
          for (std::size_t i = 0; i < device.bufferSize; ++i) {
            frame[i] = device.interleaved[i * channels + channel];
          }
          if (tap) tap(c, device.frameCount, frame);
          spans.emplace_back(frame);
        }
        device.conditioner->process(spans);
        for (std::size_t k = 0; k < device.captures.size(); ++k) {
          system.inject(frameMessage(device.frames[k], frameType, targets[device.captures[k]]));
        }
        ++device.frameCount;
        lastHeard[d] = Clock::now();
      }
      // A stream that ended, or one that has delivered nothing (not even
      // silence) for a long while: the audio system may keep retrying a
      // device that is gone without ever ending the stream.
      if ((device.stream->failed() || Clock::now() - lastHeard[d] > kSilentLimit) && !stop.load()) {
        error = "capture device '" + device.stream->deviceName() +
                "' stopped delivering audio (unplugged?)";
        device.stream->setDoorbell(nullptr, 0);
        device.stream->abandon();
        device.abandoned = true;
        return false;
      }
    }
    if (Clock::now() >= nextReport) {
      nextReport += kOverrunReportPeriod;
      reportOverruns();
    }
    // A frame completed since the loop above looked has rung already, so
    // this returns at once.
    static_cast<void>(doorbell_->wait(kLongestWait));
  }
  reportOverruns();
  return true;
}

}  // namespace vornix::host
