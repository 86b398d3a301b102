// The NATS publisher against a real three-server JetStream cluster on
// 127.0.0.1, started and stopped by the test: a server of the cluster lost
// mid-run, then the whole cluster, with a stream stored on all three.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_support.h"
#include "host/nats_publisher.h"
#include "live/live_support_posix.h"

namespace vornix::host {
namespace {

using loquant::test::NatsServer;
using loquant::test::Received;
using namespace std::chrono_literals;

constexpr const char* kStream = "CLUSTER";

// Every payload has the same size, so a backlog bound is a message count:
// subject "clu.a.b" (7 bytes) and payload {"n":NNNNN} (11 bytes).
constexpr std::size_t kMessageBytes = 18;
constexpr std::size_t kBacklogMessages = 64;

std::string payload(int n) {
  std::string digits = std::to_string(n);
  digits.insert(0, 5 - std::min<std::size_t>(5, digits.size()), '0');
  return "{\"n\":" + digits + "}";
}

// Three servers routed to each other, JetStream storing in their own
// folders; stop() kills one (SIGKILL), start() brings it back on the same
// ports and folder.
class Cluster {
 public:
  explicit Cluster(const loquant::test::ScratchDir& scratch) {
    std::vector<std::uint16_t> ports;
    while (ports.size() < 6) {
      const std::uint16_t port = loquant::test::freePort();
      if (port == 0) return;
      if (std::find(ports.begin(), ports.end(), port) == ports.end()) ports.push_back(port);
    }
    for (std::size_t i = 0; i < 3; ++i) {
      std::string routes;
      for (std::size_t j = 0; j < 3; ++j) {
        if (j == i) continue;
        if (!routes.empty()) routes += ",";
        routes += "nats://127.0.0.1:" + std::to_string(ports[3 + j]);
      }
      servers_.push_back(std::make_unique<NatsServer>(
          ports[i], scratch / ("store" + std::to_string(i)),
          std::vector<std::string>{"--name", "lq" + std::to_string(i), "--cluster_name", "lq",
                                   "--cluster", "nats://127.0.0.1:" + std::to_string(ports[3 + i]),
                                   "--routes", routes}));
    }
  }
  bool startAll() {
    for (auto& server : servers_) {
      if (!server->start()) return false;
    }
    return servers_.size() == 3;
  }
  NatsServer& operator[](std::size_t i) { return *servers_[i]; }

 private:
  std::vector<std::unique_ptr<NatsServer>> servers_;
};

// Waits (up to `limit`) until nothing waits in the publisher's backlog.
bool drained(const NatsPublisher& publisher, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (publisher.stats().pending != 0 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(10ms);
  }
  return publisher.stats().pending == 0;
}

TEST(NatsClusterFault, NothingWithinTheBacklogIsLostWhenServersOfTheClusterGo) {
  if (loquant::test::natsServerProgram().empty()) {
    GTEST_SKIP() << "nats-server is not installed (scripts/setup installs it)";
  }
  loquant::test::ScratchDir scratch;
  Cluster cluster(scratch);
  ASSERT_TRUE(cluster.startAll());
  ASSERT_TRUE(loquant::test::makeStream(cluster[0].url(), kStream, "clu.>", 3, 20s));

  NatsSettings settings;
  std::string error;
  ASSERT_TRUE(parsePublishAddress(cluster[0].url() + "/clu?stream=" + kStream + "&backlog=" +
                                      std::to_string(kMessageBytes * kBacklogMessages),
                                  settings, error))
      << error;
  settings.firstBackoff = 20ms;
  settings.longestBackoff = 200ms;
  auto publisher = NatsPublisher::start(settings, nullptr, error);
  ASSERT_NE(publisher, nullptr) << error;
  int next = 0;
  const auto publishSome = [&](int count) {
    for (int i = 0; i < count; ++i) publisher->publish("a.b", payload(next++), 1);
  };

  // The server the publisher is connected to is killed while a chunk is
  // on its way; the publisher goes on with another server of the cluster,
  // and the stream, kept on the two left, goes on taking messages.
  for (int chunk = 0; chunk < 10; ++chunk) {
    publishSome(32);
    if (chunk == 2) {
      cluster[0].stop();
    } else {
      ASSERT_TRUE(drained(*publisher, 20s)) << "chunk " << chunk;
    }
  }
  NatsPublisher::Stats stats = publisher->stats();
  EXPECT_EQ(stats.published, 320U);
  EXPECT_EQ(stats.dropped, 0U);
  EXPECT_GE(stats.reconnects, 1U);

  // The whole cluster gone: the backlog keeps exactly its bound, the rest
  // is counted as dropped.
  cluster[1].stop();
  cluster[2].stop();
  publishSome(100);
  stats = publisher->stats();
  EXPECT_EQ(stats.pending, kBacklogMessages);
  EXPECT_EQ(stats.dropped, 100U - kBacklogMessages);

  // The cluster back on its stores: the backlog is stored after the rest,
  // in order, each message once.
  ASSERT_TRUE(cluster.startAll());
  EXPECT_TRUE(publisher->finish(30s));
  stats = publisher->stats();
  EXPECT_EQ(stats.published, 320U + kBacklogMessages);
  EXPECT_EQ(stats.dropped, 100U - kBacklogMessages);

  const std::size_t expected = 320U + kBacklogMessages;
  std::vector<Received> stored;
  for (const auto until = std::chrono::steady_clock::now() + 10s;
       stored.size() < expected && std::chrono::steady_clock::now() < until;) {
    stored = loquant::test::streamMessages(cluster[1].url(), kStream);
    if (stored.size() < expected) std::this_thread::sleep_for(100ms);
  }
  ASSERT_EQ(stored.size(), expected);
  for (std::size_t i = 0; i < expected; ++i) {
    ASSERT_EQ(stored[i].payload, payload(static_cast<int>(i))) << "stream message " << i + 1;
    EXPECT_EQ(stored[i].subject, "clu.a.b");
  }
}

}  // namespace
}  // namespace vornix::host
