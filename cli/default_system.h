// The built-in system of `loquant analyze`: for each speaker (a channel of
// the input) a Runtime component "speakerN" with "ModuleID" N, an
// AnalyzeSingle "analysisN" that sees only that speaker's speech events, and,
// with two or more speakers, an AnalyzeTwo "conversation" that sees them all;
// plus the sink "out" that takes every posted message.
//
// Parameters default to values chosen for conversational speech at the
// file's rate (see README, "Default parameters"); --param overrides them,
// typed as the component reads them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "host/config.h"

namespace loquant::cli {

// A parameter the default system sets, with the type its component reads.
struct DefaultParameter {
  const char* name;
  enum class Kind { kInteger, kReal, kBool } kind;
  const char* meaning;
};

// The parameters of a Runtime component, in the order they are documented.
const std::vector<DefaultParameter>& speechParameters();

// Samples per frame for a rate: the even number nearest to 23.2 ms of audio.
std::uint32_t defaultBufferSize(std::uint32_t rate);

// The default system for `speakers` channels at `rate`.
vornix::host::SystemConfig defaultSystem(int speakers, std::uint32_t rate);

// What addRecordingSources made: the Runtime component of each speaker, in
// speaker order; or why it could not (`usage`: the parameters are wrong,
// not the input).
struct RecordingSources {
  std::vector<std::string> speakers;
  std::string error;
  bool usage = false;
};

// Adds one "source" component per channel of every file (path, channel
// count), in order: speaker n's frames go to the n-th Runtime component of
// `config`, in frames of the first Runtime's BufferSize. The sources come
// last, so every other component keeps its id. A file's channels are read
// from channel `firstChannels[i]` on (1-based) when given, from 1 otherwise.
RecordingSources addRecordingSources(vornix::host::SystemConfig& config,
                                     const std::vector<std::pair<std::string, int>>& files,
                                     std::span<const int> firstChannels = {});

// The integer parameter `name` of the component `component`; none when the
// component has no such parameter or it is not an integer.
std::optional<std::int64_t> integerParameterOf(const vornix::host::SystemConfig& config,
                                               const std::string& component,
                                               const std::string& name);

// The lowest "NoiseThreshold" of the named components; none when none sets it.
std::optional<double> lowestSpeechGate(const vornix::host::SystemConfig& config,
                                       const std::vector<std::string>& names);

// Applies "Name=value" (every component that reads Name) or
// "Component.Name=value" (one component). The value is given the type the
// component reads; false with the reason in `error` when the name is unknown,
// the value does not have that type, or it is outside the parameter's bounds
// (host/parameter_bounds.h).
[[nodiscard]] bool applyParameter(vornix::host::SystemConfig& config, const std::string& assignment,
                                  std::string& error);

// The default system as a configuration file, for `loquant config --print-default`.
std::string defaultSystemText(int speakers, std::uint32_t rate);

}  // namespace loquant::cli
