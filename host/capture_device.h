// Capture devices: the seam between the host and the system's audio input.
// One implementation per platform library (capture_portaudio.cpp reaches
// ALSA, PulseAudio/PipeWire and JACK on Linux); the build adds exactly one.
//
// A CaptureStream records interleaved 16-bit samples of `channels` channels
// at `rate` into a SampleRing. The audio callback never blocks, allocates or
// locks: a block that does not fit the ring (the reader too slow) is dropped
// and counted as an overrun, as is a block the audio system itself reports
// lost. It can wake the reader through a CaptureDoorbell once enough is in
// the ring, so the reader neither polls nor oversleeps a complete frame.
//
// Thread safety: listCaptureDevices and openCaptureStream may be called from
// any thread, not concurrently. A stream's ring has the audio callback as its
// producer and one reader thread as its consumer; overruns() and failed()
// may be read from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/capture_doorbell.h"
#include "host/sample_ring.h"

namespace vornix::host {

struct CaptureDeviceInfo {
  std::string name;
  std::string api;           // the audio system it belongs to ("ALSA", "JACK", ...)
  int channels = 0;          // input channels
  double defaultRate = 0.0;  // Hz
  bool isDefault = false;    // the system's default input
};

// Every device with at least one input channel. False with the reason in
// `error` when the audio system cannot be reached at all.
[[nodiscard]] bool listCaptureDevices(std::vector<CaptureDeviceInfo>& out, std::string& error);

// The device a request's `device` text names ("default", an exact name, or
// the one device whose name contains it). False with one line in `error`
// when there is none or several.
[[nodiscard]] bool findCaptureDevice(const std::string& device, CaptureDeviceInfo& out,
                                     std::string& error);

struct CaptureRequest {
  std::string device = "default";  // a device name, a unique part of one, or "default"
  int channels = 1;
  std::uint32_t rate = 0;            // 0: the device's default rate
  std::uint32_t framesPerBlock = 0;  // per callback; 0 lets the system choose
  // The input latency to ask for, in seconds; 0: the device's lowest. A
  // latency far below a frame only costs wake-ups.
  double latencySeconds = 0.0;
  // Seconds of audio the ring holds before blocks are dropped.
  double ringSeconds = 2.0;
};

class CaptureStream {
 public:
  virtual ~CaptureStream() = default;  // stops and closes the stream
  CaptureStream() = default;
  CaptureStream(const CaptureStream&) = delete;
  CaptureStream& operator=(const CaptureStream&) = delete;

  virtual const std::string& deviceName() const noexcept = 0;
  virtual int channels() const noexcept = 0;
  virtual std::uint32_t rate() const noexcept = 0;
  // Interleaved samples, channel order within each sample frame.
  virtual SampleRing& ring() noexcept = 0;
  // Blocks dropped so far (ring full, or lost by the audio system).
  virtual std::uint64_t overruns() const noexcept = 0;
  // True once the stream has stopped on its own (device gone).
  virtual bool failed() const noexcept = 0;
  // From now on the audio callback rings `doorbell` after every block that
  // leaves at least `samples` samples in the ring, and once when the stream
  // ends; null stops it. The doorbell must outlive the stream, or be
  // replaced by null while the stream can still run.
  virtual void setDoorbell(const CaptureDoorbell* doorbell, std::size_t samples) noexcept = 0;
  // Gives up a stream whose device is gone: it is then neither stopped nor
  // closed, since the audio system's thread for it may retry for ever and a
  // stop would wait for it. For a process about to end.
  virtual void abandon() noexcept = 0;
};

// Whether the device `device` names takes `channels` channels of 16-bit
// samples at `rate` Hz. A sound server converts nearly any rate; a hardware
// device may take only its own. False too when there is no such device.
bool captureRateAccepted(const std::string& device, int channels, std::uint32_t rate);

// Opens and starts a stream. Null with one line in `error` when the device
// does not exist, lacks the channels, refuses the rate, or cannot start.
[[nodiscard]] std::unique_ptr<CaptureStream> openCaptureStream(const CaptureRequest& request,
                                                               std::string& error);

}  // namespace vornix::host
