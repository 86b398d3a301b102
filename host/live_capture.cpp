#include "host/live_capture.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>
#include <utility>

#include "host/audio_source.h"
#include "host/component_settings.h"
#include "host/system.h"

namespace vornix::host {

namespace {

// How long pump() sleeps when no frame is ready: until the samples a frame
// still lacks can have been recorded, within these bounds. Audio arrives no
// faster than it is recorded except after a hold-up of the audio system,
// so a frame leaves at most the longest sleep after it is complete, and the
// thread wakes a few times a frame rather than hundreds of times a second.
constexpr auto kShortestPoll = std::chrono::microseconds(1000);
constexpr auto kLongestPoll = std::chrono::microseconds(8000);
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
                         std::vector<std::unique_ptr<Device>> devices)
    : captures_(std::move(captures)), devices_(std::move(devices)) {}

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
  for (auto& device : devices_) {
    if (device->abandoned) keepUntilExit(std::move(device->stream));
  }
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
  return std::make_unique<LiveCapture>(Key{}, std::move(captures), std::move(devices));
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
  // Audio captured before the system ran is not part of the run.
  for (auto& device : devices_) {
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
    auto poll = kLongestPoll;
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
      // (The ring may have filled since the loop above looked.)
      const std::size_t lacking =
          device.interleaved.size() - std::min(ring.available(), device.interleaved.size());
      const auto due = std::chrono::microseconds(lacking * 1'000'000U /
                                                 (device.interleaved.size() / device.bufferSize) /
                                                 device.stream->rate());
      poll = std::min(poll, std::max(kShortestPoll, due));
      // A stream that ended, or one that has delivered nothing (not even
      // silence) for a long while: the audio system may keep retrying a
      // device that is gone without ever ending the stream.
      if ((device.stream->failed() || Clock::now() - lastHeard[d] > kSilentLimit) && !stop.load()) {
        error = "capture device '" + device.stream->deviceName() +
                "' stopped delivering audio (unplugged?)";
        device.stream->abandon();
        device.abandoned = true;
        return false;
      }
    }
    if (Clock::now() >= nextReport) {
      nextReport += kOverrunReportPeriod;
      reportOverruns();
    }
    std::this_thread::sleep_for(poll);
  }
  reportOverruns();
  return true;
}

}  // namespace vornix::host
