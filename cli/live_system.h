// What the live verbs (`run`, `listen`) start with, made in one place: the
// NATS publisher when one is asked for, then the system with its component
// library, and the line each sink record is published as.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "event_publisher.h"
#include "host/config.h"
#include "host/system.h"

namespace loquant::cli {

struct LiveSystem {
  std::unique_ptr<EventPublisher> publisher;  // none without --publish
  std::unique_ptr<vornix::host::System> system;
};

// Opens the publisher of `publish` (when not empty) and then creates the
// system of `config` with the component library `library` (the
// configuration's when empty), its log on stderr. On a failure prints
// "loquant VERB: reason" on stderr (a missing entry point has been reported
// by the system already) and returns false; nothing is left running.
[[nodiscard]] bool startLiveSystem(std::string_view verb, const vornix::host::SystemConfig& config,
                                   const std::string& library, const std::string& publish,
                                   LiveSystem& live);

// Publishes one printed JSON line (ending in a newline, which is not sent)
// for `record`, when there is a publisher.
void publishLine(const LiveSystem& live, const vornix::host::SinkRecord& record,
                 std::string_view jsonLine, std::uint16_t instance);

}  // namespace loquant::cli
