// What only the POSIX objects show: the files under /dev/shm, their modes
// whatever the umask, and the removal of names while the objects stay in use.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "sync_test_support.h"
#include "util/mutex.h"
#include "util/semaphore.h"
#include "util/shared_memory.h"

namespace vornix {
namespace {

using test::uniqueName;

using test::NamedMutexName;
using test::NamedSemaphoreName;
using test::SectionName;

TEST(MutexTest, ObjectIsPrivateToTheUserWhateverTheUmaskPosix) {
  NamedMutexName name;
  const mode_t old = ::umask(0277);
  Mutex mutex(name.logical);
  ::umask(old);
  ASSERT_TRUE(mutex.valid());
  EXPECT_EQ(test::objectMode(mutex.fullName()), 0600);

  EXPECT_TRUE(removeNamedMutex(name.logical));
  EXPECT_EQ(test::objectMode(mutex.fullName()), -1);
  EXPECT_FALSE(removeNamedMutex(name.logical));
  // Still usable by those who have it open.
  EXPECT_TRUE(mutex.enter(0, "after remove"));
  EXPECT_TRUE(mutex.leave());
}

TEST(SemaphoreTest, ObjectIsPrivateToTheUserWhateverTheUmaskPosix) {
  NamedSemaphoreName name;
  const mode_t old = ::umask(0277);
  Semaphore semaphore(name.logical, 1);
  ::umask(old);
  ASSERT_TRUE(semaphore.valid());
  const std::string full = "Local\\Semaphore_" + name.logical;
  EXPECT_EQ(test::objectMode(full), 0600);
  EXPECT_TRUE(removeNamedSemaphore(name.logical));
  EXPECT_EQ(test::objectMode(full), -1);
  EXPECT_FALSE(removeNamedSemaphore(name.logical));
}

TEST(SharedMemoryTest, SectionIsPrivateToTheUserWhateverTheUmaskPosix) {
  SectionName name;
  const mode_t old = ::umask(0277);
  std::uint8_t* view = createSharedMemory(name.logical, 128);
  ::umask(old);
  ASSERT_NE(view, nullptr);
  const std::string full = "Local\\Shmem_" + name.logical;
  EXPECT_EQ(test::objectMode(full), 0600);

  EXPECT_TRUE(removeSharedMemory(name.logical));
  EXPECT_EQ(openSharedMemory(name.logical), nullptr);
  view[0] = 1;  // the view outlives the name
  EXPECT_TRUE(closeSharedMemory(view, 128));
  EXPECT_FALSE(removeSharedMemory(name.logical));
}

TEST(SharedMemoryTest, PrefixRemovalClearsEveryKindOfThisInstanceOnlyPosix) {
  const std::string instance = uniqueName("inst") + "_";
  const std::string other = uniqueName("other");
  std::uint8_t* view = createSharedMemory(instance + "section", 64);
  Mutex mutex(instance + "mutex");
  Semaphore semaphore(instance + "sem", 3);
  std::uint8_t* kept = createSharedMemory(other, 64);
  ASSERT_NE(view, nullptr);
  ASSERT_NE(kept, nullptr);
  ASSERT_TRUE(mutex.valid());
  ASSERT_TRUE(semaphore.valid());

  std::size_t removed = 0;
  for (const char* kind : {"Shmem_", "Mutex_", "Semaphore_"}) {
    removed += removeNamedObjectsWithPrefix(std::string("Local\\") + kind + instance);
  }
  EXPECT_EQ(removed, 3U);
  EXPECT_EQ(test::objectMode("Local\\Shmem_" + instance + "section"), -1);
  EXPECT_EQ(test::objectMode("Local\\Mutex_" + instance + "mutex"), -1);
  EXPECT_EQ(test::objectMode("Local\\Semaphore_" + instance + "sem"), -1);
  EXPECT_EQ(test::objectMode("Local\\Shmem_" + other), 0600);

  closeSharedMemory(view, 64);
  closeSharedMemory(kept, 64);
  EXPECT_TRUE(removeSharedMemory(other));
}

}  // namespace
}  // namespace vornix
