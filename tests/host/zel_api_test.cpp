// The component handle over real sections: waiting with drop flags, post
// routing by name and by type, content triples, the ttl and the store, the
// delivery count, direct posts, refused and damaged trigger specifications.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <limits>
#include <thread>
#include <vector>

#include "handle_rig.h"
#include "runtime/trigger_spec.h"
#include "util/bytes.h"

namespace vornix::testing {
namespace {

using host::PostSpecBytes;

std::unique_ptr<DataMessage> numbered(std::int64_t n, std::uint8_t dropFlags) {
  auto message = std::make_unique<DataMessage>();
  message->setInt("n", n);
  message->setDropFlags(dropFlags);
  return message;
}

bool hasLine(HandleRig& rig, const std::string& text) {
  const std::vector<std::string> texts = rig.log().texts();
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

class HandleTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(rig.ready()); }
  HandleRig rig;
};

// ---- waiting ----

TEST_F(HandleTest, LongQueueShedsDroppableMessagesDownToOneHundred) {
  ZelAPI& api = rig.handle();
  for (int i = 1; i <= 150; ++i)
    EXPECT_TRUE(api.queuePair(HandleRig::trigger("T", {}), numbered(i, 1)));
  const char* name = nullptr;
  const DataMessage* message = api.waitForNewMessage(100, &name);
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(message->getInt("n"), 50);
  EXPECT_STREQ(name, "T");
  EXPECT_EQ(api.queuedPairs(), 100U);
  EXPECT_EQ(api.receivedCount(), 1U);
}

TEST_F(HandleTest, FirstMessageWithoutDropFlagIsReturnedAndNothingShed) {
  ZelAPI& api = rig.handle();
  EXPECT_TRUE(api.queuePair(HandleRig::trigger("T", {}), numbered(1, 0)));
  for (int i = 2; i <= 150; ++i)
    EXPECT_TRUE(api.queuePair(HandleRig::trigger("T", {}), numbered(i, 1)));
  const DataMessage* message = api.waitForNewMessage(100, nullptr);
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(message->getInt("n"), 1);
  EXPECT_EQ(api.queuedPairs(), 149U);
}

TEST_F(HandleTest, PairWithoutMessageStopsTheSheddingAndIsReturned) {
  ZelAPI& api = rig.handle();
  for (int i = 1; i <= 10; ++i)
    EXPECT_TRUE(api.queuePair(HandleRig::trigger("T", {}), numbered(i, 1)));
  EXPECT_TRUE(api.queuePair(HandleRig::trigger("Bare", {}), nullptr));
  for (int i = 12; i <= 150; ++i)
    EXPECT_TRUE(api.queuePair(HandleRig::trigger("T", {}), numbered(i, 1)));
  const char* name = nullptr;
  EXPECT_EQ(api.waitForNewMessage(100, &name), nullptr);
  EXPECT_STREQ(name, "Bare");
  EXPECT_EQ(api.queuedPairs(), 139U);
}

TEST_F(HandleTest, PairWithoutTriggerKeepsTheCurrentTrigger) {
  ZelAPI& api = rig.handle();
  HandleRig::enter(api, HandleRig::trigger("First", {HandleRig::post("Out", 2)}));
  EXPECT_TRUE(api.queuePair(nullptr, numbered(2, 0)));
  const char* name = "unchanged";
  ASSERT_NE(api.waitForNewMessage(100, &name), nullptr);
  EXPECT_EQ(name, nullptr);
  // Posts are still routed by the trigger of the earlier pair.
  EXPECT_EQ(api.postOutputMessage("Out", nullptr), 1);
}

TEST_F(HandleTest, WaitTimesOutWithNullAndAPairQueuedLaterWakesIt) {
  ZelAPI& api = rig.handle();
  EXPECT_EQ(api.waitForNewMessage(5, nullptr), nullptr);
  std::thread host([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(api.queuePair(HandleRig::trigger("Late", {}), numbered(7, 0)));
  });
  const DataMessage* message = api.waitForNewMessage(5000, nullptr);
  host.join();
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(message->getInt("n"), 7);
}

TEST_F(HandleTest, SignalOfAPairTakenWithoutWaitingIsNotATimeOut) {
  ZelAPI& api = rig.handle();
  // Both pairs are queued before the first wait: neither call needs to wait,
  // so their two signals are still counted afterwards.
  EXPECT_TRUE(api.queuePair(HandleRig::trigger("A", {}), numbered(1, 0)));
  EXPECT_TRUE(api.queuePair(HandleRig::trigger("A", {}), numbered(2, 0)));
  ASSERT_NE(api.waitForNewMessage(100, nullptr), nullptr);
  ASSERT_NE(api.waitForNewMessage(100, nullptr), nullptr);
  std::thread host([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(api.queuePair(HandleRig::trigger("A", {}), numbered(3, 0)));
  });
  // The counted signals find no pair: the wait goes on until the third.
  const DataMessage* message = api.waitForNewMessage(5000, nullptr);
  host.join();
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(message->getInt("n"), 3);
  // wake() ends a wait without a message, as a time-out would.
  EXPECT_TRUE(api.wake());
  EXPECT_EQ(api.waitForNewMessage(5000, nullptr), nullptr);
}

TEST_F(HandleTest, OnTheRealClockAWaitForTheRunningFlagOnlyLastsUntilWokenOrASecond) {
  ZelAPI& api = rig.handle();
  using Clock = std::chrono::steady_clock;
  // Its 5 ms pass many times before the wake-up at 200 ms ends it.
  std::thread host([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(api.wake());
  });
  auto start = Clock::now();
  EXPECT_EQ(api.waitForNewMessage(5, nullptr, ZelAPI::TimeoutUse::runningFlagOnly), nullptr);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(150));
  host.join();
  // Without one, it ends after a second, so a lost wake-up cannot hold a
  // stop for ever; a wait that only tries still only tries.
  start = Clock::now();
  EXPECT_EQ(api.waitForNewMessage(5, nullptr, ZelAPI::TimeoutUse::runningFlagOnly), nullptr);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(990));
  start = Clock::now();
  EXPECT_EQ(api.waitForNewMessage(0, nullptr, ZelAPI::TimeoutUse::runningFlagOnly), nullptr);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(900));
}

// A cooperative host in miniature: suspending "runs the host", which queues
// what the test planned for that suspension.
class CooperativeHost final : public WaitObserver {
 public:
  explicit CooperativeHost(ZelAPI*& api) : api_(api) {}
  void waiting(std::uint32_t, std::uint32_t timeoutMs) override { told.push_back(timeoutMs); }
  void resumed(std::uint32_t) override { ++resumes; }
  void suspend(std::uint32_t) override {
    const auto n = static_cast<std::size_t>(++suspends);
    if (n <= plan.size() && plan[n - 1]) {
      EXPECT_TRUE(api_->queuePair(HandleRig::trigger("Coop", {}), numbered(suspends, 0)));
    } else if (n > plan.size()) {
      EXPECT_TRUE(api_->wake());  // the host's time-out
    }
  }
  void checkpoint(std::uint32_t) override { ++checkpoints; }
  std::vector<bool> plan;  // per suspension: queue a message, or nothing (a spurious resume)
  std::vector<std::uint32_t> told;
  int suspends = 0, resumes = 0, checkpoints = 0;

 private:
  ZelAPI*& api_;
};

TEST_F(HandleTest, CooperativeWaitsHandControlToTheHostInsteadOfBlocking) {
  ZelAPI& api = rig.handle();
  ZelAPI* raw = &api;
  CooperativeHost host(raw);
  rig.context().waitObserver = &host;
  // A resume with nothing queued suspends again; the second resume brings
  // the message queued then. The host is told the time-out that acts.
  host.plan = {false, true};
  const DataMessage* message = api.waitForNewMessage(50, nullptr);
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(message->getInt("n"), 2);
  EXPECT_EQ(host.suspends, 2);
  EXPECT_EQ(host.resumes, 1);
  // A time-out that only checks the running flag has no limit on the host's
  // clock; the host's wake-up ends it without a message.
  host.plan.clear();
  host.suspends = 0;
  EXPECT_EQ(api.waitForNewMessage(50, nullptr, ZelAPI::TimeoutUse::runningFlagOnly), nullptr);
  EXPECT_EQ(host.told, (std::vector<std::uint32_t>{50, 0xFFFFFFFFU}));
  // A wait that only tries never suspends, but is a checkpoint, as is the
  // running flag.
  const int suspends = host.suspends;
  EXPECT_EQ(api.waitForNewMessage(0, nullptr), nullptr);
  EXPECT_TRUE(api.keepRunning());
  EXPECT_EQ(host.suspends, suspends);
  EXPECT_EQ(host.checkpoints, 2);
  rig.context().waitObserver = nullptr;
}

// ---- routing by name and by type ----

TEST_F(HandleTest, EmptyPostNameDeliversUnderEveryPostSpecification) {
  ZelAPI& api = rig.handle();
  HandleRig::enter(api, HandleRig::trigger("T", {HandleRig::post("A", 2), HandleRig::post("B", 3),
                                                 HandleRig::post("C", 4)}));
  EXPECT_EQ(api.postOutputMessage("", nullptr), 3);
  const std::vector<DataMessage> out = rig.delivered();
  ASSERT_EQ(out.size(), 3U);
  EXPECT_EQ(out[0].toId(), 2U);
  EXPECT_EQ(out[1].toId(), 3U);
  EXPECT_EQ(out[2].toId(), 4U);
  EXPECT_EQ(out[2].fromId(), HandleRig::kPoster);
  EXPECT_EQ(api.deliveredCount(), 3U);
  EXPECT_EQ(api.postCount(), 1U);
}

TEST_F(HandleTest, NullPostNameActsAsTheEmptyName) {
  ZelAPI& api = rig.handle();
  HandleRig::enter(api,
                   HandleRig::trigger("T", {HandleRig::post("A", 2), HandleRig::post("B", 3)}));
  EXPECT_EQ(api.postOutputMessage(nullptr, nullptr), 2);
}

TEST_F(HandleTest, UnmatchedNameFallsBackToTheMessageTypeWithWildcards) {
  ZelAPI& api = rig.handle();
  PostSpecBytes other = HandleRig::post("Other", 3, typeOf({7, 7}));
  PostSpecBytes match = HandleRig::post("Match", 2, typeOf({5, 7}));
  match.postTag = 77;
  HandleRig::enter(api, HandleRig::trigger("T", {other, match}));
  auto message = std::make_unique<DataMessage>();
  message->setType(typeOf({5, 0xFFFF}));
  EXPECT_EQ(api.postOutputMessage("NoSuchName", message.release()), 1);
  const std::vector<DataMessage> out = rig.delivered();
  ASSERT_EQ(out.size(), 1U);
  EXPECT_EQ(out[0].getType(), typeOf({5, 7}));
  EXPECT_EQ(out[0].toId(), 2U);
  EXPECT_EQ(out[0].postTag(), 77U);
}

TEST_F(HandleTest, ContextPostGetsTheControlType) {
  ZelAPI& api = rig.handle();
  PostSpecBytes spec = HandleRig::post("Ctl", 2);
  spec.context = typeOf({5, 5});
  HandleRig::enter(api, HandleRig::trigger("T", {spec}));
  EXPECT_EQ(api.postOutputMessage("Ctl", nullptr), 1);
  const std::vector<DataMessage> out = rig.delivered();
  ASSERT_EQ(out.size(), 1U);
  EXPECT_EQ(out[0].getType(), controlType());
  EXPECT_EQ(out[0].getContext(), typeOf({5, 5}));
}

TEST_F(HandleTest, NoMatchingSpecificationGivesMinusTwoAndItsLine) {
  ZelAPI& api = rig.handle();
  HandleRig::enter(api, HandleRig::trigger("T", {HandleRig::post("A", 2)}));
  auto message = std::make_unique<DataMessage>();
  message->setType(typeOf({9}));
  EXPECT_EQ(api.postOutputMessage("Nothing", message.release()), -2);
  EXPECT_TRUE(
      hasLine(rig, "[poster] Posting nothing - no post specs match for post name 'Nothing'"));
  EXPECT_TRUE(rig.delivered().empty());
}

// ---- content triples ----

TEST_F(HandleTest, ContentTriplesAreAddedOnlyWhenTheCountFitsThePieces) {
  ZelAPI& api = rig.handle();
  PostSpecBytes two = HandleRig::post("Two", 2);
  two.content = "S||Label||on||I||Count||12";
  two.tripleCount = 2;
  PostSpecBytes three = HandleRig::post("Three", 2);
  three.content = two.content;
  three.tripleCount = 3;
  HandleRig::enter(api, HandleRig::trigger("T", {two, three}));
  EXPECT_EQ(api.postOutputMessage("Two", nullptr), 1);
  EXPECT_EQ(api.postOutputMessage("Three", nullptr), 1);
  const std::vector<DataMessage> out = rig.delivered();
  ASSERT_EQ(out.size(), 2U);
  EXPECT_STREQ(out[0].getString("Label"), "on");
  EXPECT_EQ(out[0].getInt("Count"), 12);
  bool found = true;
  out[1].getInt("Count", &found);
  EXPECT_FALSE(found);
  EXPECT_EQ(out[1].getString("Label"), nullptr);
}

// ---- ttl, the store, the delivery count ----

TEST_F(HandleTest, DefaultTtlIsAppliedAndTheMessageIsStored) {
  ZelAPI& api = rig.handle();
  PostSpecBytes stored = HandleRig::post("Stored", 2);
  stored.defaultTtl = 2'000'000;
  PostSpecBytes plain = HandleRig::post("Stored", 3);
  HandleRig::enter(api, HandleRig::trigger("T", {stored, plain}));
  EXPECT_EQ(api.postOutputMessage("Stored", nullptr), 2);
  const std::vector<DataMessage> out = rig.delivered();
  ASSERT_EQ(out.size(), 2U);
  EXPECT_EQ(out[0].ttl(), 2'000'000U);
  ASSERT_NE(out[0].memoryId(), 0U);
  const auto record = rig.temporalSection().readMessage(out[0].memoryId());
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(DataMessage(*record).toId(), 2U);
  // The same message object went on under a spec without ttl: the store id
  // of the first delivery must not travel with it.
  EXPECT_EQ(out[1].ttl(), 0U);
  EXPECT_EQ(out[1].memoryId(), 0U);
}

// A store that cannot take the message (it would pass the store's largest
// size, 8 MB here) fails that delivery only: nothing reaches the system
// queue for it, and the store goes on taking messages that fit.
TEST_F(HandleTest, AMessageTheStoreCannotTakeFailsItsDeliveryAndTheStoreGoesOn) {
  ZelAPI& api = rig.handle();
  PostSpecBytes stored = HandleRig::post("Stored", 2);
  stored.defaultTtl = 2'000'000;
  HandleRig::enter(api, HandleRig::trigger("T", {stored}));

  auto big = std::make_unique<DataMessage>();
  ASSERT_TRUE(big->setData("blob", std::vector<std::uint8_t>(9U << 20, 0x11)));
  EXPECT_EQ(api.postOutputMessage("Stored", big.release()), -1);
  EXPECT_TRUE(hasLine(rig, "[poster] Failed to deliver posted msg to 2"));
  EXPECT_TRUE(hasLine(rig, "[poster] No msgs were delivered at postOutputMessage"));
  EXPECT_TRUE(rig.delivered().empty());

  auto small = std::make_unique<DataMessage>();
  small->setInt("n", 7);
  EXPECT_EQ(api.postOutputMessage("Stored", small.release()), 1);
  const std::vector<DataMessage> out = rig.delivered();
  ASSERT_EQ(out.size(), 1U);
  ASSERT_NE(out[0].memoryId(), 0U);
  const auto record = rig.temporalSection().readMessage(out[0].memoryId());
  ASSERT_TRUE(record.has_value());
  bool found = false;
  EXPECT_EQ(DataMessage(*record).getInt("n", &found), 7);
  EXPECT_TRUE(found);
}

TEST_F(HandleTest, TwoOfThreeDeliveriesGiveTwoAndTheFailureIsLogged) {
  ZelAPI& api = rig.handle();
  PostSpecBytes early = HandleRig::post("P", 3);
  // createdTime + ttl wraps to 20 ms before createdTime: refused.
  early.defaultTtl = std::numeric_limits<std::uint64_t>::max() - 19'999;
  HandleRig::enter(
      api, HandleRig::trigger("T", {HandleRig::post("P", 2), early, HandleRig::post("P", 4)}));
  EXPECT_EQ(api.postOutputMessage("P", nullptr), 2);
  EXPECT_EQ(rig.delivered().size(), 2U);
  EXPECT_TRUE(hasLine(rig, "[poster] Failed to deliver posted msg to 3"));
  EXPECT_EQ(api.deliveredCount(), 2U);
}

TEST_F(HandleTest, AllDeliveriesFailedGivesMinusOne) {
  ZelAPI& api = rig.handle();
  PostSpecBytes early = HandleRig::post("P", 3);
  early.defaultTtl = std::numeric_limits<std::uint64_t>::max() - 19'999;
  HandleRig::enter(api, HandleRig::trigger("T", {early}));
  EXPECT_EQ(api.postOutputMessage("P", nullptr), -1);
  EXPECT_TRUE(hasLine(rig, "[poster] No msgs were delivered at postOutputMessage"));
}

// ---- direct posts ----

TEST_F(HandleTest, DirectPostsWithoutATrigger) {
  ZelAPI& api = rig.handle();
  EXPECT_EQ(api.postOutputMessage("X", nullptr), -3);
  EXPECT_EQ(api.postOutputMessage("X", new DataMessage()), -3);
  EXPECT_TRUE(hasLine(rig, "[poster] Posting none - out of context"));
  EXPECT_TRUE(rig.delivered().empty());

  auto addressed = std::make_unique<DataMessage>();
  addressed->setToId(2);
  addressed->setPostTag(31);
  EXPECT_EQ(api.postOutputMessage("X", addressed.release()), 1);
  auto typed = std::make_unique<DataMessage>();
  typed->setType(typeOf({5}));
  EXPECT_EQ(api.postOutputMessage(nullptr, typed.release()), 1);
  const std::vector<DataMessage> out = rig.delivered();
  ASSERT_EQ(out.size(), 2U);
  // A direct post keeps its header: no sender or tag is filled in.
  EXPECT_EQ(out[0].toId(), 2U);
  EXPECT_EQ(out[0].postTag(), 31U);
  EXPECT_EQ(out[0].fromId(), 0U);
  EXPECT_EQ(out[0].chainLength(), 1U);
  EXPECT_EQ(out[1].getType(), typeOf({5}));
}

// ---- damaged trigger specifications ----

class DamagedTriggerTest
    : public HandleTest,
      public ::testing::WithParamInterface<std::pair<std::size_t, std::uint16_t>> {};

TEST_P(DamagedTriggerTest, WaitReturnsTheMessageAndPostsAreRefused) {
  std::vector<std::uint8_t> bytes = *host::buildTriggerSpec("T", {HandleRig::post("A", 2)});
  const auto [offset, value] = GetParam();
  bytes::storeAt<std::uint16_t>(bytes.data() + offset, value);
  auto trigger = std::make_unique<DataMessage>();
  trigger->setData("TriggerSpec", bytes);
  ZelAPI& api = rig.handle();
  EXPECT_TRUE(api.queuePair(std::move(trigger), numbered(3, 0)));
  const char* name = nullptr;
  const DataMessage* message = api.waitForNewMessage(100, &name);
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(message->getInt("n"), 3);
  ASSERT_NE(name, nullptr);
  EXPECT_STREQ(name, "");
  EXPECT_EQ(api.postOutputMessage("A", nullptr), -2);
  EXPECT_TRUE(rig.delivered().empty());
  EXPECT_TRUE(
      hasLine(rig, "[poster] Posting nothing - damaged trigger specification for post name 'A'"));
}

INSTANTIATE_TEST_SUITE_P(
    Counts, DamagedTriggerTest,
    ::testing::Values(std::pair<std::size_t, std::uint16_t>{TriggerSpecView::kPostSpecCount, 2},
                      std::pair<std::size_t, std::uint16_t>{TriggerSpecView::kFirstCount, 1},
                      std::pair<std::size_t, std::uint16_t>{TriggerSpecView::kThirdCount, 0xFFFF}));

TEST(TriggerSpecView, UnterminatedPostTextsAreRefused) {
  std::vector<std::uint8_t> bytes = *host::buildTriggerSpec("T", {HandleRig::post("A", 2)});
  const std::size_t spec = TriggerSpecView::kArrays;
  ASSERT_TRUE(TriggerSpecView::parse(bytes).has_value());
  std::vector<std::uint8_t> trigger = bytes;
  std::fill(trigger.begin() + TriggerSpecView::kTriggerName,
            trigger.begin() + TriggerSpecView::kFirstCount, 'x');
  EXPECT_FALSE(TriggerSpecView::parse(trigger).has_value());
  std::vector<std::uint8_t> name = bytes;
  std::fill(name.begin() + spec + PostSpecView::kPostName,
            name.begin() + spec + PostSpecView::kContent, 'x');
  EXPECT_FALSE(TriggerSpecView::parse(name).has_value());
  std::vector<std::uint8_t> content = bytes;
  std::fill(content.begin() + spec + PostSpecView::kContent, content.end(), 'x');
  EXPECT_FALSE(TriggerSpecView::parse(content).has_value());
  // Cut one byte short of the last post specification.
  bytes.pop_back();
  EXPECT_FALSE(TriggerSpecView::parse(bytes).has_value());
  EXPECT_FALSE(
      TriggerSpecView::parse(std::span<const std::uint8_t>(bytes.data(), 415)).has_value());
}

// ---- the handle's lock ----

// A sink that, while the poster's handle lock is held (a failed delivery is
// reported under it), lets another thread post through the same handle.
class BlockingSink final : public LogSink {
 public:
  explicit BlockingSink(ZelAPI*& api) : api_(api) {}
  bool take(LogEntry entry) override {
    if (entry.text().find("Failed to deliver") != std::string_view::npos && result_ == 0) {
      std::thread other([this] { result_ = api_->postOutputMessage("P", new DataMessage()); });
      other.join();
    }
    return true;
  }
  int result() const { return result_; }

 private:
  ZelAPI*& api_;
  int result_ = 0;
};

TEST_F(HandleTest, PostThatCannotTakeTheLockGivesMinusOneAndStillOwnsTheMessage) {
  ZelAPI* api = nullptr;
  BlockingSink sink(api);
  rig.context().logSink = &sink;
  api = &rig.handle();
  PostSpecBytes early = HandleRig::post("P", 3);
  early.defaultTtl = std::numeric_limits<std::uint64_t>::max() - 19'999;
  HandleRig::enter(*api, HandleRig::trigger("T", {early}));
  EXPECT_EQ(api->postOutputMessage("P", nullptr), -1);
  // The inner post waited its 1000 ms for the lock; its message is gone
  // (the leak checker of the sanitizer build sees to that).
  EXPECT_EQ(sink.result(), -1);
  rig.context().logSink = &rig.log();
}

TEST_F(HandleTest, ClearedRunningFlagAndReportErrorWithoutSink) {
  ZelAPI& api = rig.handle();
  EXPECT_TRUE(api.keepRunning());
  api.setRunning(false);
  EXPECT_FALSE(api.keepRunning());
  rig.context().logSink = nullptr;
  EXPECT_FALSE(api.reportError(0, "%s", "lost"));
  rig.context().logSink = &rig.log();
  EXPECT_FALSE(api.reportError(0, "%s", ""));
  EXPECT_TRUE(api.reportError(1, "x=%d", 4));
  EXPECT_TRUE(hasLine(rig, "[poster] x=4"));
}

}  // namespace
}  // namespace vornix::testing
