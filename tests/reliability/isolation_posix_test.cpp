// Named objects are kept per user: every object is created with mode 0600,
// another user can neither open the objects nor find them under its own
// names, and an object planted under our name by another user is refused.
// Runs only as root, which can create a throw-away user for the test.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "host/config.h"
#include "host/instance.h"
#include "host/instance_view.h"
#include "host/type_registry.h"
#include "reliability/fork_support_posix.h"
#include "support/test_instances.h"
#include "util/log.h"
#include "util/mutex.h"
#include "util/named_objects.h"
#include "util/object_names.h"
#include "util/semaphore.h"
#include "util/shared_memory.h"

namespace vornix {
namespace {

// A system user made for one test and deleted afterwards.
class ThrowAwayUser {
 public:
  ThrowAwayUser() : name_("lqiso" + std::to_string(::getpid())) {
    const std::string add = "useradd -M -r -s /usr/sbin/nologin " + name_ + " >/dev/null 2>&1";
    if (std::system(add.c_str()) != 0) return;
    if (const passwd* entry = ::getpwnam(name_.c_str())) {
      uid_ = entry->pw_uid;
      gid_ = entry->pw_gid;
    }
  }
  ~ThrowAwayUser() {
    if (uid_) (void)std::system(("userdel " + name_ + " >/dev/null 2>&1").c_str());
  }
  ThrowAwayUser(const ThrowAwayUser&) = delete;
  ThrowAwayUser& operator=(const ThrowAwayUser&) = delete;
  bool made() const { return uid_.has_value(); }
  // In a forked child: become the user for good.
  bool become() const {
    return made() && ::setgroups(0, nullptr) == 0 && ::setresgid(gid_, gid_, gid_) == 0 &&
           ::setresuid(*uid_, *uid_, *uid_) == 0;
  }

 private:
  std::string name_;
  std::optional<uid_t> uid_;
  gid_t gid_ = 0;
};

// Every kind of object is a file of its own system name.
std::string shmPath(const std::string& fullName) {
  const std::optional<std::string> name = systemObjectName(fullName);
  if (!name) return {};
  return "/dev/shm/" + name->substr(1);
}

class IsolationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to create a throw-away user";
    user.emplace();
    if (!user->made()) GTEST_SKIP() << "useradd is not available";
    setLogLineSink([](std::uint32_t, std::uint8_t, std::uint8_t, std::string_view) {});
  }
  void TearDown() override {
    removePlanted();
    user.reset();
    // What a failed check left behind (removing what is gone already is
    // harmless).
    removeSharedMemory(logical);
    removeNamedMutex(logical);
    removeNamedSemaphore(logical);
    setLogLineSink({});
  }
  // Creates empty files under `fullNames` (their system names for us) as
  // the other user, the way anyone can in /dev/shm; true when all were made.
  bool plantAsOtherUser(const std::vector<std::string>& fullNames) {
    for (const std::string& name : fullNames) plantedPaths.push_back(shmPath(name));
    const pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
      if (!user->become()) _exit(10);
      for (const std::string& path : plantedPaths) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
        if (fd < 0) _exit(11);
        ::fchmod(fd, 0666);
        ::close(fd);
      }
      _exit(0);
    }
    return test::waitChild(child) == 0;
  }
  void removePlanted() {
    for (const std::string& path : plantedPaths) ::unlink(path.c_str());
    plantedPaths.clear();
  }
  std::string logical = "LoquantIsolation_" + std::to_string(::getpid());
  std::optional<ThrowAwayUser> user;
  std::vector<std::string> plantedPaths;
};

TEST_F(IsolationTest, ObjectsAreOwnerOnlyAndAnotherUserCannotOpenThem) {
  std::uint8_t* section = createSharedMemory(logical, 4096);
  ASSERT_NE(section, nullptr);
  Mutex mutex(logical);
  ASSERT_TRUE(mutex.valid());
  Semaphore* semaphore = getNamedSemaphore(logical, true);
  ASSERT_NE(semaphore, nullptr);
  const std::string paths[] = {shmPath("Local\\Shmem_" + logical),
                               shmPath("Local\\Mutex_" + logical),
                               shmPath("Local\\Semaphore_" + logical)};
  for (const std::string& path : paths) {
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0) << path;
    EXPECT_EQ(info.st_mode & 07777, 0600U) << path;
    EXPECT_EQ(info.st_uid, ::geteuid()) << path;
  }

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (!user->become()) _exit(10);
    int failures = 0;
    for (const std::string& path : paths) {
      for (const int mode : {O_RDWR, O_RDONLY}) {
        const int fd = ::open(path.c_str(), mode);
        if (fd >= 0 || errno != EACCES) ++failures;
        if (fd >= 0) ::close(fd);
      }
    }
    // Under the other user's own names the objects do not exist.
    if (openSharedMemory(logical) != nullptr) ++failures;
    _exit(failures);
  }
  EXPECT_EQ(test::waitChild(child), 0) << "another user reached an object";

  closeSharedMemory(section, 4096);
  EXPECT_TRUE(removeSharedMemory(logical));
  EXPECT_TRUE(removeNamedMutex(logical));
  EXPECT_TRUE(removeNamedSemaphore(logical));
}

TEST_F(IsolationTest, SectionPlantedUnderOurNameByAnotherUserIsRefused) {
  const std::string planted = logical + "_planted";
  const std::string path = shmPath("Local\\Shmem_" + planted);
  ASSERT_FALSE(path.empty());
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (!user->become()) _exit(10);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
    if (fd < 0) _exit(11);
    const bool sized = ::fchmod(fd, 0666) == 0 && ::ftruncate(fd, 4096) == 0;
    ::close(fd);
    _exit(sized ? 0 : 12);
  }
  ASSERT_EQ(test::waitChild(child), 0);

  EXPECT_EQ(openSharedMemory(planted), nullptr);
  EXPECT_EQ(createSharedMemory(planted, 4096), nullptr);
  ::unlink(path.c_str());
}

// Names another user planted for an instance (a queue semaphore, a grown
// store section, a fake master) neither empty a run silently nor get removed:
// a configured number is refused, a host without one steps over it, and
// `inspect` does not count a master that is not ours.
TEST_F(IsolationTest, NamesPlantedByAnotherUserAreRefusedSteppedOverAndLeftAlone) {
  // Numbers of this process alone: a neighbour's instance under `fake` would
  // be listed.
  const std::uint16_t configured = test::testInstance();
  const std::uint16_t first = host::Instance::defaultNumber();
  const std::uint16_t fake = test::testInstance();
  ASSERT_TRUE(
      plantAsOtherUser({semaphoreFullName(queueSemaphoreName(configured, 1)),
                        sectionFullName(familySectionName(SectionFamily::temporal, first, 2)),
                        sectionFullName(masterSectionName(fake))}));

  host::SystemConfig config;
  host::TypeRegistry types;
  std::string error;
  EXPECT_EQ(host::Instance::create(configured, config, types, error), nullptr);
  EXPECT_THAT(error, ::testing::HasSubstr("belongs to another user"));
  {
    std::unique_ptr<host::Instance> picked =
        host::Instance::create(std::nullopt, config, types, error);
    ASSERT_NE(picked, nullptr) << error;
    EXPECT_NE(picked->number(), first);
    const std::vector<std::uint16_t> listed = host::listInstances();
    EXPECT_THAT(listed, ::testing::Contains(picked->number()));
    EXPECT_THAT(listed, ::testing::Not(::testing::Contains(fake)));
  }
  // Neither the refused start nor the stop of the other removed them.
  for (const std::string& path : plantedPaths) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  }
  removePlanted();
}

}  // namespace
}  // namespace vornix
