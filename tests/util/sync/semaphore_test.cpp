#include "util/semaphore.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "sync_test_support.h"

namespace vornix {
namespace {

using test::LogCapture;
using test::uniqueName;
using ::testing::HasSubstr;
using ::testing::SizeIs;

using test::NamedSemaphoreName;

TEST(SemaphoreTest, SignalThenWaitAndTimedOutWait) {
  NamedSemaphoreName name;
  Semaphore semaphore(name.logical, 5);
  ASSERT_TRUE(semaphore.valid());
  EXPECT_EQ(semaphore.name(), name.logical);
  EXPECT_FALSE(semaphore.wait(0));
  EXPECT_FALSE(semaphore.wait(20));
  EXPECT_TRUE(semaphore.signal());
  EXPECT_TRUE(semaphore.signal());
  EXPECT_EQ(semaphore.count(), 2);
  EXPECT_TRUE(semaphore.wait(0));
  EXPECT_TRUE(semaphore.wait(1000));
  EXPECT_FALSE(semaphore.wait(0));
}

TEST(SemaphoreTest, TwoObjectsWithOneNameShareTheCountAndAWaiterWakes) {
  NamedSemaphoreName name;
  Semaphore waiter(name.logical, 10);
  Semaphore signaller(name.logical, 10);
  std::atomic<bool> woke{false};
  std::thread thread([&] { woke = waiter.wait(5000); });
  EXPECT_TRUE(signaller.signal());
  thread.join();
  EXPECT_TRUE(woke);
  EXPECT_EQ(waiter.count(), 0);
}

TEST(SemaphoreTest, SignalAtTheMaximumCountIsRefused) {
  NamedSemaphoreName name;
  Semaphore semaphore(name.logical, 2);
  EXPECT_TRUE(semaphore.signal());
  EXPECT_TRUE(semaphore.signal());
  EXPECT_FALSE(semaphore.signal());
  EXPECT_EQ(semaphore.count(), 2);
  EXPECT_TRUE(semaphore.wait(0));
  EXPECT_TRUE(semaphore.signal());
}

TEST(SemaphoreTest, LongNameIsKeptAs255CharactersAndRefusedByTheSystem) {
  const std::string longName = uniqueName("long") + std::string(300, 'x');
  LogCapture capture;
  Semaphore semaphore(longName, 100);
  EXPECT_EQ(semaphore.name(), longName.substr(0, 255));
  // The full name does not fit a system name: refused, never cut into
  // another object's name.
  EXPECT_FALSE(semaphore.valid());
  EXPECT_FALSE(semaphore.signal());
  EXPECT_FALSE(semaphore.wait(0));
  ASSERT_THAT(capture.lines(), SizeIs(1));
  EXPECT_THAT(capture.lines()[0], HasSubstr("Name too long for a system object"));
}

TEST(SemaphoreTest, MaximumBelowOneIsRefused) {
  NamedSemaphoreName name;
  LogCapture capture;
  Semaphore semaphore(name.logical, 0);
  EXPECT_FALSE(semaphore.valid());
  EXPECT_THAT(capture.lines(), SizeIs(1));
}

TEST(SemaphoreRegistryTest, CreateFlagDecidesAndTheSameObjectComesBack) {
  NamedSemaphoreName name;
  EXPECT_EQ(getNamedSemaphore(name.logical, false), nullptr);
  EXPECT_EQ(test::objectMode("Local\\Semaphore_" + name.logical), -1);

  Semaphore* made = getNamedSemaphore(name.logical, true);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(getNamedSemaphore(name.logical, false), made);
  EXPECT_EQ(getNamedSemaphore(name.logical, true), made);
  // Maximum count 100.
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(made->signal()) << i;
  EXPECT_FALSE(made->signal());
  // Names are compared whole, bytewise.
  EXPECT_EQ(getNamedSemaphore(name.logical + "x", false), nullptr);
}

TEST(SemaphoreRegistryTest, RefusedNameRegistersNothing) {
  const std::string longName = uniqueName("reglong") + std::string(300, 'y');
  LogCapture capture;
  EXPECT_EQ(getNamedSemaphore(longName, true), nullptr);
  EXPECT_EQ(getNamedSemaphore(longName, false), nullptr);
}

TEST(SemaphoreRegistryTest, ConcurrentLookupsAgreeOnOneObject) {
  NamedSemaphoreName name;
  std::vector<Semaphore*> seen(4, nullptr);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&, i] { seen[i] = getNamedSemaphore(name.logical, true); });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_NE(seen[0], nullptr);
  for (Semaphore* s : seen) EXPECT_EQ(s, seen[0]);
}

// A host that stops an instance removes its names and may start another
// with the same names in the same process: the registry must then hand out
// the object that every other opener of the name reaches.
TEST(SemaphoreRegistryTest, AfterRemovalTheRegistryAndANewOpenerShareOneObject) {
  NamedSemaphoreName name;
  Semaphore* before = getNamedSemaphore(name.logical, true);
  ASSERT_NE(before, nullptr);
  EXPECT_TRUE(removeNamedSemaphore(name.logical));

  Semaphore* after = getNamedSemaphore(name.logical, true);
  ASSERT_NE(after, nullptr);
  Semaphore other(name.logical, 10);
  ASSERT_TRUE(other.valid());
  EXPECT_TRUE(other.signal());
  EXPECT_TRUE(after->wait(1000));
  EXPECT_TRUE(after->signal());
  EXPECT_TRUE(other.wait(1000));
  EXPECT_EQ(getNamedSemaphore(name.logical, false), after);
  // The pointer handed out before the removal still reaches a live object.
  EXPECT_TRUE(before->signal());
  EXPECT_TRUE(before->wait(1000));
}

}  // namespace
}  // namespace vornix
