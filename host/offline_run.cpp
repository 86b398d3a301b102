#include "host/offline_run.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <deque>
#include <limits>
#include <memory>
#include <set>

#include "host/audio_source.h"
#include "host/conditioning_resample.h"
#include "host/wiring.h"
#include "util/format.h"

namespace vornix::host {

namespace {

constexpr std::int64_t kLongestTailMs = 60'000;
// A look for objects planted under the instance's names lists the whole
// shared-memory folder, whose length is not ours to bound: it is taken at
// the first step and then at most once per interval of working time, so its
// cost does not grow with the recording (the clock is read every
// kForeignClockSteps steps).
constexpr std::uint64_t kForeignClockSteps = 64;
constexpr std::chrono::milliseconds kForeignLookInterval{500};

std::int64_t integerParameter(const ComponentConfig& c, const char* name) {
  for (const ParameterSpec& p : c.parameters) {
    if (p.name != name) continue;
    if (const auto* v = std::get_if<std::int64_t>(&p.value)) return *v;
  }
  return 0;
}

// Long enough for the sources' targets to post "SpeechOff" and then
// "SpeechPause" after the last utterance.
std::uint32_t defaultTailMs(const SystemConfig& config,
                            const std::vector<std::unique_ptr<AudioSource>>& sources) {
  std::int64_t tail = 0;
  for (const auto& source : sources) {
    for (const ComponentConfig& c : config.components) {
      if (c.name != source->settings().target) continue;
      tail = std::max(tail, integerParameter(c, "SegmentIntervalThreshold") +
                                integerParameter(c, "PauseThreshold"));
    }
  }
  return static_cast<std::uint32_t>(std::clamp<std::int64_t>(tail, 0, kLongestTailMs) + 100);
}

// Sets integer parameter `name` of `c` to `value`, adding it when missing.
void setInteger(ComponentConfig& c, const char* name, std::int64_t value) {
  for (ParameterSpec& p : c.parameters) {
    if (p.name == name) {
      p.value = value;
      return;
    }
  }
  c.parameters.push_back(ParameterSpec{name, value});
}

// `config` with the sources' targets told that they are fed at rate·factor
// in frames of buffer·factor samples, so that their frames last as long as
// before.
SystemConfig upsampledConfig(const SystemConfig& config,
                             const std::vector<std::unique_ptr<AudioSource>>& sources,
                             std::uint32_t rate, std::uint32_t buffer, std::uint32_t factor) {
  SystemConfig fed = config;
  for (ComponentConfig& c : fed.components) {
    const bool target = std::any_of(sources.begin(), sources.end(), [&c](const auto& source) {
      return source->settings().target == c.name;
    });
    if (!target) continue;
    setInteger(c, "SamplingFrequency", std::int64_t{rate} * factor);
    setInteger(c, "BufferSize", std::int64_t{buffer} * factor);
  }
  return fed;
}

// The place of a sender in a step's order: configuration order, the host's
// own messages (and unknown senders) last.
std::uint32_t senderRank(const SinkRecord& record, std::size_t components) {
  const std::uint32_t from = record.message.fromId();
  return from >= 1 && from <= components ? from : std::numeric_limits<std::uint32_t>::max();
}

}  // namespace

OfflineRunResult runOffline(const SystemConfig& config, const OfflineRunOptions& options,
                            const std::function<void(SinkRecord&&)>& onRecord) {
  OfflineRunResult result;
  const auto fail = [&result](std::string line) {
    result.errors.push_back(std::move(line));
    return result;
  };

  // The sources, in configuration order; all on one step grid.
  std::vector<std::unique_ptr<AudioSource>> sources;
  for (const ComponentConfig& c : config.components) {
    if (builtInKind(c.entry) != BuiltIn::source) continue;
    AudioSourceSettings settings;
    std::string error;
    if (!readAudioSourceSettings(config, c, settings, error)) return fail(error);
    std::unique_ptr<AudioSource> source = AudioSource::open(settings, error);
    if (!source) return fail(error);
    sources.push_back(std::move(source));
  }
  if (sources.empty()) return fail("the system has no source component to play");
  const AudioSource& first = *sources.front();
  for (const auto& source : sources) {
    if (source->rate() != first.rate()) {
      return fail(formatString("%s: sampled at %u Hz, but %s at %u Hz",
                               source->settings().file.c_str(), source->rate(),
                               first.settings().file.c_str(), first.rate()));
    }
    if (source->settings().bufferSize != first.settings().bufferSize) {
      return fail(formatString("source '%s' takes frames of %u samples, but source '%s' of %u",
                               source->settings().name.c_str(), source->settings().bufferSize,
                               first.settings().name.c_str(), first.settings().bufferSize));
    }
  }
  const std::uint32_t rate = first.rate();
  const std::uint32_t buffer = first.settings().bufferSize;
  result.rate = rate;
  result.frameSamples = buffer;

  // With conditioning on, a low-rate recording reaches the components
  // upsampled (host/conditioning_resample.h); off, they get it as it is.
  const std::uint32_t factor =
      options.conditioning.enabled
          ? upsamplingFactor(
                rate, static_cast<std::uint32_t>(std::min(options.conditioning.resampleHz, 4.0e9)))
          : 1U;
  std::optional<SystemConfig> upsampled;
  if (factor > 1) upsampled = upsampledConfig(config, sources, rate, buffer, factor);

  SystemOptions systemOptions = options.system;
  systemOptions.simulatedClock = true;
  systemOptions.clockStart = options.origin;
  std::string error;
  std::unique_ptr<System> system =
      System::create(upsampled ? *upsampled : config, systemOptions, error);
  if (!system) return fail(error);
  if (!system->missing().empty()) return fail("a component's entry point is missing");

  // Records are held until their step has settled, then ordered by sender.
  const std::size_t componentCount = config.components.size();
  std::vector<SinkRecord> step;
  system->onSink([&step](SinkRecord&& record) { step.push_back(std::move(record)); });
  const auto flush = [&] {
    std::stable_sort(step.begin(), step.end(), [&](const SinkRecord& a, const SinkRecord& b) {
      return senderRank(a, componentCount) < senderRank(b, componentCount);
    });
    for (SinkRecord& record : step) onRecord(std::move(record));
    step.clear();
  };
  system->start();

  const MessageType frameType = system->type("Audio.Frame");
  std::vector<std::uint32_t> targets;
  for (const auto& source : sources)
    targets.push_back(system->componentId(source->settings().target));
  std::vector<std::vector<std::int16_t>> frames(sources.size(), std::vector<std::int16_t>(buffer));
  const std::vector<std::span<std::int16_t>> spans(frames.begin(), frames.end());
  Conditioner conditioner(sources.size(), rate, buffer, options.conditioning);
  // The frames the components get: the conditioned ones, or their upsampled
  // copies, which the resampler gives a step or two later.
  std::unique_ptr<FrameUpsampler> upsampler;
  // Per step not yet fed, per channel, whether the conditioner passed it.
  std::deque<std::vector<char>> passed;
  std::vector<std::vector<std::int16_t>> fedFrames;
  std::vector<std::span<std::int16_t>> fedSpans = spans;
  if (factor > 1) {
    upsampler = std::make_unique<FrameUpsampler>(sources.size(), rate, factor, buffer);
    fedFrames.assign(sources.size(), std::vector<std::int16_t>(std::size_t{buffer} * factor));
    fedSpans.assign(fedFrames.begin(), fedFrames.end());
  }

  // One reader per recording: a source whose file an earlier source reads
  // takes its channel from that source's frame.
  std::vector<std::size_t> readerOf(sources.size());
  for (std::size_t s = 0; s < sources.size(); ++s) {
    readerOf[s] = s;
    for (std::size_t r = 0; r < s; ++r) {
      if (sources[r]->settings().file == sources[s]->settings().file) {
        readerOf[s] = r;
        break;
      }
    }
  }
  std::vector<bool> gotFrame(sources.size(), false);
  std::uint64_t longest = 0;
  for (const auto& source : sources) longest = std::max(longest, source->declaredFrames());
  const std::uint32_t tailMs = options.tailMs.value_or(defaultTailMs(config, sources));
  const std::uint64_t tailSteps = std::uint64_t{tailMs} * rate / 1000U / buffer + 1U;
  std::uint64_t silentSteps = 0;
  bool ok = true;
  std::chrono::steady_clock::time_point lastForeignLook{};
  const auto intact = [&](std::uint64_t k) {
    if (const std::uint64_t lost = system->lostMessages(); lost != 0) {
      result.errors.push_back(formatString(
          "the analysis stopped at frame %llu: %llu posted message%s could not be stored or "
          "queued (a temporal store at its maximum size, or an object under the instance's "
          "names that is not ours); the results would be incomplete",
          static_cast<unsigned long long>(k), static_cast<unsigned long long>(lost),
          lost == 1 ? "" : "s"));
      return false;
    }
    if (k % kForeignClockSteps != 0) return true;
    const auto now = std::chrono::steady_clock::now();
    if (k != 0 && now - lastForeignLook < kForeignLookInterval) return true;
    lastForeignLook = now;
    if (std::string foreign = system->foreignObject(); !foreign.empty()) {
      result.errors.push_back(formatString("the analysis stopped at frame %llu: %s",
                                           static_cast<unsigned long long>(k), foreign.c_str()));
      return false;
    }
    return true;
  };
  // Reads the next step's frames as recorded; false when no source had
  // samples left (the frames are then silence).
  const auto readFrames = [&] {
    bool anySamples = false;
    for (std::size_t s = 0; s < sources.size(); ++s) {
      const std::size_t reader = readerOf[s];
      if (reader == s) {
        gotFrame[s] = sources[s]->nextSamples(frames[s]);
      } else if (gotFrame[reader]) {
        const std::span<const std::int16_t> frame =
            sources[reader]->channelFrame(sources[s]->settings().channel);
        std::copy(frame.begin(), frame.end(), frames[s].begin());
      }
      if (!gotFrame[reader]) std::fill(frames[s].begin(), frames[s].end(), std::int16_t{0});
      anySamples = anySamples || gotFrame[reader];
    }
    return anySamples;
  };
  // The conditioner looks ahead: it learns the recording's noise and speech
  // levels from its first seconds, then conditions them from the start with
  // what it learned. The steps it looked at are kept to be read again.
  std::deque<std::vector<std::vector<std::int16_t>>> lookedAt;
  if (options.conditioning.enabled && options.conditioning.lookAheadSeconds > 0.0) {
    const auto steps = static_cast<std::uint64_t>(
        std::ceil(options.conditioning.lookAheadSeconds * rate / buffer - 1e-9));
    for (std::uint64_t k = 0; k < steps && readFrames(); ++k) {
      lookedAt.push_back(frames);
      conditioner.process(spans);
    }
    conditioner.startOver();
  }
  // Reads, conditions and (when upsampling) hands the resampler one step.
  std::uint64_t stepsRead = 0;
  const auto readStep = [&] {
    bool anySamples = true;
    if (!lookedAt.empty()) {
      for (std::size_t s = 0; s < sources.size(); ++s) {
        std::copy(lookedAt.front()[s].begin(), lookedAt.front()[s].end(), frames[s].begin());
      }
      lookedAt.pop_front();
    } else {
      anySamples = readFrames();
    }
    if (!anySamples) ++silentSteps;
    conditioner.process(spans);
    if (upsampler) {
      upsampler->push(spans);
      std::vector<char>& decisions = passed.emplace_back(sources.size());
      for (std::size_t s = 0; s < sources.size(); ++s) decisions[s] = conditioner.passed(s) ? 1 : 0;
    }
    if (anySamples) {
      result.durationMs = static_cast<double>((stepsRead + 1) * buffer) * 1000.0 / rate;
    }
    ++stepsRead;
  };
  // Step k is the k-th step the components get; as many as are read.
  for (std::uint64_t k = 0; k < stepsRead || silentSteps < tailSteps; ++k) {
    if (options.stop != nullptr && options.stop->load()) {
      result.stopped = true;
      ok = false;
      break;
    }
    if (k >= stepsRead) readStep();
    if (upsampler) {
      // The resampler looks ahead: after the last step read it is given
      // silence, which the tail is anyway.
      while (!upsampler->ready()) {
        if (silentSteps < tailSteps) {
          readStep();
        } else {
          for (std::vector<std::int16_t>& frame : frames) std::fill(frame.begin(), frame.end(), 0);
          upsampler->push(spans);
          passed.emplace_back(sources.size(), char{0});
        }
      }
      upsampler->pop(fedSpans);
      // A frame the conditioner silenced stays silence: upsampled, noise
      // just under the components' gate can swing over it (the peaks
      // between the recorded samples).
      for (std::size_t s = 0; s < sources.size(); ++s) {
        if (passed.front()[s] == 0) conditioner.silence(fedSpans[s]);
      }
      passed.pop_front();
    }
    system->advanceTo(options.origin + first.frameOffset(k));
    // Every source's frame k goes in before the system settles.
    for (std::size_t s = 0; s < sources.size(); ++s) {
      system->inject(frameMessage(fedSpans[s], frameType, targets[s]));
    }
    const bool settled = system->settle();
    flush();
    if (!settled) {
      result.errors.push_back(
          formatString("the analysis stopped at frame %llu: a component failed (see above)",
                       static_cast<unsigned long long>(k)));
      ok = false;
      break;
    }
    if (!intact(k)) {
      ok = false;
      break;
    }
    if (options.progress) options.progress(k + 1, longest / buffer + tailSteps);
  }
  system->stop();
  flush();
  // What the components posted on their way out counts too.
  if (ok && !intact(0)) ok = false;

  std::set<std::string> reported;
  for (std::size_t s = 0; s < sources.size(); ++s) {
    // What was read is known to the source that read the file.
    const AudioSource& source = *sources[readerOf[s]];
    SourceOutcome outcome;
    outcome.settings = sources[s]->settings();
    outcome.declaredFrames = source.declaredFrames();
    outcome.framesRead = source.framesRead();
    outcome.failed = source.failed();
    outcome.levels = conditioner.levels(s);
    result.sources.push_back(outcome);
    // One line per recording, however many of its channels are sources.
    const std::string& file = source.settings().file;
    if (!reported.insert(file).second) continue;
    if (source.failed()) {
      result.errors.push_back(file + ": read error in the sample data");
    } else if (ok && source.framesRead() < source.declaredFrames()) {
      // A cut-short file: analysing what is there would pass for a whole run.
      // (A run stopped early has read only part of every file.)
      result.errors.push_back(formatString(
          "%s: truncated: the data ends after %llu of the %llu sample frames the header declares",
          file.c_str(), static_cast<unsigned long long>(source.framesRead()),
          static_cast<unsigned long long>(source.declaredFrames())));
    }
  }
  result.ok = ok && result.errors.empty();
  return result;
}

}  // namespace vornix::host
