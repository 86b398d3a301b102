// NatsPublisher: hands messages to a NATS server from a thread of its own,
// so that a slow or absent server never holds up the system.
//
// Every message goes into a backlog bounded in bytes (subject + payload); a
// worker thread publishes the backlog in order. With core NATS a batch counts
// as published once a round trip to the server (a flush) has confirmed it;
// with a JetStream stream configured, every message is acknowledged by the
// stream (and carries a message id, so a retried message is stored once).
// A message is only removed from the backlog once confirmed, so nothing
// within the bound is lost when the server goes away: the worker reconnects
// with a doubling backoff, to the configured server or any other of its
// cluster that a server announced, and publishes the backlog from where it
// stood (a subscriber may see a message of an unconfirmed batch twice). A
// message that does not fit the bound is dropped, counted and reported,
// never silently.
//
// Thread safety: publish() and stats() from any thread; finish() and the
// destructor from the owning thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace vornix::host {

struct NatsSettings {
  std::string server;  // "nats://host:port" or "tls://host:port"
  std::string host;
  std::uint16_t port = 4222;
  std::string prefix = "loquant";
  std::size_t backlogBytes = 8U << 20;  // "backlog=BYTES"
  std::string stream;                   // "stream=NAME": JetStream publishes
  std::string credentials;              // "creds=FILE"
  std::string caFile;                   // "ca=FILE" (implies TLS)
  std::string certFile;                 // "cert=FILE" (with key=FILE)
  std::string keyFile;
  bool tls = false;
  std::chrono::milliseconds firstBackoff{100};
  std::chrono::milliseconds longestBackoff{5000};
};

// Reads "nats://HOST:PORT/PREFIX[?backlog=BYTES&stream=NAME&creds=FILE&
// ca=FILE&cert=FILE&key=FILE]" ("tls://" for TLS). PORT defaults to 4222,
// PREFIX to "loquant". False with the reason in `error` when malformed.
[[nodiscard]] bool parsePublishAddress(std::string_view text, NatsSettings& out,
                                       std::string& error);

// `text` as one subject token: characters NATS gives a meaning ('.', '*',
// '>', white space) and control characters become '_'; empty becomes "_".
std::string subjectToken(std::string_view text);

class NatsPublisher {
 public:
  struct Stats {
    std::uint64_t published = 0;  // confirmed by the server
    std::uint64_t dropped = 0;    // refused: the backlog was full
    std::uint64_t pending = 0;    // in the backlog now
    std::uint64_t pendingBytes = 0;
    std::uint64_t reconnects = 0;  // connections made after the first
  };

  // Resolves the host, checks the option files, tries a first connection
  // and starts the worker. Null with one line in `error` when the host does
  // not resolve, a file cannot be read, the server refuses the credentials
  // or its TLS certificate is refused, or the stream cannot be made. A
  // server that cannot be reached yet is not an error: messages wait in the
  // backlog (and a line on `log` says so).
  [[nodiscard]] static std::unique_ptr<NatsPublisher> start(const NatsSettings& settings,
                                                            std::FILE* log, std::string& error);
  ~NatsPublisher();  // finish(0) if not done
  NatsPublisher(const NatsPublisher&) = delete;
  NatsPublisher& operator=(const NatsPublisher&) = delete;

  // Queues `payload` on `subject` (the prefix is added here), with header
  // "Loquant-Instance: <instance>". Never blocks on the network.
  void publish(std::string_view subject, std::string_view payload, std::uint16_t instance);

  // Publishes what is left for up to `limit`, then stops the worker. True
  // when nothing is left unpublished; what is left counts as dropped.
  bool finish(std::chrono::milliseconds limit);

  Stats stats() const;
  const NatsSettings& settings() const noexcept;

  struct State;
  class Key {
    friend class NatsPublisher;
    Key() = default;
  };
  NatsPublisher(Key, std::unique_ptr<State> state);

 private:
  std::unique_ptr<State> state_;
};

}  // namespace vornix::host
