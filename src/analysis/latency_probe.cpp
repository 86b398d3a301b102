#include "analysis/latency_probe.h"

#include <algorithm>
#include <limits>

#include "util/text.h"

namespace vornix {

std::int32_t routingLatencyMillis(Micros created, Micros now) noexcept {
  if (created == 0) return 0;
  constexpr std::uint64_t kInt64Max =
      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  const bool future = created > now;
  const std::uint64_t distance = future ? created - now : now - created;
  const auto millis = static_cast<std::int64_t>(std::min(distance, kInt64Max) / 1000u);
  const std::int64_t signedMillis = future ? -millis : millis;
  return static_cast<std::int32_t>(
      std::clamp<std::int64_t>(signedMillis, std::numeric_limits<std::int32_t>::min(),
                               std::numeric_limits<std::int32_t>::max()));
}

void LatencyProbe::onMessage(const char* triggerName, const DataMessage& message, Micros now) {
  if (triggerName != nullptr && equalsNoCase(triggerName, "Startup")) return;
  const auto sampling =
      static_cast<std::uint32_t>(static_cast<std::uint64_t>(message.getInt("latency")));
  const std::int32_t routing = routingLatencyMillis(message.getCreatedTime(), now);
  std::string text = typeNamer_ ? typeNamer_(message.getType()) : std::string();
  text += ": sampling latency: ";
  text += std::to_string(sampling);
  text += " routing latency: ";
  text += std::to_string(routing);
  text += '\n';
  text += std::to_string(moduleId_);
  text += ">> \n";
  out_.write(text);
}

}  // namespace vornix
