#include "host/audio_source.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <utility>

#include "host/component_settings.h"
#include "host/system.h"
#include "soundfile/sound_file.h"
#include "util/bytes.h"

namespace vornix::host {

namespace {

// The last report of the sound-file routines, kept for the error message of
// open(). Opens are rare; one lock keeps concurrent ones apart.
std::mutex& reportMutex() {
  static std::mutex mutex;
  return mutex;
}
std::string& lastReport() {
  static std::string report;
  return report;
}
void keepReport(const char* text) {
  std::string& report = lastReport();
  report = text != nullptr ? text : "";
  while (!report.empty() && (report.back() == '\n' || report.back() == '\r')) report.pop_back();
}

}  // namespace

std::uint64_t declaredSampleFrames(const std::filesystem::path& path, const SoundFormat& format) {
  std::ifstream in(path, std::ios::binary);
  char magic[4] = {};
  if (!in.read(magic, sizeof magic) || format.frames <= 0 || format.channels <= 0) return 0;
  const auto frames = static_cast<std::uint64_t>(format.frames);
  const bool wave = std::memcmp(magic, "RIFF", 4) == 0;
  return wave ? frames / static_cast<std::uint64_t>(format.channels) : frames;
}

bool readAudioSourceSettings(const SystemConfig& config, const ComponentConfig& component,
                             AudioSourceSettings& out, std::string& error) {
  AudioSourceSettings settings;
  settings.name = component.name;
  settings.line = component.line;
  std::int64_t channel = 0;
  std::int64_t buffer = 0;
  const ComponentSettings read(component, "source");
  if (!read.text("File", std::nullopt, settings.file, error) ||
      !read.text("Target", std::nullopt, settings.target, error) ||
      !read.integer("Channel", 1, 127, 1, channel, error) ||
      !read.integer("BufferSize", 2, kMaximumBufferSize, std::nullopt, buffer, error)) {
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

std::unique_ptr<AudioSource> AudioSource::open(const AudioSourceSettings& settings,
                                               std::string& error) {
  std::error_code ec;
  if (!std::filesystem::exists(settings.file, ec)) {
    error = settings.file + ": no such file";
    return nullptr;
  }
  if (!std::filesystem::is_regular_file(settings.file, ec)) {
    error = settings.file + ": not a regular file";
    return nullptr;
  }
  std::optional<SampleReader> reader;
  std::string why;
  {
    std::lock_guard<std::mutex> lock(reportMutex());
    lastReport().clear();
    const SoundFileErrorCallback previous = setSoundFileErrorCallback(keepReport);
    reader = SampleReader::open(settings.file);
    setSoundFileErrorCallback(previous);
    why = lastReport();
  }
  if (!reader) {
    error = settings.file + ": " + (why.empty() ? "not a WAV or AIFF recording" : why);
    return nullptr;
  }
  if (reader->format().rate <= 0) {
    error = settings.file + ": no usable sampling rate";
    return nullptr;
  }
  if (settings.channel < 1 || settings.channel > static_cast<std::uint32_t>(reader->channels())) {
    error = settings.file + ": has " + std::to_string(reader->channels()) + " channel" +
            (reader->channels() == 1 ? "" : "s") + ", source '" + settings.name +
            "' asks for channel " + std::to_string(settings.channel);
    return nullptr;
  }
  if (settings.bufferSize < 2 || settings.bufferSize > kMaximumBufferSize) {
    error = "source '" + settings.name + "': BufferSize out of range";
    return nullptr;
  }
  // A component told another rate would analyse every frame at the wrong
  // time scale and say nothing: refused before anything runs.
  if (settings.targetRate && *settings.targetRate != reader->format().rate) {
    error = settings.file + ": sampled at " + std::to_string(reader->format().rate) +
            " Hz, but source '" + settings.name + "' plays into '" + settings.target +
            "', whose SamplingFrequency is " + std::to_string(*settings.targetRate);
    return nullptr;
  }
  return std::make_unique<AudioSource>(Key{}, settings, std::move(*reader));
}

AudioSource::AudioSource(Key, AudioSourceSettings settings, SampleReader reader)
    : settings_(std::move(settings)),
      reader_(std::move(reader)),
      rate_(static_cast<std::uint32_t>(reader_.format().rate)),
      channels_(static_cast<std::size_t>(reader_.channels()),
                std::vector<std::int16_t>(settings_.bufferSize)),
      samples_(settings_.bufferSize),
      declared_(declaredSampleFrames(settings_.file, reader_.format())) {}

Micros frameOffsetOf(std::uint64_t k, std::uint32_t frameSamples, std::uint32_t rate) noexcept {
  // k × frameSamples fits in 64 bits; split the product by the rate so that
  // × 10^6 cannot overflow either.
  const std::uint64_t samples = k * frameSamples;
  const std::uint64_t whole = samples / rate;
  const std::uint64_t rest = samples % rate;
  return whole * 1'000'000ULL + rest * 1'000'000ULL / rate;
}

Micros AudioSource::frameOffset(std::uint64_t k) const noexcept {
  return frameOffsetOf(k, settings_.bufferSize, rate_);
}

bool AudioSource::nextSamples(std::span<std::int16_t> frame) {
  if (ended_ || frame.size() != settings_.bufferSize) return false;
  std::vector<std::span<std::int16_t>> spans;
  spans.reserve(channels_.size());
  for (auto& channel : channels_) {
    std::fill(channel.begin(), channel.end(), std::int16_t{0});
    spans.emplace_back(channel);
  }
  const std::size_t got = reader_.read(spans);
  if (got == 0) {
    // The previous frame was the last one (or the recording is empty).
    ended_ = true;
    return false;
  }
  const std::vector<std::int16_t>& mine = channels_[settings_.channel - 1U];
  std::copy(mine.begin(), mine.end(), frame.begin());  // zeros past `got`
  ++frames_;
  read_ += got;
  if (got < frame.size() || reader_.atEnd()) ended_ = true;
  return true;
}

std::unique_ptr<DataMessage> AudioSource::nextFrame(const MessageType& frameType,
                                                    std::uint32_t targetId) {
  if (!nextSamples(samples_)) return nullptr;
  return frameMessage(samples_, frameType, targetId);
}

std::unique_ptr<DataMessage> frameMessage(std::span<const std::int16_t> samples,
                                          const MessageType& frameType, std::uint32_t targetId) {
  auto message = std::make_unique<DataMessage>();
  message->setType(frameType);
  message->setToId(targetId);
  if constexpr (std::endian::native == std::endian::little) {
    // The samples in memory are already the record's little-endian bytes.
    const auto raw = std::as_bytes(samples);
    message->setData("AudioDataFrame",
                     {reinterpret_cast<const std::uint8_t*>(raw.data()), raw.size()});
  } else {
    std::vector<std::uint8_t> data(2 * samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
      bytes::storeAt<std::uint16_t>(data.data() + 2 * i, static_cast<std::uint16_t>(samples[i]));
    }
    message->setData("AudioDataFrame", data);
  }
  return message;
}

bool playRealTime(System& system, std::span<const std::unique_ptr<AudioSource>> sources,
                  const std::atomic<bool>& stop,
                  const std::function<void(const AudioSource&)>& onEnd) {
  using Clock = std::chrono::steady_clock;
  const MessageType frameType = system.type("Audio.Frame");
  std::vector<std::uint32_t> targets;
  std::vector<bool> announced(sources.size(), false);
  for (const auto& source : sources)
    targets.push_back(system.componentId(source->settings().target));
  const Clock::time_point start = Clock::now();
  // A wake-up at least this often notices a stop request.
  constexpr auto kLongestSleep = std::chrono::milliseconds(20);
  for (;;) {
    // The source whose next frame is due first.
    std::size_t next = sources.size();
    for (std::size_t i = 0; i < sources.size(); ++i) {
      if (sources[i]->ended()) {
        if (!announced[i]) {
          announced[i] = true;
          if (onEnd) onEnd(*sources[i]);
        }
        continue;
      }
      if (next == sources.size() || sources[i]->frameOffset(sources[i]->frames()) <
                                        sources[next]->frameOffset(sources[next]->frames())) {
        next = i;
      }
    }
    if (next == sources.size()) return true;
    AudioSource& source = *sources[next];
    const Clock::time_point due =
        start + std::chrono::microseconds(source.frameOffset(source.frames()));
    while (Clock::now() < due) {
      if (stop.load()) return false;
      std::this_thread::sleep_until(std::min(due, Clock::now() + kLongestSleep));
    }
    if (stop.load()) return false;
    std::unique_ptr<DataMessage> frame = source.nextFrame(frameType, targets[next]);
    if (frame) system.inject(std::move(frame));
  }
}

}  // namespace vornix::host
