// Named objects shared with child processes (fork), including a holder that
// is killed while it holds a named mutex.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "child_process_posix.h"
#include "sync_test_support.h"
#include "util/mutex.h"
#include "util/os.h"
#include "util/semaphore.h"
#include "util/shared_memory.h"

namespace vornix {
namespace {

using test::LogCapture;
using test::uniqueName;
using ::testing::HasSubstr;
using ::testing::SizeIs;

using test::Child;

TEST(MultiProcessPosixTest, ChildSharesTheNamedMutex) {
  const std::string name = uniqueName("pmutex");
  Mutex before;  // the parent's thread id is cached before the fork
  ASSERT_TRUE(before.enter(0, nullptr));
  ASSERT_TRUE(before.leave());
  Child child([&](int ready) {
    Mutex mutex(name);
    if (!mutex.enter(5000, "child")) return 2;
    // The holder recorded is this process's thread, not the parent's.
    if (mutex.ownerThread() != os::currentThreadId()) return 4;
    Child::ready(ready);
    ::usleep(200 * 1000);
    return mutex.leave() ? 0 : 3;
  });
  ASSERT_TRUE(child.started());
  ASSERT_TRUE(child.awaitReady());
  Mutex mutex(name);
  LogCapture capture;
  EXPECT_FALSE(mutex.enter(0, "vornix::Test::parent"));
  ASSERT_THAT(capture.lines(), SizeIs(1));
  // The holder is in another process: this object's own counters are shown.
  EXPECT_THAT(capture.lines()[0], HasSubstr("currently held by 0, count 0, total 0"));
  EXPECT_TRUE(mutex.enter(5000, "vornix::Test::parent"));
  EXPECT_TRUE(mutex.leave());
  const int status = child.waitResult();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  removeNamedMutex(name);
}

TEST(MultiProcessPosixTest, KilledHolderIsReportedAbandonedOnceThenTheMutexIsFree) {
  const std::string name = uniqueName("abandon");
  Mutex mutex(name);
  ASSERT_TRUE(mutex.valid());
  {
    Child child([&](int ready) {
      Mutex own(name);
      if (!own.enter(5000, "child")) return 2;
      Child::ready(ready);
      ::pause();
      return 0;
    });
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(child.awaitReady());
    child.kill();
    const int status = child.waitResult();
    ASSERT_TRUE(WIFSIGNALED(status));
  }
  LogCapture capture;
  EXPECT_FALSE(mutex.enter(5000, "vornix::Test::afterKill"));
  const auto lines = capture.lines();
  ASSERT_THAT(lines, SizeIs(1));
  EXPECT_THAT(lines[0], HasSubstr("Mutex enter error["));
  EXPECT_THAT(lines[0], HasSubstr("](vornix::Test::afterKill): 128 - currently held by 0"));
  EXPECT_EQ(mutex.depth(), 0U);
  // Made consistent and released: the next enter gets it without waiting.
  EXPECT_TRUE(mutex.enter(0, "vornix::Test::next"));
  EXPECT_TRUE(mutex.leave());
  EXPECT_THAT(capture.lines(), SizeIs(1));
  removeNamedMutex(name);
}

TEST(MultiProcessPosixTest, KilledHolderMakesLockFailSilentlyOnce) {
  const std::string name = uniqueName("abandonlock");
  Mutex mutex(name);
  {
    Child child([&](int ready) {
      Mutex own(name);
      if (!own.lock()) return 2;
      Child::ready(ready);
      ::pause();
      return 0;
    });
    ASSERT_TRUE(child.awaitReady());
    child.kill();
    child.waitResult();
  }
  LogCapture capture;
  EXPECT_FALSE(mutex.lock());
  EXPECT_THAT(capture.lines(), SizeIs(0));
  EXPECT_TRUE(mutex.lock());
  EXPECT_TRUE(mutex.leave());
  removeNamedMutex(name);
}

TEST(MultiProcessPosixTest, ChildSignalsTheNamedSemaphore) {
  const std::string name = uniqueName("psem");
  Semaphore semaphore(name, 10);
  ASSERT_TRUE(semaphore.valid());
  Child child([&](int) {
    Semaphore own(name, 10);
    return own.signal() && own.signal() ? 0 : 2;
  });
  ASSERT_TRUE(child.started());
  EXPECT_TRUE(semaphore.wait(5000));
  EXPECT_TRUE(semaphore.wait(5000));
  EXPECT_FALSE(semaphore.wait(0));
  const int status = child.waitResult();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  removeNamedSemaphore(name);
}

TEST(MultiProcessPosixTest, ChildWritesTheSectionTheParentCreated) {
  const std::string name = uniqueName("pshm");
  std::uint8_t* view = createSharedMemory(name, 8192);
  ASSERT_NE(view, nullptr);
  Child child([&](int) {
    std::uint8_t* own = openSharedMemory(name);
    if (own == nullptr || mappedLength(own) != 8192) return 2;
    std::memcpy(own + 8000, "child", 6);
    return closeSharedMemory(own, 8192) ? 0 : 3;
  });
  const int status = child.waitResult();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_STREQ(reinterpret_cast<const char*>(view + 8000), "child");
  EXPECT_TRUE(closeSharedMemory(view, 8192));
  EXPECT_TRUE(removeSharedMemory(name));
}

// A normal exit runs the teardown of both registries once, with semaphores
// and views still in them, and must end cleanly.
TEST(MultiProcessPosixTest, ExitTearsDownRegistriesThatStillHoldObjects) {
  const std::string semaphoreName = uniqueName("exitsem");
  const std::string sectionName = uniqueName("exitshm");
  Child child([&](int) {
    if (getNamedSemaphore(semaphoreName, true) == nullptr) return 2;
    if (createSharedMemory(sectionName, 4096) == nullptr) return 3;
    std::exit(0);
  });
  const int status = child.waitResult();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(removeNamedSemaphore(semaphoreName));
  EXPECT_TRUE(removeSharedMemory(sectionName));
}

// Runs after every test of the process: nothing this run made may remain.
class NoObjectsLeft : public ::testing::Environment {
 public:
  void TearDown() override {
    std::size_t left = 0;
    for (const char* kind : {"Mutex_", "Semaphore_", "Shmem_"}) {
      left += removeNamedObjectsWithPrefix(test::runPrefixOf(kind));
    }
    EXPECT_EQ(left, 0U) << "system objects of this test run were left in /dev/shm";
  }
};

// GoogleTest owns registered environments.
[[maybe_unused]] ::testing::Environment* const noObjectsLeft =
    ::testing::AddGlobalTestEnvironment(new NoObjectsLeft);

}  // namespace
}  // namespace vornix
