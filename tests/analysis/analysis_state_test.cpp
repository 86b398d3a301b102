#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "analysis/analysis_state.h"
#include "analysis/single_analyzer.h"
#include "analysis_test_support.h"

namespace vornix {
namespace {

using testing::RecordingPoster;
using testing::speechOff;

// Holds each of `count` threads until all have arrived. std::latch is not
// used: the i686 MinGW-w64 C++ library (GCC 12) has no futex and waits on a
// shared condition variable after reading the count outside its mutex, so
// an arrival between the two is missed and the waiter sleeps for good (the
// Windows build hung here every few hundred rendezvous).
class Rendezvous {
 public:
  explicit Rendezvous(int count) : left_(count) {}
  void arriveAndWait() {
    std::unique_lock lock(mutex_);
    if (--left_ == 0) {
      arrived_.notify_all();
      return;
    }
    arrived_.wait(lock, [this] { return left_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  int left_;
};

TEST(SharedAnalysisState, FollowingRunsShareConcurrentRunsDoNot) {
  SharedAnalysisState state;
  {
    auto floor = state.leaseFloor();
    EXPECT_TRUE(floor.isShared());
    floor->floorState = 2;
    floor->speakers["1"] = true;
    auto concurrent = state.leaseFloor();
    EXPECT_FALSE(concurrent.isShared());
    EXPECT_EQ(concurrent->floorState, 0);
    EXPECT_TRUE(concurrent->speakers.empty());
    concurrent->floorState = 1;
  }
  auto next = state.leaseFloor();
  EXPECT_TRUE(next.isShared());
  EXPECT_EQ(next->floorState, 2);
  EXPECT_TRUE(next->speakers.at("1"));
  // The table is leased independently of the floor.
  auto table = state.leaseTable();
  EXPECT_TRUE(table.isShared());
  auto moved = std::move(table);
  EXPECT_TRUE(moved.isShared());
  EXPECT_FALSE(state.leaseTable().isShared());
}

// Two single-speaker runs at once, one per speaker: each keeps its own mean.
TEST(SharedAnalysisState, ConcurrentSingleRunsKeepSeparateMeans) {
  SharedAnalysisState state;
  Rendezvous bothLeased(2);
  std::atomic<int> sharedLeases{0};
  auto run = [&](double pitch, double& mean) {
    auto table = state.leaseTable();
    if (table.isShared()) ++sharedLeases;
    bothLeased.arriveAndWait();  // the two runs overlap from here on
    RecordingPoster poster;
    SingleAnalyzer analyzer(*table, poster);
    analyzer.start();
    for (int turn = 0; turn < 200; ++turn) {
      auto m = speechOff(turn, {{pitch, 1000}, {pitch, 1010}});
      analyzer.onMessage("SpeechOff", *m);
    }
    mean = table->average();
  };
  double low = 0.0, high = 0.0;
  std::thread a(run, 100.0, std::ref(low));
  std::thread b(run, 300.0, std::ref(high));
  a.join();
  b.join();
  EXPECT_DOUBLE_EQ(low, 100.0);
  EXPECT_DOUBLE_EQ(high, 300.0);
  EXPECT_EQ(sharedLeases.load(), 1);
  EXPECT_TRUE(state.leaseTable().isShared());  // both leases were released
}

}  // namespace
}  // namespace vornix
