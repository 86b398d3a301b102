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
// when one is given, and `options` added to its command line. Killed (and waited for) by stop() and
// the destructor.
class NatsServer {
 public:
  NatsServer(std::uint16_t port, std::filesystem::path store = {},
             std::vector<std::string> options = {});
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
  std::vector<std::string> options_;  // more command-line options
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

// A process started by a test: `argv` with exactly the environment `env`
// ("NAME=value"), in `dir`, its output and errors to the files given, as the
// user `uid`/`gid` when `asUser` (the test runs as root). Killed (SIGKILL)
// if it still runs when the object goes.
class Process {
 public:
  Process(const std::vector<std::string>& argv, const std::vector<std::string>& env,
          const std::filesystem::path& dir, const std::filesystem::path& out,
          const std::filesystem::path& err, bool asUser = false, uid_t uid = 0, gid_t gid = 0);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  pid_t id() const { return pid_; }
  void signal(int number) const;
  // The exit status; -1 when it did not exit within `limit` (it is then
  // killed) or ended by a signal.
  int wait(std::chrono::milliseconds limit);

 private:
  pid_t pid_ = -1;
};

// A system user made for one test (as root) and deleted afterwards.
class ThrowAwayUser {
 public:
  ThrowAwayUser();
  ~ThrowAwayUser();
  ThrowAwayUser(const ThrowAwayUser&) = delete;
  ThrowAwayUser& operator=(const ThrowAwayUser&) = delete;
  bool made() const { return made_; }
  uid_t uid() const { return uid_; }
  gid_t gid() const { return gid_; }

 private:
  std::string name_;
  bool made_ = false;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
};

// Names of the entries of /dev/shm owned by `uid`.
std::vector<std::string> sharedMemoryOf(uid_t uid);

// Makes JetStream stream `stream` on `url` over `subjects`, stored in files
// on `replicas` servers, retrying for up to `limit` (a cluster takes a few
// seconds to elect its leader). True once made.
bool makeStream(const std::string& url, const std::string& stream, const std::string& subjects,
                int replicas, std::chrono::milliseconds limit);

// Every message of JetStream stream `stream` on `url`, in stream order.
std::vector<Received> streamMessages(const std::string& url, const std::string& stream);

}  // namespace loquant::test
