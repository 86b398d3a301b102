#include "default_system.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "host/parameter_bounds.h"
#include "util/format.h"
#include "util/text.h"

namespace loquant::cli {

using vornix::host::ComponentConfig;
using vornix::host::ParameterSpec;
using vornix::host::PostConfig;
using vornix::host::SystemConfig;
using vornix::host::TriggerConfig;

const std::vector<DefaultParameter>& speechParameters() {
  using K = DefaultParameter::Kind;
  static const std::vector<DefaultParameter> parameters = {
      {"BufferSize", K::kInteger, "samples per frame"},
      {"SamplingFrequency", K::kInteger, "sampling rate of the input, Hz"},
      {"AmplitudeThreshold", K::kReal, "maxima ratio of the pitch tracker"},
      {"NoiseThreshold", K::kReal, "noise gate on ln(amplitude)"},
      {"ModuleID", K::kInteger, "speaker number written into every speech event"},
      {"PitchMonitorWindow", K::kInteger, "pitch values kept per utterance"},
      {"PrintPitch", K::kBool, "log the pitch view of every utterance"},
      {"PitchLowPass", K::kInteger, "pitch ceiling, tracker scale"},
      {"PitchHighPass", K::kInteger, "pitch floor, tracker scale"},
      {"PitchDeltaConstraint", K::kInteger, "largest pitch step between frames"},
      {"PauseThreshold", K::kInteger, "ms of silence after SpeechOff before SpeechPause"},
      {"SegmentIntervalThreshold", K::kInteger, "ms of silence that ends an utterance"},
      {"HumDurationThreshold", K::kInteger, "ms a steady pitch lasts to be a hum"},
      {"HumPitchThreshold", K::kInteger, "largest frame-to-frame step within a hum"},
      {"SpeechOnDelay", K::kInteger, "frames with sound skipped before SpeechOn"},
  };
  return parameters;
}

std::uint32_t defaultBufferSize(std::uint32_t rate) {
  // An even number of samples nearest 23.2 ms: 1024 at 44.1 kHz, 372 at 16 kHz.
  const auto pairs = static_cast<std::uint32_t>(std::lround(0.0232 * rate / 2.0));
  return std::max<std::uint32_t>(pairs, 1U) * 2U;
}

namespace {

PostConfig post(const std::string& name, const std::string& type) {
  PostConfig p;
  p.name = name;
  p.type = vornix::host::parseTypePath(type);
  return p;
}

TriggerConfig trigger(const std::string& name, const std::string& pattern,
                      std::vector<PostConfig> posts = {}) {
  TriggerConfig t;
  t.name = name;
  t.pattern = vornix::host::parseTypePath(pattern);
  t.posts = std::move(posts);
  return t;
}

ParameterSpec integer(const char* name, std::int64_t value) {
  return ParameterSpec{name, value};
}
ParameterSpec real(const char* name, double value) {
  return ParameterSpec{name, value};
}

}  // namespace

SystemConfig defaultSystem(int speakers, std::uint32_t rate) {
  SystemConfig config;
  for (int n = 1; n <= speakers; ++n) {
    const std::string s = "S" + std::to_string(n);
    ComponentConfig speaker;
    speaker.name = "speaker" + std::to_string(n);
    speaker.entry = "Runtime";
    speaker.process = 1;
    speaker.parameters = {
        integer("BufferSize", defaultBufferSize(rate)),
        integer("SamplingFrequency", rate),
        real("AmplitudeThreshold", 0.75),
        real("NoiseThreshold", 5.0),
        integer("ModuleID", n),
        integer("PitchMonitorWindow", 4096),
        ParameterSpec{"PrintPitch", std::string("No")},
        integer("PitchLowPass", 250),
        integer("PitchHighPass", 30),
        integer("PitchDeltaConstraint", 40),
        integer("PauseThreshold", 500),
        integer("SegmentIntervalThreshold", 300),
        integer("HumDurationThreshold", 1500),
        integer("HumPitchThreshold", 2),
        integer("SpeechOnDelay", 2),
    };
    speaker.triggers.push_back(
        trigger("AudioFrame", "Audio.Frame",
                {post("SpeechOn", "Speech.On." + s), post("SpeechOff", "Speech.Off." + s),
                 post("SpeechPause", "Speech.Pause." + s)}));
    config.components.push_back(std::move(speaker));

    ComponentConfig analysis;
    analysis.name = "analysis" + std::to_string(n);
    analysis.entry = "AnalyzeSingle";
    analysis.process = 1;
    for (const char* event : {"On", "Off", "Pause"}) {
      analysis.triggers.push_back(trigger(std::string("Speech") + event,
                                          std::string("Speech.") + event + "." + s,
                                          {post("Analysis", "Analysis.Turn." + s)}));
    }
    config.components.push_back(std::move(analysis));
  }
  if (speakers >= 2) {
    ComponentConfig two;
    two.name = "conversation";
    two.entry = "AnalyzeTwo";
    two.process = 1;
    const std::vector<PostConfig> floorPosts = {
        post("PitchOverlappingStart", "Floor.Overlap.Start"),
        post("PitchOverlappingStop", "Floor.Overlap.Stop"),
        post("PitchSilenceStart", "Floor.Silence.Start"),
        post("PitchSilenceStop", "Floor.Silence.Stop")};
    for (const char* event : {"On", "Off", "Pause"}) {
      two.triggers.push_back(trigger(std::string("Speech") + event,
                                     std::string("Speech.") + event + ".*", floorPosts));
    }
    config.components.push_back(std::move(two));
  }
  ComponentConfig sink;
  sink.name = "out";
  sink.entry = "sink";
  config.components.push_back(std::move(sink));
  return config;
}

RecordingSources addRecordingSources(SystemConfig& config,
                                     const std::vector<std::pair<std::string, int>>& files,
                                     std::span<const int> firstChannels) {
  RecordingSources out;
  int speakers = 0;
  for (const auto& file : files) speakers += file.second;
  std::vector<const ComponentConfig*> runtimes;
  for (const ComponentConfig& c : config.components) {
    if (c.entry == "Runtime") runtimes.push_back(&c);
  }
  if (runtimes.empty() || static_cast<int>(runtimes.size()) < speakers) {
    out.error = vornix::formatString(
        "%d speaker%s to analyse, but the system has %zu Runtime component%s", speakers,
        speakers == 1 ? "" : "s", runtimes.size(), runtimes.size() == 1 ? "" : "s");
    return out;
  }
  std::int64_t buffer = 0;
  for (const ParameterSpec& p : runtimes.front()->parameters) {
    if (const auto* v = std::get_if<std::int64_t>(&p.value);
        v != nullptr && p.name == "BufferSize") {
      buffer = *v;
    }
  }
  if (buffer < 2 || buffer > (1 << 20)) {
    out.error = vornix::formatString("BufferSize %lld is outside 2 to 1048576 samples",
                                     static_cast<long long>(buffer));
    out.usage = true;
    return out;
  }
  for (int s = 0; s < speakers; ++s)
    out.speakers.push_back(runtimes[static_cast<std::size_t>(s)]->name);
  const auto taken = [&config](const std::string& name) {
    for (const ComponentConfig& c : config.components) {
      if (c.name == name) return true;
    }
    return false;
  };
  int speaker = 0;
  for (std::size_t f = 0; f < files.size(); ++f) {
    const auto& [path, channels] = files[f];
    const int first = f < firstChannels.size() ? firstChannels[f] : 1;
    for (int ch = first; ch < first + channels; ++ch) {
      ComponentConfig source;
      source.name = "source" + std::to_string(speaker + 1);
      while (taken(source.name)) source.name += "_";
      source.entry = "source";
      source.parameters = {ParameterSpec{"File", path}, integer("Channel", ch),
                           ParameterSpec{"Target", out.speakers[static_cast<std::size_t>(speaker)]},
                           integer("BufferSize", buffer)};
      config.components.push_back(std::move(source));
      ++speaker;
    }
  }
  return out;
}

std::optional<std::int64_t> integerParameterOf(const SystemConfig& config,
                                               const std::string& component,
                                               const std::string& name) {
  for (const ComponentConfig& c : config.components) {
    if (c.name != component) continue;
    for (const ParameterSpec& p : c.parameters) {
      const auto* v = std::get_if<std::int64_t>(&p.value);
      if (p.name == name && v != nullptr) return *v;
    }
  }
  return std::nullopt;
}

std::optional<double> lowestSpeechGate(const SystemConfig& config,
                                       const std::vector<std::string>& names) {
  std::optional<double> lowest;
  for (const ComponentConfig& c : config.components) {
    if (std::find(names.begin(), names.end(), c.name) == names.end()) continue;
    for (const ParameterSpec& p : c.parameters) {
      const auto* v = std::get_if<double>(&p.value);
      if (p.name == "NoiseThreshold" && v != nullptr) lowest = std::min(lowest.value_or(*v), *v);
    }
  }
  return lowest;
}

namespace {

bool parseWhole(const std::string& text, std::int64_t& out) {
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || end == text.c_str() || *end != '\0' || errno == ERANGE) return false;
  out = v;
  return true;
}

bool parseNumber(const std::string& text, double& out) {
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || end == text.c_str() || *end != '\0' || errno == ERANGE || !std::isfinite(v)) {
    return false;
  }
  out = v;
  return true;
}

// Gives `value` the type of the parameter it replaces.
bool retype(ParameterSpec& parameter, const std::string& value, std::string& error) {
  using vornix::host::IntegerList;
  using vornix::host::RealList;
  using vornix::host::TextList;
  const std::string what = "parameter " + parameter.name + " ";
  if (std::holds_alternative<std::int64_t>(parameter.value)) {
    std::int64_t v = 0;
    if (!parseWhole(value, v)) {
      error = what + "takes a whole number, not '" + value + "'";
      return false;
    }
    parameter.value = v;
  } else if (std::holds_alternative<double>(parameter.value)) {
    double v = 0;
    if (!parseNumber(value, v)) {
      error = what + "takes a number, not '" + value + "'";
      return false;
    }
    parameter.value = v;
  } else if (auto* text = std::get_if<std::string>(&parameter.value)) {
    // Flags are texts that read as true when "Yes".
    const bool isFlag = vornix::equalsNoCase(*text, "Yes") || vornix::equalsNoCase(*text, "No");
    if (isFlag) {
      if (vornix::equalsNoCase(value, "yes") || vornix::equalsNoCase(value, "true") ||
          value == "1") {
        *text = "Yes";
      } else if (vornix::equalsNoCase(value, "no") || vornix::equalsNoCase(value, "false") ||
                 value == "0") {
        *text = "No";
      } else {
        error = what + "takes yes or no, not '" + value + "'";
        return false;
      }
    } else {
      *text = value;
    }
  } else if (auto* list = std::get_if<IntegerList>(&parameter.value)) {
    std::int64_t v = 0;
    if (!parseWhole(value, v)) {
      error = what + "takes a whole number, not '" + value + "'";
      return false;
    }
    list->items = {v};
    list->current = 0;
  } else if (auto* reals = std::get_if<RealList>(&parameter.value)) {
    double v = 0;
    if (!parseNumber(value, v)) {
      error = what + "takes a number, not '" + value + "'";
      return false;
    }
    reals->items = {v};
    reals->current = 0;
  } else if (auto* texts = std::get_if<TextList>(&parameter.value)) {
    texts->items = {value};
    texts->current = 0;
  }
  return true;
}

}  // namespace

bool applyParameter(SystemConfig& config, const std::string& assignment, std::string& error) {
  const std::size_t equals = assignment.find('=');
  if (equals == std::string::npos || equals == 0) {
    error = "--param takes Name=value or Component.Name=value, not '" + assignment + "'";
    return false;
  }
  std::string name = assignment.substr(0, equals);
  const std::string value = assignment.substr(equals + 1);
  std::string component;
  if (const std::size_t dot = name.find('.'); dot != std::string::npos) {
    component = name.substr(0, dot);
    name = name.substr(dot + 1);
    if (config.find(component) == nullptr) {
      error = "--param " + assignment + ": no component named '" + component + "'";
      return false;
    }
  }
  int applied = 0;
  for (ComponentConfig& c : config.components) {
    if (!component.empty() && c.name != component) continue;
    for (ParameterSpec& p : c.parameters) {
      if (!vornix::equalsNoCase(p.name, name)) continue;
      if (!retype(p, value, error)) return false;
      if (std::string why; !vornix::host::parameterWithinBounds(p, why)) {
        error = "--param " + assignment + ": " + why;
        return false;
      }
      ++applied;
    }
  }
  if (applied == 0) {
    error = "--param " + assignment + ": no component" +
            (component.empty() ? "" : " '" + component + "'") + " reads a parameter named '" +
            name + "'";
    return false;
  }
  return true;
}

namespace {

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string dotted(const vornix::host::TypePath& path) {
  std::string out;
  for (const std::string& level : path) out += (out.empty() ? "" : ".") + level;
  return out;
}

std::string realText(double v) {
  std::ostringstream s;
  s.precision(17);
  s << v;
  std::string text = s.str();
  if (text.find_first_of(".eE") == std::string::npos) text += ".0";
  return text;
}

}  // namespace

std::string defaultSystemText(int speakers, std::uint32_t rate) {
  const SystemConfig config = defaultSystem(speakers, rate);
  std::ostringstream out;
  out << "# The built-in system of `loquant analyze` for " << speakers << " speaker"
      << (speakers == 1 ? "" : "s") << " at " << rate << " Hz.\n"
      << "# Run it with: loquant analyze --config FILE RECORDING...\n";
  for (const ComponentConfig& c : config.components) {
    out << "\n[[components]]\nname = " << quoted(c.name) << "\nentry = " << quoted(c.entry)
        << "\nprocess = " << c.process << "\n";
    if (!c.parameters.empty()) {
      out << "[components.parameters]\n";
      for (const ParameterSpec& p : c.parameters) {
        out << p.name << " = ";
        if (const auto* i = std::get_if<std::int64_t>(&p.value)) out << *i;
        if (const auto* d = std::get_if<double>(&p.value)) out << realText(*d);
        if (const auto* t = std::get_if<std::string>(&p.value)) out << quoted(*t);
        out << "\n";
      }
    }
    for (const TriggerConfig& t : c.triggers) {
      out << "[[components.triggers]]\nname = " << quoted(t.name)
          << "\ntype = " << quoted(dotted(t.pattern)) << "\n";
      if (!t.posts.empty()) {
        out << "posts = [\n";
        for (const PostConfig& p : t.posts) {
          out << "  { name = " << quoted(p.name) << ", type = " << quoted(dotted(p.type))
              << " },\n";
        }
        out << "]\n";
      }
    }
  }
  return out.str();
}

}  // namespace loquant::cli
