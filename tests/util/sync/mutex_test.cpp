#include "util/mutex.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "sync_test_support.h"
#include "util/format.h"
#include "util/os.h"

namespace vornix {
namespace {

using test::LogCapture;
using test::uniqueName;
using ::testing::HasSubstr;
using ::testing::SizeIs;

// Removes the mutex object of `name` when the test ends.
using test::NamedMutexName;

TEST(MutexTest, TwoObjectsWithOneNameGuardTheSameMutex) {
  NamedMutexName name;
  Mutex first(name.logical);
  Mutex second(name.logical);
  ASSERT_TRUE(first.valid());
  ASSERT_TRUE(second.valid());
  EXPECT_EQ(first.fullName(), "Local\\Mutex_" + name.logical);

  ASSERT_TRUE(first.enter(0, "holder"));
  std::atomic<bool> otherGotIt{true};
  std::thread other([&] {
    otherGotIt = second.enter(0, nullptr);
    if (otherGotIt) second.leave();
  });
  other.join();
  EXPECT_FALSE(otherGotIt);
  EXPECT_TRUE(first.leave());

  std::thread again([&] {
    otherGotIt = second.enter(0, nullptr);
    if (otherGotIt) second.leave();
  });
  again.join();
  EXPECT_TRUE(otherGotIt);
}

TEST(MutexTest, TimeoutWithLabelLogsTheHolderAndWithoutLabelIsSilent) {
  NamedMutexName name;
  Mutex mutex(name.logical);
  ASSERT_TRUE(mutex.valid());
  std::atomic<std::uint32_t> holderId{0};
  std::atomic<bool> holding{false};
  std::atomic<bool> release{false};
  std::thread holder([&] {
    holderId = os::currentThreadId();
    ASSERT_TRUE(mutex.enter(1000, "holder"));
    holding = true;
    while (!release) std::this_thread::yield();
    mutex.leave();
  });
  while (!holding) std::this_thread::yield();

  LogCapture capture;
  EXPECT_FALSE(mutex.enter(0, nullptr));
  EXPECT_THAT(capture.lines(), SizeIs(0));

  EXPECT_FALSE(mutex.enter(0, "vornix::Test::probe"));
  const auto lines = capture.lines();
  ASSERT_THAT(lines, SizeIs(1));
  const std::string expected =
      "[" + std::to_string(os::currentThreadId()) + "]Mutex enter timeout[";
  EXPECT_THAT(lines[0], HasSubstr(expected));
  EXPECT_THAT(lines[0], HasSubstr("](vornix::Test::probe) - currently held by " +
                                  std::to_string(holderId.load()) + ", count 1, total 1"));
  EXPECT_EQ(capture.categories()[0], 1);

  release = true;
  holder.join();
  EXPECT_EQ(mutex.ownerThread(), 0U);
}

TEST(MutexTest, RecursionIsCountedAndExtraLeaveDoesNothing) {
  Mutex m;  // the unnamed form follows the same rules
  ASSERT_TRUE(m.valid());
  EXPECT_TRUE(m.enter(0, "a"));
  EXPECT_TRUE(m.enter(0, "b"));
  EXPECT_EQ(m.depth(), 2U);
  EXPECT_EQ(m.totalEnters(), 2U);
  EXPECT_EQ(m.ownerThread(), os::currentThreadId());
  EXPECT_TRUE(m.leave());
  EXPECT_EQ(m.ownerThread(), os::currentThreadId());
  EXPECT_TRUE(m.leave());
  EXPECT_EQ(m.ownerThread(), 0U);
  EXPECT_TRUE(m.leave());
  EXPECT_EQ(m.depth(), 0U);
  EXPECT_EQ(m.totalEnters(), 2U);
  NamedMutexName name;
  Mutex named(name.logical);
  EXPECT_TRUE(named.lock());
  EXPECT_TRUE(named.enter(0, "again"));
  EXPECT_EQ(named.depth(), 2U);
  EXPECT_TRUE(named.leave());
  EXPECT_TRUE(named.leave());
  // Released for real: another thread gets it at once.
  std::atomic<bool> got{false};
  std::thread other([&] {
    got = named.enter(0, nullptr);
    if (got) named.leave();
  });
  other.join();
  EXPECT_TRUE(got);
}

TEST(MutexTest, LeaveFromAThreadThatDoesNotHoldItFailsAndKeepsTheCounters) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer reports the refused release it provokes";
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
  GTEST_SKIP() << "the thread sanitizer reports the refused release it provokes";
#endif
#endif
  Mutex mutex;
  ASSERT_TRUE(mutex.enter(0, "holder"));
  std::atomic<bool> left{true};
  std::thread other([&] { left = mutex.leave(); });
  other.join();
  EXPECT_FALSE(left);
  EXPECT_EQ(mutex.depth(), 1U);
  EXPECT_EQ(mutex.ownerThread(), os::currentThreadId());
  EXPECT_TRUE(mutex.leave());
}

TEST(MutexTest, NameTooLongForTheSystemIsRefusedWithALineNotCut) {
  LogCapture capture;
  Mutex mutex(std::string(300, 'm'));
  EXPECT_FALSE(mutex.valid());
  ASSERT_THAT(capture.lines(), SizeIs(1));
  EXPECT_THAT(capture.lines()[0], HasSubstr("Name too long for a system object"));
  EXPECT_EQ(capture.categories()[0], 1);

  // Its operations fail as the system fails them.
  EXPECT_FALSE(mutex.enter(10, "vornix::Test::long"));
  EXPECT_FALSE(mutex.lock());
  const auto lines = capture.lines();
  ASSERT_THAT(lines, SizeIs(3));
  EXPECT_THAT(lines[1],
              HasSubstr(formatString("Mutex enter error[%p](vornix::Test::long): 4294967295 -",
                                     static_cast<const void*>(nullptr))));
  EXPECT_THAT(lines[2], HasSubstr("Lock of mutex failed: Local\\Mutex_mmm"));
  EXPECT_TRUE(mutex.leave());
}

TEST(MutexTest, ContendedCounterStaysExact) {
  NamedMutexName name;
  Mutex a(name.logical);
  Mutex b(name.logical);
  Mutex plain;
  long shared = 0;
  long plainShared = 0;
  auto work = [&](Mutex& m) {
    for (int i = 0; i < 2000; ++i) {
      ASSERT_TRUE(m.enter(5000, "vornix::Test::counter"));
      ++shared;
      ASSERT_TRUE(m.leave());
      ASSERT_TRUE(plain.lock());
      ++plainShared;
      ASSERT_TRUE(plain.leave());
    }
  };
  std::thread t1([&] { work(a); });
  std::thread t2([&] { work(b); });
  std::thread t3([&] { work(a); });
  t1.join();
  t2.join();
  t3.join();
  EXPECT_EQ(shared, 6000);
  EXPECT_EQ(plainShared, 6000);
  EXPECT_EQ(a.totalEnters() + b.totalEnters(), 6000U);
}

}  // namespace
}  // namespace vornix
