// Builds without a NATS client library cannot publish.
#include "event_publisher.h"

namespace loquant::cli {

std::unique_ptr<EventPublisher> EventPublisher::open(const std::string& /*address*/,
                                                     std::FILE* /*log*/, std::string& error) {
  error = "--publish: this build of loquant has no NATS client";
  return nullptr;
}

}  // namespace loquant::cli
