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

std::optional<std::string> parameterOutOfBounds(const ParameterSpec& parameter) {
  const auto* value = std::get_if<std::int64_t>(&parameter.value);
  if (value == nullptr) return std::nullopt;
  for (const ParameterBound& bound : kBounds) {
    if (parameter.name != bound.name) continue;
    if (*value <= bound.highest) return std::nullopt;
    return formatString("%s %lld is over its limit of %lld %s", bound.name,
                        static_cast<long long>(*value), static_cast<long long>(bound.highest),
                        bound.unit);
  }
  return std::nullopt;
}

}  // namespace vornix::host
