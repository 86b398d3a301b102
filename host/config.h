// The configuration of one system: its components (name, entry point,
// process, parameters of every type), their triggers (trigger name and a
// message-type pattern whose levels may be "*"), each trigger's post
// specifications, and the sizes of the shared-memory sections.
//
// Configurations are human-edited TOML files (docs/configuration.md). A bad
// configuration is refused at load with the file, the line and the reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "host/component_section.h"

namespace vornix::host {

// A message type written as dotted level names, e.g. "Speech.On"; "*" is the
// wildcard level. Empty: no type.
using TypePath = std::vector<std::string>;

struct ContentTriple {
  std::string type;  // "S", "I" or "F"
  std::string name;
  std::string value;
};

struct PostConfig {
  std::string name;
  TypePath type;
  TypePath context;       // non-empty: a context post
  std::string target;     // component name; empty = not addressed
  std::uint64_t ttl = 0;  // default time to live, µs
  bool drop = false;      // receivers with long queues may discard it
  std::uint32_t postTag = 0;
  std::vector<ContentTriple> content;
};

struct TriggerConfig {
  std::string name;
  TypePath pattern;
  std::vector<PostConfig> posts;
};

struct ComponentConfig {
  std::string name;
  std::string entry;  // an entry point of the library, or a built-in: "sink"
  std::uint16_t process = 1;
  std::vector<ParameterSpec> parameters;  // typed as the section stores them
  std::vector<TriggerConfig> triggers;
  int line = 0;  // where it was declared, for messages
};

struct SectionSizes {
  std::uint64_t component = 0;  // 0: computed from the components
  std::uint64_t process = 0;
  std::uint64_t queue = 64 * 1024;  // first size of each message queue
  std::uint64_t temporalMaximum = 64ULL << 20;
};

struct SystemConfig {
  std::string library;  // path of the component library; empty: the default
  std::optional<std::uint16_t> instance;
  SectionSizes sizes;
  std::vector<ComponentConfig> components;

  const ComponentConfig* find(std::string_view name) const;
};

struct ConfigError {
  std::string file;
  int line = 0;  // 0 when the error is not tied to a line
  std::string reason;
  // "file:line: reason"
  std::string text() const;
};

using ConfigResult = std::variant<SystemConfig, ConfigError>;

// The largest configuration file loadConfig reads. A system of a few hundred
// components takes well under a tenth of this.
inline constexpr std::size_t kMaximumConfigBytes = std::size_t{1} << 20;

// Reads and checks a configuration file: refused, without reading it whole,
// when it holds more than kMaximumConfigBytes (a device such as /dev/zero
// included), and refused when it is a recording (a WAV or AIFF file).
// Parameters that size allocations must lie within their bounds
// (parameter_bounds.h).
ConfigResult loadConfig(const std::string& path);
// Parses configuration text; `source` names it in errors.
ConfigResult parseConfig(std::string_view text, const std::string& source);

// Splits "A.B.*" into its level names.
TypePath parseTypePath(std::string_view text);

}  // namespace vornix::host
