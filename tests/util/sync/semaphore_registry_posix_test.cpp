// The semaphore registry against names removed behind its back: by this
// process, by another copy of the runtime in it (which removes through the
// system seam without touching this registry) and by another process.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "sync_test_support.h"
#include "util/named_objects.h"
#include "util/object_names.h"
#include "util/semaphore.h"

namespace vornix {
namespace {

using test::uniqueName;
using Binding = Semaphore::NameBinding;

// The semaphore's name, with its system object's full name.
struct NamedSemaphoreName : test::NamedSemaphoreName {
  NamedSemaphoreName() : test::NamedSemaphoreName("regsem") {}
  std::string full = semaphoreFullName(logical);
};

// Removal as another copy of the runtime does it: straight through the seam.
bool removeBehindTheRegistry(const NamedSemaphoreName& name) {
  return removeSystemObject(name.full, SystemObjectKind::semaphore);
}

int waitChild(pid_t child) {
  int status = 0;
  if (::waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(SemaphoreRegistryPosixTest, RemovedSemaphoreIsReplacedAndTheOldOneStaysUsableButUnnamed) {
  NamedSemaphoreName name;
  Semaphore* old = getNamedSemaphore(name.logical, true);
  ASSERT_NE(old, nullptr);
  EXPECT_EQ(old->nameBinding(), Binding::thisObject);
  ASSERT_TRUE(removeNamedSemaphore(name.logical));
  EXPECT_EQ(old->nameBinding(), Binding::noObject);

  Semaphore* fresh = getNamedSemaphore(name.logical, true);
  ASSERT_NE(fresh, nullptr);
  EXPECT_NE(fresh, old);
  EXPECT_EQ(fresh->nameBinding(), Binding::thisObject);
  EXPECT_EQ(old->nameBinding(), Binding::otherObject);
  EXPECT_EQ(test::objectMode(name.full), 0600);

  // The old object works but no longer meets the name's other openers.
  Semaphore opener(name.logical, 10);
  EXPECT_TRUE(old->signal());
  EXPECT_FALSE(opener.wait(0));
  EXPECT_TRUE(old->wait(0));
  EXPECT_TRUE(opener.signal());
  EXPECT_TRUE(fresh->wait(1000));
}

TEST(SemaphoreRegistryPosixTest, RemovalByAnotherCopyIsSeenWithAndWithoutCreate) {
  NamedSemaphoreName name;
  Semaphore* old = getNamedSemaphore(name.logical, true);
  ASSERT_NE(old, nullptr);
  ASSERT_TRUE(removeBehindTheRegistry(name));
  // No object under the name: a lookup without create finds none and makes
  // none, and keeps no stale answer for later.
  EXPECT_EQ(getNamedSemaphore(name.logical, false), nullptr);
  EXPECT_EQ(test::objectMode(name.full), -1);

  // The other copy makes a new object under the name and signals through it.
  Semaphore otherCopy(name.logical, 10);
  ASSERT_TRUE(otherCopy.valid());
  ASSERT_TRUE(otherCopy.signal());
  Semaphore* found = getNamedSemaphore(name.logical, false);
  ASSERT_NE(found, nullptr);
  EXPECT_NE(found, old);
  EXPECT_TRUE(found->wait(1000));
  EXPECT_TRUE(found->signal());
  EXPECT_TRUE(otherCopy.wait(1000));
  EXPECT_EQ(getNamedSemaphore(name.logical, true), found);

  // Once more, now with create: the registry makes the object itself.
  ASSERT_TRUE(removeBehindTheRegistry(name));
  Semaphore* third = getNamedSemaphore(name.logical, true);
  ASSERT_NE(third, nullptr);
  EXPECT_NE(third, found);
  EXPECT_EQ(third->nameBinding(), Binding::thisObject);
  // Every pointer handed out is still a live object.
  for (Semaphore* semaphore : {old, found, third}) {
    EXPECT_TRUE(semaphore->signal());
    EXPECT_TRUE(semaphore->wait(0));
  }
}

TEST(SemaphoreRegistryPosixTest, ReplacementByAnotherProcessIsSeen) {
  NamedSemaphoreName name;
  Semaphore* old = getNamedSemaphore(name.logical, true);
  ASSERT_NE(old, nullptr);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A new object under the same name, signalled once and left behind.
    if (!removeNamedSemaphore(name.logical)) ::_exit(2);
    Semaphore replacement(name.logical, 10);
    ::_exit(replacement.signal() ? 0 : 3);
  }
  ASSERT_EQ(waitChild(child), 0);
  Semaphore* found = getNamedSemaphore(name.logical, true);
  ASSERT_NE(found, nullptr);
  EXPECT_NE(found, old);
  EXPECT_TRUE(found->wait(1000));
  EXPECT_FALSE(old->wait(0));
}

TEST(SemaphoreRegistryPosixTest, ConcurrentLookupsAfterRemovalAgreeOnOneNewObject) {
  NamedSemaphoreName name;
  Semaphore* old = getNamedSemaphore(name.logical, true);
  ASSERT_NE(old, nullptr);
  ASSERT_TRUE(removeBehindTheRegistry(name));
  std::vector<Semaphore*> seen(4, nullptr);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&, i] { seen[i] = getNamedSemaphore(name.logical, true); });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_NE(seen[0], nullptr);
  EXPECT_NE(seen[0], old);
  for (Semaphore* semaphore : seen) EXPECT_EQ(semaphore, seen[0]);
}

}  // namespace
}  // namespace vornix
