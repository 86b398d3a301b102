// The latency probe: the logic of Test, apart from its loop.
//
// For every message except those under the trigger "Startup" (whole name,
// any letter case) it writes two lines: "<type name>: sampling latency: <S>
// routing latency: <R>" and "<module id>>> ". S is the message's integer
// "latency", low 32 bits as unsigned; R is the routing latency in
// milliseconds from the message's creation time to now (see
// routingLatencyMillis). It posts nothing.
//
// Thread safety: none; used by one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "analysis/poster.h"
#include "runtime/data_message.h"
#include "util/clock.h"

namespace vornix {

// Milliseconds from `created` to `now` (microsecond times): 0 when `created`
// is 0; negative for a creation time in the future; truncated toward zero,
// computed in signed 64 bits and clamped to the signed 32-bit range, so that
// distant times never wrap.
std::int32_t routingLatencyMillis(Micros created, Micros now) noexcept;

class LatencyProbe {
 public:
  // The printable name of a message type (ZelAPI::typeName in a component).
  using TypeNamer = std::function<std::string(const MessageType&)>;

  // `out` is not owned and must outlive the probe.
  LatencyProbe(std::uint32_t moduleId, TypeNamer typeNamer, LineWriter& out)
      : moduleId_(moduleId), typeNamer_(std::move(typeNamer)), out_(out) {}

  // Writes the two lines for `message`, received under `triggerName` at
  // `now`; nothing for the trigger "Startup".
  void onMessage(const char* triggerName, const DataMessage& message, Micros now);

 private:
  std::uint32_t moduleId_;
  TypeNamer typeNamer_;
  LineWriter& out_;
};

}  // namespace vornix
