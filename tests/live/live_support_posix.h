// Helpers of the live tests: free ports on 127.0.0.1, a real nats-server
// started and stopped by the test, and a subscriber that keeps every message
// it receives.
#pragma once

#include <nats/nats.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace loquant::test {

// A TCP port on 127.0.0.1 that nothing listened on a moment ago.
std::uint16_t freePort();

// The nats-server program, or empty when it is not installed.
std::string natsServerProgram();

// A nats-server on 127.0.0.1:`port`, with JetStream storing under `store`
// when one is given. Killed (and waited for) by stop() and the destructor.
class NatsServer {
 public:
  NatsServer(std::uint16_t port, std::filesystem::path store = {});
  ~NatsServer();
  NatsServer(const NatsServer&) = delete;
  NatsServer& operator=(const NatsServer&) = delete;

  // Starts it and waits (up to 10 s) until it takes connections.
  bool start();
  // Kills it at once (SIGKILL: a server lost, not shut down) and waits.
  void stop();
  std::string url() const { return "nats://127.0.0.1:" + std::to_string(port_); }

 private:
  std::uint16_t port_;
  std::filesystem::path store_;
  pid_t pid_ = -1;
};

struct Received {
  std::string subject;
  std::string payload;
  std::string instance;  // the Loquant-Instance header
};

// Subscribes to `subject` on `url` (reconnecting if the server goes) and
// keeps what arrives.
class Subscriber {
 public:
  Subscriber(const std::string& url, const std::string& subject);
  ~Subscriber();
  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;
  bool ok() const { return subscription_ != nullptr; }
  // Waits up to `limit` for at least `count` messages; what arrived.
  std::vector<Received> waitFor(std::size_t count, std::chrono::milliseconds limit);

 private:
  static void onMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* self);
  natsConnection* connection_ = nullptr;
  natsSubscription* subscription_ = nullptr;
  std::mutex mutex_;
  std::vector<Received> received_;
};

// Every message of JetStream stream `stream` on `url`, in stream order.
std::vector<Received> streamMessages(const std::string& url, const std::string& stream);

}  // namespace loquant::test
