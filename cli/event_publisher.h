// Publishing the messages a sink receives to other programs (`--publish
// nats://HOST:PORT/PREFIX` of `loquant run` and `loquant listen`): each one
// as the JSON object the JSON-lines output prints, on subject
// "<prefix>.<component>.<post>", the instance number in the header
// "Loquant-Instance". See docs/live.md.
//
// One implementation per build: event_publisher_nats.cpp where the NATS
// client library is at hand, event_publisher_absent.cpp (which refuses the
// option) elsewhere.
//
// Thread safety: publish() from any one thread at a time; open and finish
// from the controlling thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace loquant::cli {

class EventPublisher {
 public:
  // Null with one line in `error` (the address is malformed or does not
  // resolve, a file it names cannot be read, the server refuses the
  // credentials or the certificate, or this build cannot publish). Lines
  // about outages and drops go to `log`.
  [[nodiscard]] static std::unique_ptr<EventPublisher> open(const std::string& address,
                                                            std::FILE* log, std::string& error);
  virtual ~EventPublisher() = default;
  EventPublisher() = default;
  EventPublisher(const EventPublisher&) = delete;
  EventPublisher& operator=(const EventPublisher&) = delete;

  // `json` is one JSON object (no line break) for a message of `component`
  // on its post `post`.
  virtual void publish(std::string_view component, std::string_view post, std::string_view json,
                       std::uint16_t instance) = 0;
  // Publishes what is left (waiting at most a few seconds for the server)
  // and says on `log` what could not be published; true when nothing was
  // lost.
  virtual bool finish(std::FILE* log) = 0;
};

}  // namespace loquant::cli
