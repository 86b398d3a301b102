// What only POSIX tasks guarantee: an unfinished task's stack is unwound when
// it goes (Windows drops it as it is), a stack overflow faults on the guard
// page, and the process ends with status 70 when a task never gives the
// thread back (death tests, which run in a child of their own).
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>

#include "handle_rig.h"
#include "host/cooperative_task.h"
#include "host/offline_drive.h"
#include "host/simulated_clock.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define LOQUANT_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define LOQUANT_TEST_SANITIZED 1
#endif
#endif

namespace vornix::testing {
namespace {

using host::CooperativeTask;
using host::OfflineDrive;

struct Sentinel {
  bool& gone;
  ~Sentinel() { gone = true; }
};

TEST(OfflineDrivePosix, UnfinishedTasksAreUnwoundWhenTheDriveGoes) {
  HandleRig rig;
  ASSERT_TRUE(rig.ready());
  ZelAPI& waiter = rig.handle(1);
  ZelAPI& spinner = rig.handle(2);
  bool waiterGone = false, spinnerGone = false, neverStarted = false;
  {
    host::SimulatedClock clock(1'000'000);
    OfflineDrive drive(clock, std::chrono::milliseconds(100));
    rig.context().waitObserver = &drive;
    std::string error;
    // Suspended in a wait, and suspended by the watchdog in a busy loop.
    ASSERT_TRUE(drive.add(
        1, "waiter",
        [&]() -> std::int64_t {
          Sentinel s{waiterGone};
          waiter.waitForNewMessage(1000, nullptr);
          return 0;
        },
        error));
    ASSERT_TRUE(drive.add(
        2, "spinner",
        [&]() -> std::int64_t {
          Sentinel s{spinnerGone};
          while (spinner.keepRunning()) {
          }
          return 0;
        },
        error));
    drive.runRound();
    ASSERT_TRUE(drive.add(
        3, "late",
        [&]() -> std::int64_t {
          Sentinel s{neverStarted};
          return 0;
        },
        error));
    ASSERT_EQ(drive.takeProblems().size(), 1U);
    EXPECT_FALSE(waiterGone);
    EXPECT_FALSE(spinnerGone);
  }
  rig.context().waitObserver = nullptr;
  EXPECT_TRUE(waiterGone);
  EXPECT_TRUE(spinnerGone);
  EXPECT_FALSE(neverStarted);  // a task that never ran has nothing to unwind
}

TEST(OfflineDrivePosixDeathTest, TaskThatNeverCallsTheHandleEndsTheProcessWithItsName) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        host::SimulatedClock clock(1'000'000);
        OfflineDrive drive(clock, std::chrono::milliseconds(100));
        std::string error;
        if (!drive.add(
                7, "hog",
                []() -> std::int64_t {
                  volatile unsigned spins = 0;
                  while (true) spins = spins + 1U;
                },
                error)) {
          std::_Exit(1);
        }
        drive.runRound();
      },
      ::testing::ExitedWithCode(70), "component 'hog' has kept the thread .*ending the process");
}

// Each frame is smaller than the guard page and written in full, so the
// recursion reaches the guard page before anything below it.
int deep(int depth) {
  volatile char frame[3000];
  for (std::size_t i = sizeof frame; i-- > 0;) frame[i] = static_cast<char>(depth);
  if (depth == 0) return frame[0];
  return deep(depth - 1) + frame[sizeof frame / 2];
}

TEST(OfflineDrivePosixDeathTest, StackOverflowFaultsOnTheGuardPage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto overflow = [] {
    std::string error;
    auto task = CooperativeTask::create([] { static_cast<void>(deep(1000)); }, 256 * 1024, error);
    if (task) task->resume();
    std::fputs("the recursion came back\n", stderr);
    std::exit(0);
  };
#if defined(LOQUANT_TEST_SANITIZED)
  // The sanitizer's handler catches the fault and reports it in the
  // recursion.
  EXPECT_DEATH(overflow(), "Sanitizer.*(stack-overflow|SEGV).*deep");
#else
  EXPECT_EXIT(overflow(), ::testing::KilledBySignal(SIGSEGV), "");
#endif
}

}  // namespace
}  // namespace vornix::testing
