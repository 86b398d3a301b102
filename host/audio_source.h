// The host's built-in audio source: one channel of a WAV or AIFF file turned
// into audio-frame messages.
//
// A configuration declares a source as a component with entry "source" and
// the parameters "File" (text, the recording), "Channel" (integer, 1-based,
// default 1), "Target" (text, the component the frames are addressed to) and
// "BufferSize" (integer, samples per frame). Every frame is a message of type
// "Audio.Frame" holding BufferSize 16-bit little-endian samples in its data
// entry "AudioDataFrame", addressed (toId) to the target. The last, partial
// frame of the recording is padded with silence; after it the source has
// ended.
//
// Two ways to drive sources:
//   - stepped: nextFrame() gives frame after frame, and frameOffset(k) says at
//     which time after the start frame k belongs, so that a caller on the
//     simulated clock advances the clock and injects the frame itself;
//   - real time: playRealTime() injects the frames of several sources into a
//     running System, each at its wall-clock time after the start.
//
// Thread safety: an AudioSource is used by one thread at a time.
// playRealTime() runs on the calling (controlling) thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host/config.h"
#include "runtime/data_message.h"
#include "runtime/message_type.h"
#include "soundfile/sample_reader.h"
#include "util/clock.h"

namespace vornix::host {

class System;

// The entry name of a source component in a configuration.
inline constexpr const char* kSourceEntry = "source";
// Largest frame a source makes, in samples.
inline constexpr std::uint32_t kMaximumBufferSize = 1U << 20;

struct AudioSourceSettings {
  std::string name;              // the component's name
  std::string file;              // "File"
  std::uint32_t channel = 1;     // "Channel", 1-based
  std::string target;            // "Target"
  std::uint32_t bufferSize = 0;  // "BufferSize", 2 to kMaximumBufferSize
  int line = 0;                  // where the component was declared
  // The target's "SamplingFrequency" when it sets one: the rate its frames
  // are analysed at, which the recording must have.
  std::optional<std::int64_t> targetRate;
};

// Reads the parameters of a source component. False with the reason in
// `error` when one is missing, has the wrong type or is out of range, or
// when the target is not a component of `config`.
[[nodiscard]] bool readAudioSourceSettings(const SystemConfig& config,
                                           const ComponentConfig& component,
                                           AudioSourceSettings& out, std::string& error);

// Microseconds after the start of a stream at which frame k of `frameSamples`
// samples at `rate` Hz begins: floor(k × frameSamples × 10^6 / rate),
// computed without overflow for any k below 2^40 and frames up to 2^20
// samples. The offline drive stamps frame k with this offset after its
// origin, so a reader of the components' timestamps can find the frame.
Micros frameOffsetOf(std::uint64_t k, std::uint32_t frameSamples, std::uint32_t rate) noexcept;

class AudioSource {
 public:
  // Opens the recording and checks the channel. Null with the reason in
  // `error` ("<file>: <reason>") when the file cannot be read, is not a
  // usable WAV or AIFF file, or has no such channel.
  [[nodiscard]] static std::unique_ptr<AudioSource> open(const AudioSourceSettings& settings,
                                                         std::string& error);

  AudioSource(const AudioSource&) = delete;
  AudioSource& operator=(const AudioSource&) = delete;
  ~AudioSource() = default;

  const AudioSourceSettings& settings() const noexcept { return settings_; }
  std::uint32_t rate() const noexcept { return rate_; }
  // Frames handed out so far.
  std::uint64_t frames() const noexcept { return frames_; }
  // True once the last frame has been handed out.
  bool ended() const noexcept { return ended_; }
  // True when a read error, not the end of the data, ended the stream.
  bool failed() const noexcept { return reader_.failed(); }
  // True once the stream has ended before the sample frames its header
  // declares (a cut-short file).
  bool truncated() const noexcept { return ended_ && read_ < declared_; }
  // Sample frames the header declares, and those read so far.
  std::uint64_t declaredFrames() const noexcept { return declared_; }
  std::uint64_t framesRead() const noexcept { return read_; }

  // Microseconds after the start of the stream at which frame k begins:
  // frameOffsetOf(k, BufferSize, rate).
  Micros frameOffset(std::uint64_t k) const noexcept;

  // Fills `frame` (BufferSize samples) with the next frame, padding with
  // silence past the end of the recording. False, and nothing written, once
  // the source has ended.
  bool nextSamples(std::span<std::int16_t> frame);

  // After a nextSamples() that gave a frame: that frame of channel
  // `channel` (1-based) of the same recording, zeros past its end; empty for
  // a channel the recording lacks. Lets one reader serve every channel of a
  // file.
  std::span<const std::int16_t> channelFrame(std::uint32_t channel) const noexcept {
    if (channel == 0 || channel > channels_.size()) return {};
    return channels_[channel - 1U];
  }

  // The next frame as an audio-frame message of type `frameType` addressed
  // to `targetId`; null once the source has ended.
  std::unique_ptr<DataMessage> nextFrame(const MessageType& frameType, std::uint32_t targetId);

  class Key {
    friend class AudioSource;
    Key() = default;
  };
  AudioSource(Key, AudioSourceSettings settings, SampleReader reader);

 private:
  AudioSourceSettings settings_;
  SampleReader reader_;
  std::uint32_t rate_ = 0;
  std::vector<std::vector<std::int16_t>> channels_;  // scratch, one per file channel
  std::vector<std::int16_t> samples_;
  std::uint64_t frames_ = 0;
  std::uint64_t declared_ = 0;
  std::uint64_t read_ = 0;
  bool ended_ = false;
};

// An audio-frame message of type `frameType` addressed to `targetId`,
// holding `samples` as 16-bit little-endian values in "AudioDataFrame".
std::unique_ptr<DataMessage> frameMessage(std::span<const std::int16_t> samples,
                                          const MessageType& frameType, std::uint32_t targetId);

// The sample frames (one sample per channel each) that the header of the
// file at `path` declares, from the `format` its open routine gave: AIFF
// counts sample frames, WAVE samples over all channels. 0 when the file
// cannot be read.
std::uint64_t declaredSampleFrames(const std::filesystem::path& path, const SoundFormat& format);

// Injects the frames of `sources` into the running `system` (real-time
// clock), each frame at its wall-clock time after the call, until every
// source has ended or `stop` becomes true. `onEnd` is called once per source
// when its last frame has been injected. Returns false when `stop` ended the
// play early. A target missing from the system counts as id 0 (not
// addressed); readAudioSourceSettings has refused such a configuration.
bool playRealTime(System& system, std::span<const std::unique_ptr<AudioSource>> sources,
                  const std::atomic<bool>& stop,
                  const std::function<void(const AudioSource&)>& onEnd);

}  // namespace vornix::host
