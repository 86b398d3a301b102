#include "host/parameter_bounds.h"

#include <array>
#include <variant>

#include "util/format.h"

namespace vornix::host {

namespace {

// 2^20: a tracker of this many samples takes about 24 MiB, a pitch ring of
// this many values 8 MiB. BufferSize's limit is the audio source's largest
// frame, so that every frame a source can make has a component to take it.
constexpr std::array<ParameterBound, 2> kBounds = {{
    {"BufferSize", std::int64_t{1} << 20, "samples"},
    {"PitchMonitorWindow", std::int64_t{1} << 20, "pitch values"},
}};

}  // namespace

std::span<const ParameterBound> parameterBounds() noexcept {
  return kBounds;
}

bool parameterWithinBounds(const ParameterSpec& parameter, std::string& error) {
  const auto* value = std::get_if<std::int64_t>(&parameter.value);
  if (value == nullptr) return true;
  for (const ParameterBound& bound : kBounds) {
    if (parameter.name != bound.name) continue;
    if (*value <= bound.highest) return true;
    error = formatString("%s %lld is over its limit of %lld %s", bound.name,
                         static_cast<long long>(*value), static_cast<long long>(bound.highest),
                         bound.unit);
    return false;
  }
  return true;
}

}  // namespace vornix::host
