// The NATS publisher against a real nats-server on 127.0.0.1, started and
// stopped by each test: order, headers, the backlog across a lost server,
// and the drops past its bound.
#include "host/nats_publisher.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/cli_support.h"
#include "live/live_support_posix.h"

namespace vornix::host {
namespace {

using loquant::test::NatsServer;
using loquant::test::Received;
using loquant::test::Subscriber;
using namespace std::chrono_literals;

std::string payload(int n) {
  return "{\"n\":" + std::to_string(n) + "}";
}

NatsSettings settingsFor(std::uint16_t port, const std::string& prefix) {
  NatsSettings settings;
  std::string error;
  EXPECT_TRUE(parsePublishAddress("nats://127.0.0.1:" + std::to_string(port) + "/" + prefix,
                                  settings, error))
      << error;
  settings.firstBackoff = 20ms;
  settings.longestBackoff = 200ms;
  return settings;
}

class NatsPublisherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (loquant::test::natsServerProgram().empty()) {
      GTEST_SKIP() << "nats-server is not installed (scripts/setup installs it)";
    }
    port_ = loquant::test::freePort();
    ASSERT_NE(port_, 0);
  }
  std::uint16_t port_ = 0;
  loquant::test::ScratchDir scratch_;
};

TEST_F(NatsPublisherTest, EveryMessageArrivesInOrderOnItsSubjectWithTheInstance) {
  NatsServer server(port_);
  ASSERT_TRUE(server.start());
  Subscriber subscriber(server.url(), "live.>");
  ASSERT_TRUE(subscriber.ok());
  std::string error;
  auto publisher = NatsPublisher::start(settingsFor(port_, "live"), nullptr, error);
  ASSERT_NE(publisher, nullptr) << error;
  constexpr int kCount = 2000;
  for (int i = 0; i < kCount; ++i) {
    publisher->publish(i % 2 == 0 ? "speaker1.SpeechOn" : "conversation.Floor", payload(i), 7);
  }
  EXPECT_TRUE(publisher->finish(10s));
  EXPECT_EQ(publisher->stats().published, static_cast<std::uint64_t>(kCount));
  EXPECT_EQ(publisher->stats().dropped, 0U);
  const std::vector<Received> got = subscriber.waitFor(kCount, 10s);
  ASSERT_EQ(got.size(), static_cast<std::size_t>(kCount));
  for (int i = 0; i < kCount; ++i) {
    const Received& r = got[static_cast<std::size_t>(i)];
    ASSERT_EQ(r.payload, payload(i));
    EXPECT_EQ(r.subject, i % 2 == 0 ? "live.speaker1.SpeechOn" : "live.conversation.Floor");
    EXPECT_EQ(r.instance, "7");
  }
}

// JetStream: the server is killed mid-run and comes back on the same store;
// what was published while it was gone waits in the backlog and is stored
// after the acknowledged ones, once each, in order.
TEST_F(NatsPublisherTest, TheBacklogIsPublishedInOrderWhenTheServerComesBack) {
  NatsServer server(port_, scratch_ / "store");
  ASSERT_TRUE(server.start());
  NatsSettings settings = settingsFor(port_, "jet");
  settings.stream = "LOQUANT";
  std::string error;
  auto publisher = NatsPublisher::start(settings, nullptr, error);
  ASSERT_NE(publisher, nullptr) << error;
  for (int i = 0; i < 100; ++i) publisher->publish("a.b", payload(i), 1);
  for (int wait = 0; wait < 500 && publisher->stats().published < 100; ++wait) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(publisher->stats().published, 100U);
  server.stop();
  for (int i = 100; i < 300; ++i) publisher->publish("a.b", payload(i), 1);
  std::this_thread::sleep_for(300ms);  // several failed reconnections
  EXPECT_GT(publisher->stats().pending, 0U);
  ASSERT_TRUE(server.start());
  EXPECT_TRUE(publisher->finish(20s));
  const NatsPublisher::Stats stats = publisher->stats();
  EXPECT_EQ(stats.published, 300U);
  EXPECT_EQ(stats.dropped, 0U);
  EXPECT_GE(stats.reconnects, 1U);
  const std::vector<Received> stored = loquant::test::streamMessages(server.url(), "LOQUANT");
  ASSERT_EQ(stored.size(), 300U);
  for (int i = 0; i < 300; ++i) EXPECT_EQ(stored[static_cast<std::size_t>(i)].payload, payload(i));
}

// With no server at all, the backlog fills to its bound and the rest is
// counted as dropped; when a server comes, exactly the kept ones arrive.
TEST_F(NatsPublisherTest, MessagesPastTheBoundAreDroppedAndCounted) {
  NatsSettings settings = settingsFor(port_, "drop");
  settings.stream = "DROPS";
  // Subject "drop.a.b" and payload {"n":NN}: 16 bytes each.
  settings.backlogBytes = 16 * 40;  // room for exactly 40 of them
  std::string error;
  auto publisher = NatsPublisher::start(settings, nullptr, error);
  ASSERT_NE(publisher, nullptr) << error;  // an absent server is not an error
  for (int i = 10; i < 90; ++i) publisher->publish("a.b", payload(i), 1);
  NatsPublisher::Stats stats = publisher->stats();
  EXPECT_EQ(stats.pending, 40U);
  EXPECT_EQ(stats.dropped, 40U);
  EXPECT_LE(stats.pendingBytes, settings.backlogBytes);
  NatsServer server(port_, scratch_ / "store");
  ASSERT_TRUE(server.start());
  EXPECT_TRUE(publisher->finish(20s));
  stats = publisher->stats();
  EXPECT_EQ(stats.published, 40U);
  EXPECT_EQ(stats.dropped, 40U);
  const std::vector<Received> stored = loquant::test::streamMessages(server.url(), "DROPS");
  ASSERT_EQ(stored.size(), 40U);
  for (int i = 0; i < 40; ++i)
    EXPECT_EQ(stored[static_cast<std::size_t>(i)].payload, payload(10 + i));
}

TEST_F(NatsPublisherTest, WhatIsLeftWhenTheServerNeverComesCountsAsDropped) {
  std::string error;
  auto publisher = NatsPublisher::start(settingsFor(port_, "gone"), nullptr, error);
  ASSERT_NE(publisher, nullptr) << error;
  for (int i = 0; i < 5; ++i) publisher->publish("a.b", payload(i), 1);
  EXPECT_FALSE(publisher->finish(100ms));
  EXPECT_EQ(publisher->stats().dropped, 5U);
  EXPECT_EQ(publisher->stats().pending, 0U);
}

// A server whose certificate the publisher does not trust is refused at the
// start in one line; trusting it, the same server takes the message.
TEST_F(NatsPublisherTest, ARefusedServerCertificateStopsTheStart) {
  if (::access("/usr/bin/openssl", X_OK) != 0) GTEST_SKIP() << "openssl is not installed";
  const auto certificate = [this](const std::string& name) {
    const std::string command =
        "/usr/bin/openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
        "-addext subjectAltName=IP:127.0.0.1 -keyout '" +
        (scratch_ / (name + ".key")).string() + "' -out '" + (scratch_ / (name + ".pem")).string() +
        "' >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
  };
  ASSERT_TRUE(certificate("server"));
  ASSERT_TRUE(certificate("stranger"));
  NatsServer server(port_, {},
                    {"--tls", "--tlscert", (scratch_ / "server.pem").string(), "--tlskey",
                     (scratch_ / "server.key").string()});
  ASSERT_TRUE(server.start());
  const std::string base = "tls://127.0.0.1:" + std::to_string(port_) + "/secure?ca=";
  NatsSettings settings;
  std::string error;
  ASSERT_TRUE(parsePublishAddress(base + (scratch_ / "stranger.pem").string(), settings, error));
  EXPECT_EQ(NatsPublisher::start(settings, nullptr, error), nullptr);
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(error.find('\n'), std::string::npos) << error;

  ASSERT_TRUE(parsePublishAddress(base + (scratch_ / "server.pem").string(), settings, error));
  auto trusted = NatsPublisher::start(settings, nullptr, error);
  ASSERT_NE(trusted, nullptr) << error;
  trusted->publish("a.b", payload(1), 1);
  EXPECT_TRUE(trusted->finish(5s));
  EXPECT_EQ(trusted->stats().published, 1U);
}

TEST(NatsPublisherStart, AHostThatDoesNotResolveIsRefusedInOneLine) {
  NatsSettings settings;
  std::string error;
  ASSERT_TRUE(parsePublishAddress("nats://no-such-host.invalid:4222/x", settings, error));
  EXPECT_EQ(NatsPublisher::start(settings, nullptr, error), nullptr);
  EXPECT_NE(error.find("does not resolve"), std::string::npos) << error;
  EXPECT_EQ(error.find('\n'), std::string::npos);
}

TEST(NatsPublisherStart, AnUnreadableCredentialsFileIsRefused) {
  NatsSettings settings;
  std::string error;
  ASSERT_TRUE(parsePublishAddress("nats://127.0.0.1:4222/x?creds=/no/such.creds", settings, error));
  EXPECT_EQ(NatsPublisher::start(settings, nullptr, error), nullptr);
  EXPECT_NE(error.find("/no/such.creds"), std::string::npos) << error;
}

TEST(PublishAddress, ReadsHostPortPrefixAndOptions) {
  NatsSettings s;
  std::string error;
  ASSERT_TRUE(parsePublishAddress(
      "nats://events.local:4333/robot.one?backlog=1000&stream=EV&creds=u.creds", s, error))
      << error;
  EXPECT_EQ(s.host, "events.local");
  EXPECT_EQ(s.port, 4333);
  EXPECT_EQ(s.prefix, "robot.one");
  EXPECT_EQ(s.backlogBytes, 1000U);
  EXPECT_EQ(s.stream, "EV");
  EXPECT_EQ(s.credentials, "u.creds");
  EXPECT_EQ(s.server, "nats://events.local:4333");
  EXPECT_FALSE(s.tls);

  ASSERT_TRUE(parsePublishAddress("nats://h", s, error));
  EXPECT_EQ(s.port, 4222);
  EXPECT_EQ(s.prefix, "loquant");
  ASSERT_TRUE(parsePublishAddress("nats://h:1/p?ca=ca.pem", s, error));
  EXPECT_TRUE(s.tls);
  EXPECT_EQ(s.server, "tls://h:1");
}

TEST(PublishAddress, RefusesMalformedAddresses) {
  NatsSettings s;
  std::string error;
  for (const char* bad :
       {"http://h:4222/p", "nats://:4222/p", "nats://h:0/p", "nats://h:70000/p", "nats://h:x/p",
        "nats://h/p.*", "nats://h/p>", "nats://h/.p", "nats://h/p?backlog=0",
        "nats://h/p?colour=red", "nats://h/p?cert=c.pem"}) {
    EXPECT_FALSE(parsePublishAddress(bad, s, error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

TEST(SubjectToken, ReplacesWhatNatsGivesAMeaning) {
  EXPECT_EQ(subjectToken("speaker1"), "speaker1");
  EXPECT_EQ(subjectToken("a.b c*d>e\tf"), "a_b_c_d_e_f");
  EXPECT_EQ(subjectToken(""), "_");
}

}  // namespace
}  // namespace vornix::host
