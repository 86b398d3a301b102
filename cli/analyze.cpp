#include "analyze.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>

#include "default_system.h"
#include "host/audio_source.h"
#include "host/conditioning.h"
#include "host/config.h"
#include "host/system.h"
#include "json_lines.h"
#include "output_file.h"
#include "platform.h"
#include "progress.h"
#include "reports.h"
#include "sound_report.h"
#include "soundfile/sample_reader.h"
#include "soundfile/sound_file.h"
#include "standard_output.h"

namespace loquant::cli {

namespace {

using vornix::DataMessage;
using vornix::Micros;
using vornix::host::SinkRecord;
using vornix::host::SystemConfig;

struct Input {
  std::string path;
  vornix::SampleReader reader;
  int firstSpeaker = 0;  // index of its first channel among all speakers
  std::uint64_t framesRead = 0;
};

std::int64_t integerParameter(const vornix::host::ComponentConfig& c, const char* name,
                              std::int64_t fallback) {
  for (const auto& p : c.parameters) {
    if (p.name == name) {
      if (const auto* v = std::get_if<std::int64_t>(&p.value)) return *v;
    }
  }
  return fallback;
}

// Turns sink records into the JSON stream and the Conversation of the reports.
class Collector {
 public:
  Collector(Conversation& conversation, OutputFile* json, bool raw)
      : conversation_(conversation), json_(json), raw_(raw) {}

  void take(const SinkRecord& record) {
    const double timeMs = relativeMs(record.message.getCreatedTime());
    if (json_ != nullptr) {
      line_.clear();
      appendJsonLine(line_, record, timeMs, raw_);
      json_->write(line_);
    }
    const std::string& post = record.postName;
    if (post == "SpeechOn" || post == "SpeechOff") {
      Speaker* speaker = speakerOf(record.message);
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
        const std::int64_t count = record.message.getInt("PitchCount");
        for (std::int64_t i = 0; i < count; ++i) {
          bool hasValue = false;
          bool hasTime = false;
          const double value = record.message.getDouble(i, "pitchvalue", &hasValue);
          const std::int64_t time = record.message.getInt(i, "pitchtime", &hasTime);
          if (!hasValue || !hasTime) break;
          speaker->pitch.push_back(PitchSample{absoluteMsToRelative(time), value});
        }
      }
    } else if (post == "Analysis") {
      Speaker* speaker = speakerOfSender(record.sender);
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
  Speaker* speakerOf(const DataMessage& message) {
    const std::int64_t id = message.getInt("ModuleID");
    for (Speaker& s : conversation_.speakers) {
      if (s.number == id) return &s;
    }
    return nullptr;
  }
  Speaker* speakerOfSender(const std::string& sender) {
    // "analysisN" summarises speaker N.
    if (sender.rfind("analysis", 0) != 0) return nullptr;
    const int n = std::atoi(sender.c_str() + 8);
    for (Speaker& s : conversation_.speakers) {
      if (s.number == n) return &s;
    }
    return nullptr;
  }

  Conversation& conversation_;
  OutputFile* json_;
  bool raw_;
  std::string line_;
  std::map<int, bool> open_;
};

// Messages routed within one step of the simulated clock arrive in the
// order the component threads happened to run. Holding them until the step
// has settled and then ordering them by the sender's place in the
// configuration (stably, so one sender's posts keep their order) gives the
// same output on every run.
class StepOrder {
 public:
  StepOrder(Collector& collector, const SystemConfig& config) : collector_(collector) {
    for (std::size_t i = 0; i < config.components.size(); ++i) {
      rank_[config.components[i].name] = i;
    }
  }
  void take(SinkRecord&& record) { pending_.push_back(std::move(record)); }
  void flush() {
    std::stable_sort(pending_.begin(), pending_.end(),
                     [this](const SinkRecord& a, const SinkRecord& b) {
                       return rankOf(a.sender) < rankOf(b.sender);
                     });
    for (const SinkRecord& record : pending_) collector_.take(record);
    pending_.clear();
  }

 private:
  std::size_t rankOf(const std::string& sender) const {
    const auto found = rank_.find(sender);
    return found != rank_.end() ? found->second : rank_.size();
  }
  Collector& collector_;
  std::map<std::string, std::size_t> rank_;
  std::vector<SinkRecord> pending_;
};

}  // namespace

int runAnalyze(const AnalyzeOptions& options) {
  if (options.files.empty()) {
    std::fprintf(stderr, "loquant analyze: name at least one recording (WAV or AIFF)\n");
    return kExitUsage;
  }
  const std::vector<std::string> formats = {"jsonl", "textgrid", "rttm", "csv"};
  if (std::find(formats.begin(), formats.end(), options.format) == formats.end()) {
    std::fprintf(stderr, "loquant analyze: --format takes jsonl, textgrid, rttm or csv, not '%s'\n",
                 options.format.c_str());
    return kExitUsage;
  }

  // The inputs: every channel of every file is one speaker.
  std::vector<Input> inputs;
  int speakers = 0;
  std::uint32_t rate = 0;
  for (const std::string& path : options.files) {
    captureSoundFileReports();
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
      std::fprintf(stderr, "loquant analyze: %s: %s\n", path.c_str(),
                   std::filesystem::exists(path, ec) ? "not a regular file" : "no such file");
      return kExitInput;
    }
    std::optional<vornix::SampleReader> reader = vornix::SampleReader::open(path);
    if (!reader) {
      std::fprintf(stderr, "loquant analyze: %s: %s\n", path.c_str(),
                   lastSoundFileReport("not a WAV or AIFF recording").c_str());
      return kExitInput;
    }
    const auto fileRate = static_cast<std::uint32_t>(reader->format().rate);
    if (rate != 0 && fileRate != rate) {
      std::fprintf(stderr, "loquant analyze: %s: sampled at %u Hz, but %s at %u Hz\n", path.c_str(),
                   fileRate, options.files.front().c_str(), rate);
      return kExitInput;
    }
    rate = fileRate;
    inputs.push_back(Input{path, std::move(*reader), speakers});
    speakers += inputs.back().reader.channels();
  }

  // The system: the built-in one, or the user's.
  SystemConfig config;
  if (options.config.empty()) {
    config = defaultSystem(speakers, rate);
  } else {
    vornix::host::ConfigResult loaded = vornix::host::loadConfig(options.config);
    if (const auto* error = std::get_if<vornix::host::ConfigError>(&loaded)) {
      std::fprintf(stderr, "loquant analyze: %s\n", error->text().c_str());
      return kExitInput;
    }
    config = std::get<SystemConfig>(std::move(loaded));
  }
  vornix::host::ConditioningSettings conditioningSettings;
  conditioningSettings.enabled = options.conditioning;
  bool conditioningGate = false;  // Conditioning.NoiseThreshold given
  for (const std::string& assignment : options.params) {
    std::string error;
    if (assignment.rfind(vornix::host::kConditioningPrefix, 0) == 0) {
      const std::size_t equals = assignment.find('=');
      const std::string name = assignment.substr(0, equals);
      const std::string value = equals == std::string::npos ? "" : assignment.substr(equals + 1);
      if (!vornix::host::setConditioningSetting(conditioningSettings, name, value, error)) {
        std::fprintf(stderr, "loquant analyze: --param %s\n", error.c_str());
        return kExitUsage;
      }
      conditioningGate = conditioningGate || name == "Conditioning.NoiseThreshold";
      continue;
    }
    if (!applyParameter(config, assignment, error)) {
      std::fprintf(stderr, "loquant analyze: %s\n", error.c_str());
      return kExitUsage;
    }
  }
  // Each speaker's frames go to the Runtime components in their order.
  std::vector<const vornix::host::ComponentConfig*> runtimes;
  for (const auto& c : config.components) {
    if (c.entry == "Runtime") runtimes.push_back(&c);
  }
  if (runtimes.empty() || static_cast<int>(runtimes.size()) < speakers) {
    std::fprintf(stderr,
                 "loquant analyze: %d speaker%s to analyse, but the system has %zu Runtime "
                 "component%s\n",
                 speakers, speakers == 1 ? "" : "s", runtimes.size(),
                 runtimes.size() == 1 ? "" : "s");
    return kExitInput;
  }
  // The conditioner silences frames below the lowest of the speakers' gates.
  if (!conditioningGate) {
    for (std::size_t s = 0; s < static_cast<std::size_t>(speakers); ++s) {
      for (const auto& p : runtimes[s]->parameters) {
        const auto* v = std::get_if<double>(&p.value);
        if (p.name == "NoiseThreshold" && v != nullptr) {
          conditioningSettings.noiseThreshold =
              s == 0 ? *v : std::min(conditioningSettings.noiseThreshold, *v);
        }
      }
    }
  }
  const vornix::host::ComponentConfig* first = runtimes.front();
  const std::int64_t bufferParameter =
      first != nullptr ? integerParameter(*first, "BufferSize", 0) : 0;
  if (bufferParameter < 2 || bufferParameter > (1 << 20)) {
    std::fprintf(stderr, "loquant analyze: BufferSize %lld is outside 2 to 1048576 samples\n",
                 static_cast<long long>(bufferParameter));
    return kExitUsage;
  }
  const auto buffer = static_cast<std::uint32_t>(bufferParameter);
  // Silence after the end lets the last utterance close: long enough for
  // "SpeechOff" and then "SpeechPause".
  std::int64_t tailMs = 0;
  for (const auto* r : runtimes) {
    tailMs = std::max(tailMs, integerParameter(*r, "SegmentIntervalThreshold", 0) +
                                  integerParameter(*r, "PauseThreshold", 0));
  }
  tailMs = std::min<std::int64_t>(tailMs, 60'000) + 100;

  Conversation conversation;
  conversation.rate = rate;
  for (const Input& input : inputs) {
    for (int ch = 0; ch < input.reader.channels(); ++ch) {
      Speaker speaker;
      speaker.number = input.firstSpeaker + ch + 1;
      speaker.name = runtimes[static_cast<std::size_t>(speaker.number - 1)]->name;
      speaker.source = input.path + ":" + std::to_string(ch + 1);
      conversation.speakers.push_back(std::move(speaker));
    }
  }

  StandardOutputGuard guard(options.verbose);
  const bool jsonOut = options.format == "jsonl" && !options.summary;
  OutputFile output(options.output, guard.out());
  std::string error;
  if (!output.open(error)) {
    std::fprintf(stderr, "loquant analyze: %s\n", error.c_str());
    return kExitInput;
  }

  vornix::host::SystemOptions systemOptions;
  systemOptions.simulatedClock = true;
  systemOptions.clockStart = kOriginMicros;
  systemOptions.libraryPath = options.library;
  systemOptions.logOutput = stderr;
  std::unique_ptr<vornix::host::System> system =
      vornix::host::System::create(config, systemOptions, error);
  if (!system) {
    std::fprintf(stderr, "loquant analyze: %s\n", error.c_str());
    return kExitInput;
  }
  if (!system->missing().empty()) return kExitInput;
  Collector collector(conversation, jsonOut ? &output : nullptr, options.raw);
  StepOrder stepOrder(collector, config);
  system->onSink([&stepOrder](SinkRecord&& record) { stepOrder.take(std::move(record)); });
  system->start();

  const vornix::MessageType frameType = system->type("Audio.Frame");
  std::vector<std::uint32_t> targets;
  for (int s = 0; s < speakers; ++s) {
    targets.push_back(system->componentId(runtimes[static_cast<std::size_t>(s)]->name));
  }
  std::vector<std::vector<std::int16_t>> channelFrames(static_cast<std::size_t>(speakers),
                                                       std::vector<std::int16_t>(buffer));
  std::vector<std::uint8_t> bytes(2ULL * buffer);
  vornix::host::Conditioner conditioner(static_cast<std::size_t>(speakers), rate, buffer,
                                        conditioningSettings);
  const std::vector<std::span<std::int16_t>> allFrames(channelFrames.begin(), channelFrames.end());
  Progress progress(options.files.front());
  std::uint64_t totalFrames = 0;
  for (const Input& input : inputs) {
    totalFrames = std::max<std::uint64_t>(
        totalFrames, static_cast<std::uint64_t>(std::max(input.reader.format().frames, 0)) /
                         static_cast<std::uint64_t>(std::max(input.reader.channels(), 1)));
  }
  const std::uint64_t tailFrames = static_cast<std::uint64_t>(tailMs) * rate / 1000U / buffer + 1U;
  std::uint64_t silentAfterEnd = 0;
  bool ok = true;
  for (std::uint64_t k = 0; ok && silentAfterEnd < tailFrames; ++k) {
    bool anySamples = false;
    for (Input& input : inputs) {
      std::vector<std::span<std::int16_t>> spans;
      for (int ch = 0; ch < input.reader.channels(); ++ch) {
        auto& frame = channelFrames[static_cast<std::size_t>(input.firstSpeaker + ch)];
        std::fill(frame.begin(), frame.end(), 0);
        spans.emplace_back(frame);
      }
      const std::size_t got = input.reader.read(spans);
      input.framesRead += got;
      if (got > 0) anySamples = true;
    }
    if (!anySamples) ++silentAfterEnd;
    conditioner.process(allFrames);
    system->advanceTo(kOriginMicros + k * buffer * 1'000'000ULL / rate);
    for (int s = 0; s < speakers; ++s) {
      const auto& frame = channelFrames[static_cast<std::size_t>(s)];
      for (std::uint32_t i = 0; i < buffer; ++i) {
        const auto u = static_cast<std::uint16_t>(frame[i]);
        bytes[2 * i] = static_cast<std::uint8_t>(u & 0xFFU);
        bytes[2 * i + 1] = static_cast<std::uint8_t>(u >> 8U);
      }
      auto message = std::make_unique<DataMessage>();
      message->setType(frameType);
      message->setToId(targets[static_cast<std::size_t>(s)]);
      message->setData("AudioDataFrame", bytes);
      system->inject(std::move(message));
    }
    // Every speaker's frame k goes in before the system settles, so the
    // speakers' Runtimes work on their frames side by side.
    const bool settled = system->settle();
    stepOrder.flush();
    if (!settled) {
      std::fprintf(stderr, "loquant analyze: the system did not settle at frame %llu\n",
                   static_cast<unsigned long long>(k));
      ok = false;
      break;
    }
    if (anySamples) {
      conversation.durationMs = static_cast<double>((k + 1) * buffer) * 1000.0 / rate;
    }
    progress.update(k + 1, totalFrames / buffer + tailFrames);
  }
  progress.finish();
  system->stop();
  stepOrder.flush();
  for (const Input& input : inputs) {
    if (input.reader.failed()) {
      std::fprintf(stderr, "loquant analyze: %s: read error in the sample data\n",
                   input.path.c_str());
      ok = false;
    } else if (const std::uint64_t declared =
                   vornix::host::declaredSampleFrames(input.path, input.reader.format());
               input.framesRead < declared) {
      // A cut-short file: analysing what is there would pass for a whole run.
      std::fprintf(stderr,
                   "loquant analyze: %s: truncated: the data ends after %llu of the %llu sample "
                   "frames the header declares\n",
                   input.path.c_str(), static_cast<unsigned long long>(input.framesRead),
                   static_cast<unsigned long long>(declared));
      ok = false;
    }
  }
  system.reset();
  collector.close(conversation.durationMs);
  if (options.verbose) {
    for (int s = 0; s < speakers; ++s) {
      const auto l = conditioner.levels(static_cast<std::size_t>(s));
      std::fprintf(stderr,
                   "loquant analyze: speaker%d: noise floor %.1f dBFS, speech %.1f dBFS, SNR "
                   "%.1f dB%s%s, %llu crosstalk frames\n",
                   s + 1, l.noiseFloorDbfs, l.speechLevelDbfs, l.snrDb,
                   l.tooNoisy ? ", too noisy" : "", l.tooQuiet ? ", too quiet" : "",
                   static_cast<unsigned long long>(l.crosstalkFrames));
    }
  }
  if (!ok) return kExitInput;

  std::string text;
  if (options.summary) {
    writeSummary(conversation, text);
  } else if (options.format == "textgrid") {
    writeTextGrid(conversation, text);
  } else if (options.format == "rttm") {
    writeRttm(conversation, std::filesystem::path(options.files.front()).stem().string(), text);
  } else if (options.format == "csv") {
    writeCsv(conversation, text);
  }
  if (!text.empty()) output.write(text);
  if (!options.plot.empty()) {
    OutputFile plot(options.plot, nullptr);
    std::string svg;
    writeSvgPlot(conversation, svg);
    if (!plot.open(error) || !plot.write(svg) || !plot.commit(error)) {
      std::fprintf(stderr, "loquant analyze: %s\n", error.c_str());
      return kExitInput;
    }
  }
  if (!output.commit(error)) {
    std::fprintf(stderr, "loquant analyze: %s\n", error.c_str());
    return kExitInput;
  }
  return kExitOk;
}

}  // namespace loquant::cli
