// Reading the settings of a built-in component (a file source, a capture)
// from its configuration entry, with one wording of what is wrong for all of
// them: "<kind> '<name>' needs the parameter X", "...: X must be ...".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "host/config.h"

namespace vornix::host {

class ComponentSettings {
 public:
  // `kind` names the component in messages ("source", "capture").
  ComponentSettings(const ComponentConfig& component, std::string kind)
      : component_(component), kind_(std::move(kind)) {}

  // The text parameter `name`, or `fallback` when it is absent; false with
  // the reason in `error` when it is absent without a fallback, not a text,
  // or empty.
  bool text(const char* name, const std::optional<std::string>& fallback, std::string& out,
            std::string& error) const;
  // The integer parameter `name` within [low, high], or `fallback` when it
  // is absent; false with the reason otherwise.
  bool integer(const char* name, std::int64_t low, std::int64_t high,
               std::optional<std::int64_t> fallback, std::int64_t& out, std::string& error) const;

  // The component named by the text parameter "Target": another component
  // of `config`; null with the reason in `error` otherwise. `name` is the
  // "Target" text already read.
  const ComponentConfig* target(const SystemConfig& config, const std::string& name,
                                std::string& error) const;
  // The integer parameter `name` of `component`, if it has one.
  static std::optional<std::int64_t> integerOf(const ComponentConfig& component, const char* name);

  // "<kind> '<name>'", the start of every message about the component.
  std::string where() const;

 private:
  const ParameterSpec* find(const char* name) const;

  const ComponentConfig& component_;
  std::string kind_;
};

}  // namespace vornix::host
