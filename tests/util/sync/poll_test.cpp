// Bounded polling: it returns as soon as the condition holds, and gives up
// only once its time has passed.
#include "util/poll.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace vornix {
namespace {

using Clock = std::chrono::steady_clock;

TEST(PollFor, SeesAConditionSetByAnotherThread) {
  std::atomic<bool> ready{false};
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ready.store(true);
  });
  // A bound far beyond the setter's delay: returning false means the poll
  // missed the change.
  EXPECT_TRUE(pollFor(10'000'000, [&] { return ready.load(); }));
  setter.join();
}

TEST(PollFor, GivesUpOnlyAfterItsTime) {
  int looks = 0;
  const auto start = Clock::now();
  EXPECT_FALSE(pollFor(3000, [&] {
    ++looks;
    return false;
  }));
  EXPECT_GE(Clock::now() - start, std::chrono::microseconds(3000));
  EXPECT_GT(looks, 1);
}

TEST(PollFor, ConditionAlreadyTrueIsOneLookEvenWithoutTime) {
  int looks = 0;
  EXPECT_TRUE(pollFor(0, [&] {
    ++looks;
    return true;
  }));
  EXPECT_EQ(looks, 1);
}

}  // namespace
}  // namespace vornix
