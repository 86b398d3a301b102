#include "host/component_settings.h"

#include <variant>

namespace vornix::host {

const ParameterSpec* ComponentSettings::find(const char* name) const {
  for (const ParameterSpec& p : component_.parameters) {
    if (p.name == name) return &p;
  }
  return nullptr;
}

const ComponentConfig* ComponentSettings::target(const SystemConfig& config,
                                                 const std::string& name,
                                                 std::string& error) const {
  const ComponentConfig* found = config.find(name);
  if (found == nullptr || found == &component_) {
    error = where() + ": Target '" + name + "' is not another component";
    return nullptr;
  }
  return found;
}

std::optional<std::int64_t> ComponentSettings::integerOf(const ComponentConfig& component,
                                                         const char* name) {
  for (const ParameterSpec& p : component.parameters) {
    if (p.name != name) continue;
    if (const auto* value = std::get_if<std::int64_t>(&p.value)) return *value;
    return std::nullopt;
  }
  return std::nullopt;
}

std::string ComponentSettings::where() const {
  return kind_ + " '" + component_.name + "'";
}

bool ComponentSettings::text(const char* name, const std::optional<std::string>& fallback,
                             std::string& out, std::string& error) const {
  const ParameterSpec* p = find(name);
  if (p == nullptr) {
    if (fallback) {
      out = *fallback;
      return true;
    }
    error = where() + " needs the parameter " + name;
    return false;
  }
  const auto* text = std::get_if<std::string>(&p->value);
  if (text == nullptr || text->empty()) {
    error = where() + ": " + name + " must be a non-empty text";
    return false;
  }
  out = *text;
  return true;
}

bool ComponentSettings::integer(const char* name, std::int64_t low, std::int64_t high,
                                std::optional<std::int64_t> fallback, std::int64_t& out,
                                std::string& error) const {
  const ParameterSpec* p = find(name);
  if (p == nullptr) {
    if (fallback) {
      out = *fallback;
      return true;
    }
    error = where() + " needs the parameter " + name;
    return false;
  }
  const auto* value = std::get_if<std::int64_t>(&p->value);
  if (value == nullptr || *value < low || *value > high) {
    error = where() + ": " + name + " must be a whole number from " + std::to_string(low) + " to " +
            std::to_string(high);
    return false;
  }
  out = *value;
  return true;
}

}  // namespace vornix::host
