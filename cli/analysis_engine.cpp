#include "analysis_engine.h"

#include <filesystem>
#include <map>
#include <optional>
#include <utility>

#include "analyze.h"
#include "default_system.h"
#include "host/audio_source.h"
#include "host/conditioning.h"
#include "host/config.h"
#include "host/offline_run.h"
#include "host/system.h"
#include "json_lines.h"
#include "pitch_entries.h"
#include "sound_report.h"
#include "soundfile/sample_reader.h"
#include "soundfile/sound_file.h"
#include "speech_onsets.h"

namespace loquant::cli {

namespace {

using vornix::DataMessage;
using vornix::Micros;
using vornix::host::SinkRecord;
using vornix::host::SystemConfig;

// Turns sink records into the JSON stream and the Conversation of the
// reports. A record's speaker is the source its sender serves, as the
// system's wiring says (SinkRecord::source): source n is speaker n + 1.
class Collector {
 public:
  using JsonLine = std::function<void(const std::string&)>;
  Collector(Conversation& conversation, const JsonLine* json, bool raw)
      : conversation_(conversation), json_(json), raw_(raw) {}

  void take(const SinkRecord& record) {
    const double timeMs = relativeMs(record.message.getCreatedTime());
    if (json_ != nullptr) {
      line_.clear();
      appendJsonLine(line_, record, timeMs, raw_);
      (*json_)(line_);
    }
    const std::string& post = record.postName;
    if (post == "SpeechOn" || post == "SpeechOff") {
      Speaker* speaker = speakerOf(record);
      if (speaker == nullptr) return;
      const double at = absoluteMsToRelative(record.message.getInt("timestamp"));
      if (post == "SpeechOn") {
        speaker->utterances.push_back(Utterance{at, at});
        open_[speaker->number] = true;
      } else {
        if (open_[speaker->number] && !speaker->utterances.empty()) {
          speaker->utterances.back().endMs = at;
        }
        open_[speaker->number] = false;
        for (const IndexedPitch& p :
             readPitchList(record.message, record.message.getInt("PitchCount"))) {
          speaker->pitch.push_back(PitchSample{absoluteMsToRelative(p.timeMs), p.hz});
        }
      }
    } else if (post == "Analysis") {
      Speaker* speaker = speakerOf(record);
      if (speaker == nullptr) return;
      TurnSummary turn;
      turn.timeMs = timeMs;
      if (const char* v = record.message.getString("Vector")) turn.vector = v;
      turn.average = record.message.getDouble("Average");
      turn.slope = record.message.getDouble("Slope");
      speaker->turns.push_back(std::move(turn));
    } else if (post.rfind("Pitch", 0) == 0 && (post.find("Overlapping") != std::string::npos ||
                                               post.find("Silence") != std::string::npos)) {
      FloorPost floor;
      floor.postedMs = timeMs;
      floor.post = post;
      if (const char* category = record.message.getString("Category")) floor.label = category;
      bool found = false;
      const std::int64_t start = record.message.getInt("StartTime", &found);
      if (found) floor.startMs = absoluteMsToRelative(start);
      const std::int64_t end = record.message.getInt("EndTime", &found);
      if (found) floor.endMs = absoluteMsToRelative(end);
      conversation_.floorPosts.push_back(std::move(floor));
    }
  }

  // A speaker whose utterance is still open at the end ends with the recording.
  void close(double endMs) {
    for (Speaker& s : conversation_.speakers) {
      if (open_[s.number] && !s.utterances.empty()) s.utterances.back().endMs = endMs;
      open_[s.number] = false;
    }
  }

 private:
  static double relativeMs(Micros t) {
    return (static_cast<double>(t) - static_cast<double>(kOriginMicros)) / 1000.0;
  }
  static double absoluteMsToRelative(std::int64_t ms) {
    return static_cast<double>(ms) - static_cast<double>(kOriginMicros / 1000U);
  }
  Speaker* speakerOf(const SinkRecord& record) {
    if (record.source < 0 ||
        static_cast<std::size_t>(record.source) >= conversation_.speakers.size()) {
      return nullptr;
    }
    return &conversation_.speakers[static_cast<std::size_t>(record.source)];
  }

  Conversation& conversation_;
  const JsonLine* json_;
  bool raw_;
  std::string line_;
  std::map<int, bool> open_;
};

}  // namespace

AnalysisOutcome analyzeRecordings(const AnalysisSettings& settings, const AnalysisHooks& hooks) {
  AnalysisOutcome outcome;
  auto fail = [&outcome](int status, std::string message) {
    outcome.status = status;
    outcome.errors.push_back(std::move(message));
    return std::move(outcome);
  };

  // The inputs: every channel of every file is one speaker.
  struct Input {
    std::string path;
    int channels = 0;
    int first = 1;  // the first channel read, 1-based
  };
  std::vector<Input> inputs;
  int speakers = 0;
  std::uint32_t rate = 0;
  for (std::size_t index = 0; index < settings.files.size(); ++index) {
    const std::string& path = settings.files[index];
    const int selected = index < settings.channels.size() ? settings.channels[index] : 0;
    captureSoundFileReports();
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
      return fail(kExitInput,
                  path + ": " +
                      (std::filesystem::exists(path, ec) ? "not a regular file" : "no such file"));
    }
    std::optional<vornix::SampleReader> reader = vornix::SampleReader::open(path);
    if (!reader) {
      return fail(kExitInput, path + ": " + lastSoundFileReport("not a WAV or AIFF recording"));
    }
    const auto fileRate = static_cast<std::uint32_t>(reader->format().rate);
    if (rate != 0 && fileRate != rate) {
      return fail(kExitInput, path + ": sampled at " + std::to_string(fileRate) + " Hz, but " +
                                  settings.files.front() + " at " + std::to_string(rate) + " Hz");
    }
    rate = fileRate;
    if (selected < 0 || selected > reader->channels()) {
      return fail(kExitInput, path + ": has " + std::to_string(reader->channels()) +
                                  " channel(s), no channel " + std::to_string(selected));
    }
    const int count = selected != 0 ? 1 : reader->channels();
    inputs.push_back(Input{path, count, selected != 0 ? selected : 1});
    speakers += count;
  }

  // The system: the built-in one, or the user's.
  SystemConfig config;
  if (settings.config.empty()) {
    config = defaultSystem(speakers, rate);
  } else {
    vornix::host::ConfigResult loaded = vornix::host::loadConfig(settings.config);
    if (const auto* error = std::get_if<vornix::host::ConfigError>(&loaded)) {
      return fail(kExitInput, error->text());
    }
    config = std::get<SystemConfig>(std::move(loaded));
  }
  vornix::host::OfflineRunOptions runOptions;
  runOptions.conditioning.enabled = settings.conditioning;
  bool gateGiven = false;
  std::vector<std::string> componentParams;
  if (std::string message; !vornix::host::takeConditioningParameters(
          settings.params, runOptions.conditioning, componentParams, gateGiven, message)) {
    return fail(kExitUsage, message);
  }
  for (const std::string& assignment : componentParams) {
    std::string error;
    if (!applyParameter(config, assignment, error)) {
      return fail(kExitUsage, error);
    }
  }
  // Each speaker's frames go to the Runtime components in their order, from
  // a source component per channel.
  std::vector<std::pair<std::string, int>> files;
  std::vector<int> firstChannels;
  for (const Input& input : inputs) {
    files.emplace_back(input.path, input.channels);
    firstChannels.push_back(input.first);
  }
  const RecordingSources sources = addRecordingSources(config, files, firstChannels);
  if (!sources.error.empty()) {
    return fail(sources.usage ? kExitUsage : kExitInput, sources.error);
  }
  const std::vector<std::string>* speakerNames = &sources.speakers;
  // The conditioner silences frames below the lowest of the speakers' gates.
  if (!gateGiven) {
    if (const std::optional<double> gate = lowestSpeechGate(config, *speakerNames)) {
      runOptions.conditioning.noiseThreshold = *gate;
    }
  }

  Conversation& conversation = outcome.conversation;
  conversation.rate = rate;
  {
    int number = 0;
    for (const Input& input : inputs) {
      for (int ch = 0; ch < input.channels; ++ch) {
        Speaker speaker;
        speaker.number = ++number;
        speaker.name = (*speakerNames)[static_cast<std::size_t>(number - 1)];
        speaker.source = input.path + ":" + std::to_string(input.first + ch);
        conversation.speakers.push_back(std::move(speaker));
      }
    }
  }

  if (hooks.ready) {
    if (std::string error; !hooks.ready(error)) return fail(kExitInput, error);
  }

  runOptions.system.libraryPath = !settings.library.empty() ? settings.library : config.library;
  runOptions.system.logOutput = settings.log;
  runOptions.origin = kOriginMicros;
  runOptions.progress = hooks.progress;
  runOptions.stop = hooks.stop;
  Collector collector(conversation, hooks.jsonLine ? &hooks.jsonLine : nullptr, settings.raw);
  const vornix::host::OfflineRunResult result = vornix::host::runOffline(
      config, runOptions, [&collector](SinkRecord&& record) { collector.take(record); });
  outcome.errors.insert(outcome.errors.end(), result.errors.begin(), result.errors.end());
  conversation.durationMs = result.durationMs;
  collector.close(conversation.durationMs);
  // Each utterance starts on its first frame with sound (speech_onsets.h).
  const FrameClock clock{kOriginMicros, result.frameSamples, result.rate};
  for (Speaker& speaker : conversation.speakers) {
    OnsetRule rule;
    rule.speechOnDelay = integerParameterOf(config, speaker.name, "SpeechOnDelay").value_or(0);
    rule.segmentIntervalMs =
        integerParameterOf(config, speaker.name, "SegmentIntervalThreshold").value_or(0);
    backdateOnsets(speaker.utterances, clock, rule);
  }
  // Source n feeds speaker n: what the conditioning measured of its channel.
  for (std::size_t s = 0; s < result.sources.size() && s < conversation.speakers.size(); ++s) {
    const auto& l = result.sources[s].levels;
    Speaker& speaker = conversation.speakers[s];
    speaker.noiseFloorDbfs = l.noiseFloorDbfs;
    speaker.speechLevelDbfs = l.speechLevelDbfs;
    speaker.snrDb = l.snrDb;
    speaker.tooNoisy = l.tooNoisy;
    speaker.tooQuiet = l.tooQuiet;
    speaker.levelsKnown = true;
    if (settings.verbose) {
      std::fprintf(settings.log != nullptr ? settings.log : stderr,
                   "loquant analyze: %s: %llu crosstalk frames silenced\n", speaker.name.c_str(),
                   static_cast<unsigned long long>(l.crosstalkFrames));
    }
  }
  outcome.stopped = result.stopped;
  if (!result.ok && !result.stopped) outcome.status = kExitInput;
  return outcome;
}

}  // namespace loquant::cli
