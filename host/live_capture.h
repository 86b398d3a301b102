// Live capture: the host's built-in "capture" components, recording from
// capture devices and feeding a running (real-time) System.
//
// A configuration declares a capture as a component with entry "capture"
// and the parameters "Device" (text, a device name, a unique part of one, or
// "default"; default "default"), "Channel" (integer, 1-based, default 1),
// "Target" (text, the component its frames go to) and "BufferSize"
// (integer, samples per frame). The device records at the target's
// "SamplingFrequency" when the target sets one (a device that refuses that
// rate is an error: nothing is resampled), else at the device's own default
// rate. Captures naming the same device share one stream of as many channels
// as the highest Channel among them; they must take the same BufferSize.
//
// Frames leave the audio callback through a lock-free ring (host/sample_ring.h)
// and are read, conditioned (host/conditioning.h, per device, the device's
// channels together) and injected by pump() on the controlling thread, as
// audio-frame messages like the file source's. The callback rings a doorbell
// (host/capture_doorbell.h) once a whole frame is in the ring, so pump()
// sleeps until then and takes the frame at once. Overruns (blocks the audio
// system or a full ring lost) are counted, logged at most once a second
// with the count, and added to the undelivered count of every capture of
// the device in the component section, which `loquant inspect` shows.
//
// Thread safety: open, pump and the accessors are called from the
// controlling thread; pump's tap runs on it too.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host/capture_device.h"
#include "host/capture_doorbell.h"
#include "host/conditioning.h"
#include "host/config.h"

namespace vornix::host {

class System;

// The entry name of a capture component in a configuration.
inline constexpr const char* kCaptureEntry = "capture";

struct CaptureSettings {
  std::string name;                // the component's name
  std::string device = "default";  // "Device"
  std::uint32_t channel = 1;       // "Channel", 1-based
  std::string target;              // "Target"
  std::uint32_t bufferSize = 0;    // "BufferSize"
  int line = 0;
  std::optional<std::int64_t> targetRate;  // the target's "SamplingFrequency"
};

// Reads the parameters of a capture component; false with the reason in
// `error` when one is missing, mistyped or out of range, or the target is
// not another component of `config`.
[[nodiscard]] bool readCaptureSettings(const SystemConfig& config, const ComponentConfig& component,
                                       CaptureSettings& out, std::string& error);

class LiveCapture {
 public:
  // Called for every frame captured, before conditioning: the capture's
  // index (configuration order among the captures), the frame's number and
  // its BufferSize samples as recorded.
  using Tap =
      std::function<void(std::size_t capture, std::uint64_t frame, std::span<const std::int16_t>)>;

  // Opens and starts a stream for every device the capture components of
  // `config` name. Null with one line in `error` when a component's
  // parameters are wrong, a device does not exist or refuses the rate or
  // channels, or captures of one device differ in BufferSize. A config
  // without capture components gives an empty (but valid) LiveCapture.
  [[nodiscard]] static std::unique_ptr<LiveCapture> open(const SystemConfig& config,
                                                         const ConditioningSettings& conditioning,
                                                         std::string& error);
  ~LiveCapture();
  LiveCapture(const LiveCapture&) = delete;
  LiveCapture& operator=(const LiveCapture&) = delete;

  const std::vector<CaptureSettings>& captures() const noexcept { return captures_; }
  // The rate of the stream that capture `index` records from.
  std::uint32_t rate(std::size_t index) const;
  // Overruns of every stream so far.
  std::uint64_t overruns() const;

  // Moves captured frames into `system` (started, real time) until `stop`
  // is set or a device stops on its own; audio the devices captured before
  // the call is discarded, so frame 0 is the first heard while the system
  // runs. Each frame is injected as soon as it is complete. True at a stop;
  // false with the reason in `error` when a device went away: its stream
  // ended, or it delivered nothing, not even silence, for 3 s (a slow tap
  // is not taken for it). Overrun lines go to `log` (null: nowhere); the
  // counts go to the captures' entries in `system`'s component section.
  bool pump(System& system, const std::atomic<bool>& stop, const Tap& tap, std::FILE* log,
            std::string& error);

  struct Device;
  class Key {
    friend class LiveCapture;
    Key() = default;
  };
  LiveCapture(Key, std::vector<CaptureSettings> captures, std::unique_ptr<CaptureDoorbell> doorbell,
              std::vector<std::unique_ptr<Device>> devices);

 private:
  std::vector<CaptureSettings> captures_;
  // Rung by every device's callback; outlives the streams (declared first).
  std::unique_ptr<CaptureDoorbell> doorbell_;
  std::vector<std::unique_ptr<Device>> devices_;
};

}  // namespace vornix::host
