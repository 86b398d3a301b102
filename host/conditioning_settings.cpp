// The conditioning settings by their --param names: parsing, ranges and help.
#include <array>
#include <charconv>
#include <cmath>
#include <sstream>

#include "host/conditioning.h"

namespace vornix::host {

namespace {

struct Descriptor {
  std::string_view name;  // without the prefix
  double ConditioningSettings::*real = nullptr;
  bool ConditioningSettings::*flag = nullptr;
  double low = 0.0;  // range of a real setting, inclusive
  double high = 0.0;
  std::string_view help;
};

using S = ConditioningSettings;
constexpr std::array<Descriptor, 27> kDescriptors = {{
    {"Enabled", nullptr, &S::enabled, 0, 0, "condition the frames (off: measure only)"},
    {"NoiseThreshold", &S::noiseThreshold, nullptr, -100, 100,
     "the components' gate on ln(amplitude), follows their NoiseThreshold"},
    {"NoiseMarginDb", &S::noiseMarginDb, nullptr, 0, 60, "gate opens at floor + margin, dB"},
    {"HysteresisDb", &S::hysteresisDb, nullptr, 0, 60,
     "open gate closes at floor + margin - hysteresis, dB"},
    {"HangoverMs", &S::hangoverMs, nullptr, 0, 10'000, "frames passed after the gate closes, ms"},
    {"HangoverShortDb", &S::hangoverShortDb, nullptr, 0, 200,
     "over audible noise the hangover shrinks from loud speech this far over the gate, dB"},
    {"HangoverNoneDb", &S::hangoverNoneDb, nullptr, 0, 200,
     "... to none from loud speech this far over the gate, dB"},
    {"BandLowHz", &S::bandLowHz, nullptr, 0, 100'000,
     "gate measures levels above this, Hz (0: all)"},
    {"BandHighHz", &S::bandHighHz, nullptr, 0, 100'000,
     "gate measures levels below this, Hz (0: all)"},
    {"SpeechRelativeDb", &S::speechRelativeDb, nullptr, 0, 120,
     "over voices, gate shut below at most the loud-speech level minus this, dB (0: off)"},
    {"SpeechRelativeMaxDb", &S::speechRelativeMaxDb, nullptr, 0, 120,
     "... and below at least the loud-speech level minus this, dB"},
    {"NoiseClearanceDb", &S::noiseClearanceDb, nullptr, 0, 120,
     "... between those, below the noise's typical level plus this, dB"},
    {"NoiseSpreadFactor", &S::noiseSpreadFactor, nullptr, 0, 20,
     "gate shut below floor + this x the noise's spread over it (0: off)"},
    {"FloorWindowSeconds", &S::floorWindowSeconds, nullptr, 0.1, 600,
     "noise floor = lowest frame level over this window, s"},
    {"Crosstalk", nullptr, &S::crosstalk, 0, 0, "silence frames explained by another channel"},
    {"CrosstalkMarginDb", &S::crosstalkMarginDb, nullptr, 0, 120,
     "crosstalk when another channel stands this much higher, dB"},
    {"CrosstalkMaxDelayMs", &S::crosstalkMaxDelayMs, nullptr, 0, 100,
     "longest delay of another channel's pick-up, ms (0: levels alone)"},
    {"CrosstalkOwnDb", &S::crosstalkOwnDb, nullptr, 0, 120,
     "pick-up passes as own voice when its delayed copy leaves this much more, dB"},
    {"CrosstalkOverBabbleDeviations", &S::crosstalkOverBabbleDeviations, nullptr, 0, 100,
     "... over babble, this many of its mean deviations more"},
    {"CrosstalkHoldFrames", &S::crosstalkHoldFrames, nullptr, 1, 10'000,
     "crosstalk frames in a row that close a gate the channel's own voice opened"},
    {"CrosstalkTailMs", &S::crosstalkTailMs, nullptr, 0, 10'000,
     "reverberant pick-up: also judged against the other's speech dying away 60 dB in this, ms (0: "
     "off)"},
    {"SpeechCrestDb", &S::speechCrestDb, nullptr, 0, 60,
     "what a copy leaves is a voice only if its peaks, this far up, reach the gate, dB"},
    {"SpeechLevelSeconds", &S::speechLevelSeconds, nullptr, 0.1, 3600,
     "time constant of the running speech level, s of speech"},
    {"MinSnrDb", &S::minSnrDb, nullptr, -120, 120, "too noisy below this SNR, dB"},
    {"MinSpeechLevelDbfs", &S::minSpeechLevelDbfs, nullptr, -120, 0,
     "too quiet below this speech level, dBFS"},
    {"ResampleHz", &S::resampleHz, nullptr, 0, 384'000,
     "lower rates fed to the components at a whole multiple reaching this, Hz (0: off)"},
    {"LookAheadSeconds", &S::lookAheadSeconds, nullptr, 0, 600,
     "a file's noise and speech levels learned from this much of its start first, s (0: off)"},
}};

bool parseFlag(std::string_view text, bool& out) {
  for (std::string_view yes : {"on", "true", "yes", "1"}) {
    if (text == yes) return out = true, true;
  }
  for (std::string_view no : {"off", "false", "no", "0"}) {
    if (text == no) return out = false, true;
  }
  return false;
}

bool parseReal(std::string_view text, double& out) {
  double v = 0.0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, v);
  if (text.empty() || ec != std::errc() || ptr != end || !std::isfinite(v)) return false;
  out = v;
  return true;
}

std::string shortest(double v) {
  std::ostringstream out;
  out << v;
  return out.str();
}

}  // namespace

bool setConditioningSetting(ConditioningSettings& settings, std::string_view name,
                            std::string_view value, std::string& error) {
  const std::string full(name);
  if (name.substr(0, kConditioningPrefix.size()) != kConditioningPrefix) {
    error = "'" + full + "' is not a conditioning setting (they start with 'Conditioning.')";
    return false;
  }
  const std::string_view bare = name.substr(kConditioningPrefix.size());
  for (const Descriptor& d : kDescriptors) {
    if (d.name != bare) continue;
    if (d.flag != nullptr) {
      bool v = false;
      if (!parseFlag(value, v)) {
        error = full + " takes on or off, not '" + std::string(value) + "'";
        return false;
      }
      settings.*d.flag = v;
      return true;
    }
    double v = 0.0;
    if (!parseReal(value, v)) {
      error = full + " takes a number, not '" + std::string(value) + "'";
      return false;
    }
    if (v < d.low || v > d.high) {
      error = full + " is " + std::string(value) + ", outside " + shortest(d.low) + " to " +
              shortest(d.high);
      return false;
    }
    settings.*d.real = v;
    return true;
  }
  error = "no conditioning setting named '" + full + "'";
  return false;
}

bool takeConditioningParameters(std::span<const std::string> params, ConditioningSettings& settings,
                                std::vector<std::string>& rest, bool& gateGiven,
                                std::string& error) {
  for (const std::string& assignment : params) {
    if (!assignment.starts_with(kConditioningPrefix)) {
      rest.push_back(assignment);
      continue;
    }
    const std::size_t equals = assignment.find('=');
    const std::string_view name = std::string_view(assignment).substr(0, equals);
    const std::string_view value = equals == std::string::npos
                                       ? std::string_view()
                                       : std::string_view(assignment).substr(equals + 1);
    if (std::string reason; !setConditioningSetting(settings, name, value, reason)) {
      error = "--param " + reason;
      return false;
    }
    gateGiven = gateGiven || name == "Conditioning.NoiseThreshold";
  }
  return true;
}

std::string conditioningSettingsHelp(std::string_view indent) {
  const ConditioningSettings defaults;
  std::string text;
  for (const Descriptor& d : kDescriptors) {
    std::string line = std::string(kConditioningPrefix) + std::string(d.name) + "=";
    if (d.flag != nullptr) {
      line += defaults.*d.flag ? "on" : "off";
    } else {
      line += shortest(defaults.*d.real);
    }
    if (line.size() < 40) line.resize(40, ' ');
    text += std::string(indent) + line + " " + std::string(d.help) + "\n";
  }
  return text;
}

}  // namespace vornix::host
