// The offline drive run directly over real component handles: waits timed on
// the simulated clock, the order of a round, the watchdog's busy-loop catch,
// tasks that throw or end early, and the cooperative task on its own.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "handle_rig.h"
#include "host/cooperative_task.h"
#include "host/offline_drive.h"
#include "host/simulated_clock.h"

namespace vornix::testing {
namespace {

using host::CooperativeTask;
using host::OfflineDrive;
using Ids = std::vector<std::uint32_t>;
using Lines = std::vector<std::string>;

std::unique_ptr<DataMessage> numbered(std::int64_t n) {
  auto message = std::make_unique<DataMessage>();
  message->setInt("n", n);
  return message;
}

class OfflineDriveTest : public ::testing::Test {
 protected:
  static constexpr Micros kStart = 5'000'000;
  void SetUp() override {
    ASSERT_TRUE(rig.ready());
    rig.context().waitObserver = &drive;
  }

  // Component `id`'s handle (each call makes a new one).
  ZelAPI& handle(std::uint32_t id) { return rig.handle(id); }
  void add(std::uint32_t id, const std::string& name, std::function<std::int64_t()> body) {
    std::string error;
    ASSERT_TRUE(drive.add(id, name, std::move(body), error)) << error;
  }
  // What the host does at a stop: every component sees its flag cleared and
  // a pair that carries nothing.
  void stopAll(std::initializer_list<std::pair<std::uint32_t, ZelAPI*>> components) {
    drive.stopping();
    for (const auto& [id, api] : components) {
      api->setRunning(false);
      ASSERT_TRUE(api->wake());
      drive.queued(id);
    }
    drive.runRound();
  }

  HandleRig rig;
  host::SimulatedClock clock{kStart};
  OfflineDrive drive{clock, std::chrono::milliseconds(200)};
};

TEST_F(OfflineDriveTest, WaitEndsAtTheFirstClockStepAtOrPastItsDeadlineAndSeesATimeOut) {
  struct Seen {
    int timeOuts = 0, messages = 0;
    Micros at = 0;  // clock time of the last wait's return
  };
  std::vector<Seen> seen(4);
  // Waits `first` ms, then `then` ms if `first` brought a message; after a
  // time-out waits for its running flag only, which is never due.
  auto waiter = [&](ZelAPI& api, std::uint32_t id, std::uint32_t first, std::uint32_t then) {
    return [this, &seen, &api, id, first, then]() -> std::int64_t {
      std::uint32_t timeout = first;
      while (true) {
        const bool message = api.waitForNewMessage(timeout, nullptr) != nullptr;
        seen[id].at = clock.now();
        ++(message ? seen[id].messages : seen[id].timeOuts);
        if (!message) break;
        timeout = then;
      }
      api.waitForNewMessage(first, nullptr, ZelAPI::TimeoutUse::runningFlagOnly);
      return 0;
    };
  };
  ZelAPI& exact = handle(1);
  ZelAPI& later = handle(2);
  ZelAPI& rewaits = handle(3);
  const std::vector<ZelAPI*> apis = {nullptr, &exact, &later, &rewaits};
  add(1, "exact", waiter(exact, 1, 46, 0));       // due on the step that meets it: 46 ms
  add(2, "later", waiter(later, 2, 50, 0));       // due on the step past it: 69 ms
  add(3, "rewaits", waiter(rewaits, 3, 50, 50));  // a message at 23 ms, due at 73: 92 ms
  drive.runRound();

  constexpr Micros kStep = 23'000;
  std::vector<Ids> dueLog;
  for (Micros step = 1; step <= 6; ++step) {
    clock.set(kStart + step * kStep);
    dueLog.push_back(drive.dueAt(clock.now()));
    for (const std::uint32_t id : dueLog.back()) {
      ASSERT_TRUE(apis[id]->wake());
      drive.queued(id);
    }
    if (step == 1) {
      EXPECT_TRUE(rewaits.queuePair(nullptr, numbered(1)));
      drive.queued(3);
    }
    drive.runRound();
    if (step == 1) {
      EXPECT_EQ(seen[1].at, 0U) << "resumed before its deadline";
      EXPECT_EQ(seen[3].messages, 1);
    }
  }
  EXPECT_EQ(dueLog, (std::vector<Ids>{{}, {1}, {2}, {3}, {}, {}}));
  EXPECT_EQ(seen[1].timeOuts, 1);
  EXPECT_EQ(seen[1].at, kStart + 2 * kStep);
  EXPECT_EQ(seen[2].timeOuts, 1);
  EXPECT_EQ(seen[2].at, kStart + 3 * kStep);
  EXPECT_EQ(seen[3].timeOuts, 1);
  EXPECT_EQ(seen[3].at, kStart + 4 * kStep);
  // The running-flag waits have no deadline, however far the clock goes.
  EXPECT_TRUE(drive.dueAt(kStart + 3'600'000'000ULL).empty());
  EXPECT_EQ(drive.unfinished(), (Lines{"exact", "later", "rewaits"}));
  stopAll({{1, &exact}, {2, &later}, {3, &rewaits}});
  EXPECT_TRUE(drive.allEnded());
  EXPECT_TRUE(drive.takeProblems().empty());
}

// A task's processor time counts only while it runs: the time it spends
// suspended while the host (or other tasks) works is not its own.
TEST_F(OfflineDriveTest, ATasksProcessorTimeLeavesOutItsTimeSuspended) {
  constexpr auto kWork = std::chrono::milliseconds(2);
  constexpr auto kAway = std::chrono::milliseconds(60);
  ZelAPI& api = handle(1);
  add(1, "worker", [&api, kWork]() -> std::int64_t {
    while (api.waitForNewMessage(1000, nullptr) != nullptr) {
      const auto until = std::chrono::steady_clock::now() + kWork;
      while (std::chrono::steady_clock::now() < until) {
      }
    }
    return 0;
  });
  drive.runRound();
  for (int n = 0; n < 3; ++n) {
    ASSERT_TRUE(api.queuePair(nullptr, numbered(n)));
    drive.queued(1);
    drive.runRound();
    std::this_thread::sleep_for(kAway);
  }
  stopAll({{1, &api}});
  EXPECT_TRUE(drive.allEnded());
  // The work on each message is reported at the wait that follows it.
  const auto stats = rig.componentSection().stats(1);
  ASSERT_TRUE(stats);
  EXPECT_GE(stats->processorTime, 3U * 2'000U);
  EXPECT_LT(stats->processorTime, 100'000U) << "time suspended was counted";
}

TEST_F(OfflineDriveTest, ARoundRunsQueuedTasksInTheOrderAddedEachUntilItWaitsAgain) {
  Lines log;
  auto worker = [&log](ZelAPI& api, const std::string& name) {
    return [&log, &api, name]() -> std::int64_t {
      log.push_back(name + " starts");
      while (api.keepRunning()) {
        if (const DataMessage* m = api.waitForNewMessage(1000, nullptr)) {
          log.push_back(name + " takes " + std::to_string(m->getInt("n")));
        }
      }
      return 0;
    };
  };
  // Added against id order: a round follows the order added.
  ZelAPI& b = handle(2);
  ZelAPI& a = handle(1);
  add(2, "b", worker(b, "b"));
  add(1, "a", worker(a, "a"));
  EXPECT_TRUE(drive.runRound());
  EXPECT_EQ(log, (Lines{"b starts", "a starts"}));
  EXPECT_TRUE(drive.quiet());
  EXPECT_FALSE(drive.runRound());

  // Queued for a first: b still runs first; a takes both its pairs before
  // it waits again.
  log.clear();
  EXPECT_TRUE(a.queuePair(nullptr, numbered(1)));
  EXPECT_TRUE(a.queuePair(nullptr, numbered(2)));
  drive.queued(1);
  EXPECT_TRUE(b.queuePair(nullptr, numbered(3)));
  drive.queued(2);
  EXPECT_FALSE(drive.quiet());
  EXPECT_TRUE(drive.runRound());
  EXPECT_EQ(log, (Lines{"b takes 3", "a takes 1", "a takes 2"}));
  // Only a task with something queued runs.
  log.clear();
  EXPECT_TRUE(a.queuePair(nullptr, numbered(4)));
  drive.queued(1);
  drive.runRound();
  EXPECT_EQ(log, (Lines{"a takes 4"}));
  stopAll({{2, &b}, {1, &a}});
  EXPECT_TRUE(drive.allEnded());
  EXPECT_TRUE(drive.takeProblems().empty());
}

TEST_F(OfflineDriveTest, BusyLoopIsSuspendedAtItsNextHandleCallAndTheOthersGoOn) {
  ZelAPI& spinner = handle(1);
  ZelAPI& poller = handle(2);
  ZelAPI& worker = handle(3);
  int workerTurns = 0;
  add(1, "spinner", [&]() -> std::int64_t {
    while (spinner.keepRunning()) {
    }
    return 0;
  });
  // A wait that only tries is a checkpoint as well.
  add(2, "poller", [&]() -> std::int64_t {
    while (poller.waitForNewMessage(0, nullptr) == nullptr) {
    }
    return 0;
  });
  add(3, "worker", [&]() -> std::int64_t {
    while (worker.keepRunning()) {
      ++workerTurns;
      worker.waitForNewMessage(1000, nullptr);
    }
    return 0;
  });
  drive.runRound();
  EXPECT_EQ(workerTurns, 1);
  const Lines problems = drive.takeProblems();
  ASSERT_EQ(problems.size(), 2U);
  EXPECT_NE(problems[0].find("component 'spinner' kept the thread for more than 200 ms"),
            std::string::npos)
      << problems[0];
  EXPECT_NE(problems[1].find("component 'poller' kept the thread"), std::string::npos)
      << problems[1];
  // A suspended busy loop is never resumed again, whatever is queued for it.
  EXPECT_TRUE(poller.queuePair(nullptr, numbered(1)));
  drive.queued(1);
  drive.queued(2);
  EXPECT_FALSE(drive.runRound());
  EXPECT_TRUE(drive.quiet());
  EXPECT_TRUE(worker.queuePair(nullptr, numbered(2)));
  drive.queued(3);
  EXPECT_TRUE(drive.runRound());
  EXPECT_EQ(workerTurns, 2);
  EXPECT_TRUE(drive.takeProblems().empty());
  EXPECT_EQ(drive.unfinished(), (Lines{"spinner", "poller", "worker"}));
}

// A turn that outlasts the limit but ends in a wait gave the thread back:
// the next task's handle calls are not a busy loop. 300 ms lies between the
// watchdog's first step (200 ms) and its last (400 ms).
// Disabled until the watchdog ties its catch to the resume it timed: today
// the mark outlives that resume and the next task's first handle call takes
// it, so 'next' is reported and suspended for good.
TEST_F(OfflineDriveTest, LongTurnEndingInAWaitIsNotBlamedOnTheNextTask) {
  ZelAPI& slow = handle(1);
  ZelAPI& next = handle(2);
  int nextTurns = 0;
  add(1, "slow", [&]() -> std::int64_t {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < until) {
    }
    do {
      slow.waitForNewMessage(1000, nullptr);
    } while (slow.keepRunning());
    return 0;
  });
  add(2, "next", [&]() -> std::int64_t {
    while (next.keepRunning()) {
      ++nextTurns;
      next.waitForNewMessage(1000, nullptr);
    }
    return 0;
  });
  drive.runRound();
  const Lines problems = drive.takeProblems();
  EXPECT_TRUE(problems.empty()) << problems.front();
  EXPECT_TRUE(next.queuePair(nullptr, numbered(1)));
  drive.queued(2);
  drive.runRound();
  EXPECT_EQ(nextTurns, 2);
  stopAll({{1, &slow}, {2, &next}});
  EXPECT_TRUE(drive.allEnded());
}

TEST_F(OfflineDriveTest, TaskThatThrowsOrReturnsEarlyEndsAndIsReportedButNotAfterTheStop) {
  ZelAPI& thrower = handle(1);
  ZelAPI& finisher = handle(3);
  add(1, "thrower", [&]() -> std::int64_t {
    thrower.waitForNewMessage(1000, nullptr);
    throw std::runtime_error("frame 12 is damaged");
  });
  add(2, "quitter", [] { return std::int64_t{3}; });
  add(3, "finisher", [&]() -> std::int64_t {
    while (finisher.keepRunning()) finisher.waitForNewMessage(1000, nullptr);
    return 0;
  });
  drive.runRound();
  EXPECT_EQ(drive.takeProblems(), (Lines{"component 'quitter' ended before the stop (result 3)"}));
  EXPECT_TRUE(thrower.queuePair(nullptr, numbered(1)));
  drive.queued(1);
  EXPECT_NO_THROW(drive.runRound());
  EXPECT_EQ(drive.takeProblems(), (Lines{"component 'thrower' failed: frame 12 is damaged"}));
  EXPECT_TRUE(drive.takeProblems().empty());  // taken lines are not repeated
  EXPECT_EQ(drive.unfinished(), (Lines{"finisher"}));
  // An ended task is never resumed.
  drive.queued(1);
  drive.queued(2);
  EXPECT_FALSE(drive.runRound());
  stopAll({{3, &finisher}});
  EXPECT_TRUE(drive.allEnded());
  EXPECT_TRUE(drive.takeProblems().empty());
}

TEST(CooperativeTask, PingPongPassesValuesBothWaysUntilTheBodyEnds) {
  int toTask = 0, fromTask = 0;
  CooperativeTask* self = nullptr;
  std::string error;
  auto task = CooperativeTask::create(
      [&] {
        for (int i = 0; i < 3; ++i) {
          fromTask = toTask * 10 + i;
          self->suspend();
        }
      },
      64 * 1024, error);
  ASSERT_NE(task, nullptr) << error;
  self = task.get();
  EXPECT_EQ(fromTask, 0);  // the body waits for the first resume
  std::vector<int> got;
  for (int round = 1; round <= 3; ++round) {
    toTask = round;
    task->resume();
    got.push_back(fromTask);
    EXPECT_FALSE(task->finished());
  }
  EXPECT_EQ(got, (std::vector<int>{10, 21, 32}));
  task->resume();
  EXPECT_TRUE(task->finished());
  EXPECT_EQ(task->failure(), nullptr);
  task->resume();  // a finished task is not entered again
  EXPECT_EQ(fromTask, 32);
}

TEST(CooperativeTask, ThrowingBodyEndsTheTaskAndKeepsTheExceptionForTheCaller) {
  int entries = 0;
  std::string error;
  auto task = CooperativeTask::create(
      [&] {
        ++entries;
        throw std::logic_error("no frames");
      },
      64 * 1024, error);
  ASSERT_NE(task, nullptr) << error;
  EXPECT_NO_THROW(task->resume());
  EXPECT_TRUE(task->finished());
  ASSERT_NE(task->failure(), nullptr);
  EXPECT_THROW(std::rethrow_exception(task->failure()), std::logic_error);
  task->resume();
  EXPECT_EQ(entries, 1);
}

}  // namespace
}  // namespace vornix::testing
