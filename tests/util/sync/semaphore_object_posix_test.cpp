// The shared-memory objects that carry named semaphores on POSIX: what a
// creator killed part way leaves, signals across processes, and the objects
// under our names that must not be used.
#include <dirent.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "child_process_posix.h"
#include "private_shm_posix.h"
#include "sync_test_support.h"
#include "util/mutex.h"
#include "util/object_names.h"
#include "util/semaphore.h"
#include "util/shared_memory.h"

namespace vornix {
namespace {

using test::Child;
using test::LogCapture;
using test::uniqueName;
using ::testing::Contains;
using ::testing::HasSubstr;

std::vector<std::string> filesInDevShm() {
  std::vector<std::string> files;
  if (DIR* directory = ::opendir("/dev/shm")) {
    while (const dirent* entry = ::readdir(directory)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") files.push_back(name);
    }
    ::closedir(directory);
  }
  return files;
}

// A creator killed at every point of its work (each round kills a process
// that creates semaphores one after another, at a different moment after its
// first one) leaves only files whose names start with a semaphore's own
// name, so the next start of their instance clears them all. The system's
// own named semaphores staged each new one as "sem.XXXXXX" and linked it to
// its name afterwards, and left such stubs behind about one kill in eight.
// And what stands under a semaphore's own name is whole: made in place, a
// semaphore whose creator was killed before it was sized was refused by every
// later opener, for good.
TEST(SemaphoreObjectPosixTest, KilledCreatorsLeaveOnlyFilesOfTheirOwnNames) {
  const std::string prefix = uniqueName("killed") + "_";
  const test::PrivateShmRun run = test::runInPrivateShm(64 * 1024, [&] {
    std::size_t made = 0;
    for (int round = 0; round < 100; ++round) {
      Child creator([&](int ready) {
        for (int i = 0;; ++i) {
          if (!Semaphore(prefix + std::to_string(round) + "_" + std::to_string(i), 1).valid()) {
            return 1;
          }
          if (i == 0) Child::ready(ready);
        }
      });
      if (creator.awaitReady()) ++made;
      ::usleep(static_cast<useconds_t>((round * 7) % 200));
      creator.kill();
      creator.waitResult();
    }
    const std::optional<std::string> ours = systemObjectName(semaphoreFullName(prefix));
    if (!ours) return 2;
    const std::vector<std::string> left = filesInDevShm();
    if (made != 100 || left.size() < made) return 3;
    for (const std::string& file : left) {
      if (file.rfind(ours->substr(1), 0) != 0) return 4;
      // The rest of the file name is the round and count, or those followed
      // by the staging mark of an object that was never published.
      const std::string own = file.substr(ours->size() - 1);
      if (own.find('%') == std::string::npos && !Semaphore(prefix + own, 1).valid()) return 7;
    }
    if (removeNamedObjectsWithPrefix(semaphoreFullName(prefix)) != left.size()) return 5;
    return filesInDevShm().empty() ? 0 : 6;
  });
  if (!run.exitCode) GTEST_SKIP() << run.skipReason;
  EXPECT_EQ(*run.exitCode, 0) << "2: name refused, 3: a creator failed, 4: a file of another "
                                 "name, 5/6: the removal by prefix missed files, 7: a half-made "
                                 "semaphore under its own name";
}

// Names of every length work, up to the longest a system name may be: a
// name too long for a staging name besides is made under its own name, and
// either way a second handle to the name reaches the same object, and
// removing the name leaves no file behind.
TEST(SemaphoreObjectPosixTest, NamesUpToTheLongestReachOneObject) {
  const std::string base = uniqueName("long");
  const std::optional<std::string> shortest = systemObjectName(semaphoreFullName(base));
  ASSERT_TRUE(shortest);
  const std::size_t room = kMaxSystemNameLength - (shortest->size() - 1);
  for (const std::size_t pad : {std::size_t{0}, room - 20, room - 8, room}) {
    const std::string name = base + std::string(pad, 'n');
    SCOPED_TRACE(name.size());
    {
      Semaphore made(name, 2);
      Semaphore opened(name, 2);
      ASSERT_TRUE(made.valid() && opened.valid());
      EXPECT_TRUE(made.signal());
      EXPECT_EQ(opened.count(), 1);
      EXPECT_TRUE(opened.wait(0));
      Mutex mutex(name);
      MutexHold hold(mutex);
      EXPECT_TRUE(hold.held());
    }
    EXPECT_TRUE(removeNamedSemaphore(name));
    EXPECT_TRUE(removeNamedMutex(name));
    const std::optional<std::string> semaphoreFile = systemObjectName(semaphoreFullName(name));
    const std::optional<std::string> mutexFile = systemObjectName(mutexFullName(name));
    ASSERT_TRUE(semaphoreFile && mutexFile);
    for (const std::string& file : filesInDevShm()) {
      EXPECT_NE(file.rfind(semaphoreFile->substr(1), 0), 0U) << file << " left behind";
      EXPECT_NE(file.rfind(mutexFile->substr(1), 0), 0U) << file << " left behind";
    }
  }
}

// The count lives in the object: what one process signals another takes, a
// waiter in one process is woken by a signal from another, and the maximum
// is kept across them.
TEST(SemaphoreObjectPosixTest, SignalsAndWaitsCrossProcessesThroughTheObject) {
  const std::string up = uniqueName("up");      // the child signals, the parent waits
  const std::string down = uniqueName("down");  // the other way round
  Semaphore fromChild(up, 1);
  Semaphore toChild(down, 1);
  ASSERT_TRUE(fromChild.valid() && toChild.valid());
  Child child([&](int ready) {
    Semaphore signalled(up, 1);
    Semaphore awaited(down, 1);
    if (!signalled.valid() || !awaited.valid() || !signalled.signal()) return 2;
    Child::ready(ready);
    return awaited.wait(10000) ? 0 : 3;
  });
  ASSERT_TRUE(child.started());
  ASSERT_TRUE(child.awaitReady());
  EXPECT_EQ(fromChild.count(), 1);
  EXPECT_FALSE(fromChild.signal()) << "the child's signal reached the maximum";
  EXPECT_TRUE(fromChild.wait(0));
  EXPECT_TRUE(toChild.signal());
  const int status = child.waitResult();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(toChild.count(), 0) << "the child's wait took the signal";
  EXPECT_TRUE(removeNamedSemaphore(up));
  EXPECT_TRUE(removeNamedSemaphore(down));
}

// Plants something under the name's file; true when planted.
using Plant = bool (*)(const std::string& file, const std::string& target);

bool plantLink(const std::string& file, const std::string& target) {
  return ::symlink(target.c_str(), file.c_str()) == 0;
}
bool plantFile(const std::string& file, mode_t mode, off_t size) {
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  if (fd < 0) return false;
  const bool made = ::fchmod(fd, mode) == 0 && ::ftruncate(fd, size) == 0;
  ::close(fd);
  return made;
}
bool plantShortFile(const std::string& file, const std::string&) {
  return plantFile(file, 0600, 64);
}
bool plantLongFile(const std::string& file, const std::string&) {
  return plantFile(file, 0600, 4096);
}
bool plantReadableFile(const std::string& file, const std::string&) {
  return plantFile(file, 0644, 128);
}
bool plantFifo(const std::string& file, const std::string&) {
  return ::mkfifo(file.c_str(), 0600) == 0;
}
// A file of another user; only root can plant it here (as root, the sticky
// shared-memory directory would not stop us removing it either).
bool plantForeignFile(const std::string& file, const std::string&) {
  return plantFile(file, 0600, 128) && ::chown(file.c_str(), 65534, 65534) == 0;
}

struct Planting {
  const char* what;
  Plant plant;
  const char* line;  // what the refusal says
};

const Planting kPlantings[] = {
    {"a symbolic link to a semaphore of ours", plantLink, "is a symbolic link; not used"},
    {"a file too short", plantShortFile, "has 64 bytes, not 128; not used"},
    {"a file too long", plantLongFile, "has 4096 bytes, not 128; not used"},
    {"a file others may read", plantReadableFile, "has access mode 0644, not 0600; not used"},
    {"a FIFO", plantFifo, "is not a regular file; not used"},
};

// A name whose file is not an object we made is refused with a line saying
// why; it is neither used nor replaced. The link leads to a working semaphore
// of ours, so following it would have "worked".
TEST(SemaphoreObjectPosixTest, WhatWasNotMadeForUsUnderTheNameIsRefused) {
  const std::string target = uniqueName("target");
  Semaphore real(target, 1);
  ASSERT_TRUE(real.valid());
  for (const Planting& planting : kPlantings) {
    SCOPED_TRACE(planting.what);
    const std::string name = uniqueName("planted");
    const std::string file = test::objectFile(semaphoreFullName(name));
    ASSERT_TRUE(planting.plant(file, test::objectFile(semaphoreFullName(target))));
    LogCapture log;
    Semaphore semaphore(name, 1);
    EXPECT_FALSE(semaphore.valid());
    EXPECT_EQ(getNamedSemaphore(name, true), nullptr);
    EXPECT_THAT(log.lines(),
                Contains(HasSubstr("'" + semaphoreFullName(name) + "' " + planting.line)));
    struct stat info {};
    EXPECT_EQ(::lstat(file.c_str(), &info), 0) << "the planted file was replaced";
    ::unlink(file.c_str());
  }
  EXPECT_TRUE(real.signal()) << "the link's target was touched";
  EXPECT_TRUE(removeNamedSemaphore(target));
}

// The mutexes and sections share the checks: a link is never followed, a
// file others may read is not used.
TEST(SemaphoreObjectPosixTest, MutexAndSectionNamesRefuseLinksAndOpenModesToo) {
  const std::string target = uniqueName("linked");
  std::uint8_t* section = createSharedMemory(target, 4096);
  ASSERT_NE(section, nullptr);
  const std::string targetFile = test::objectFile(sectionFullName(target));
  for (const Planting& planting : {kPlantings[0], kPlantings[3]}) {
    SCOPED_TRACE(planting.what);
    const std::string name = uniqueName("plantedkinds");
    const std::string mutexFile = test::objectFile(mutexFullName(name));
    const std::string sectionFile = test::objectFile(sectionFullName(name));
    ASSERT_TRUE(planting.plant(mutexFile, targetFile));
    ASSERT_TRUE(planting.plant(sectionFile, targetFile));
    LogCapture log;
    EXPECT_FALSE(Mutex(name).valid());
    EXPECT_EQ(openSharedMemory(name), nullptr);
    EXPECT_EQ(createSharedMemory(name, 4096), nullptr);
    EXPECT_THAT(log.lines(), Contains(HasSubstr("'" + mutexFullName(name) + "' " + planting.line)));
    EXPECT_THAT(log.lines(),
                Contains(HasSubstr("'" + sectionFullName(name) + "' " + planting.line)));
    ::unlink(mutexFile.c_str());
    ::unlink(sectionFile.c_str());
  }
  EXPECT_TRUE(closeSharedMemory(section, 4096));
  EXPECT_TRUE(removeSharedMemory(target));
}

// Removal by name removes only what is ours: a link (even to an object of
// ours), a FIFO or another user's file under one of our names stays where it
// is, with a line saying so, for every kind of object.
TEST(SemaphoreObjectPosixTest, RemovalLeavesWhatIsNotOursInPlace) {
  const std::string target = uniqueName("removaltarget");
  std::uint8_t* section = createSharedMemory(target, 4096);
  ASSERT_NE(section, nullptr);
  const std::string targetFile = test::objectFile(sectionFullName(target));
  std::vector<Planting> plantings = {kPlantings[0], kPlantings[4]};
  if (::geteuid() == 0) plantings.push_back({"another user's file", plantForeignFile, ""});
  for (const Planting& planting : plantings) {
    SCOPED_TRACE(planting.what);
    const std::string name = uniqueName("plantedremoval");
    const struct {
      std::string full;
      bool (*remove)(std::string_view);
    } kinds[] = {{mutexFullName(name), removeNamedMutex},
                 {semaphoreFullName(name), removeNamedSemaphore},
                 {sectionFullName(name), removeSharedMemory}};
    for (const auto& kind : kinds) {
      const std::string file = test::objectFile(kind.full);
      ASSERT_TRUE(planting.plant(file, targetFile));
      LogCapture log;
      EXPECT_FALSE(kind.remove(name));
      EXPECT_THAT(log.lines(), Contains(HasSubstr("'" + kind.full + "' is not ours; not removed")));
      struct stat info {};
      EXPECT_EQ(::lstat(file.c_str(), &info), 0) << kind.full << " was removed";
      ::unlink(file.c_str());
    }
  }
  struct stat info {};
  EXPECT_EQ(::lstat(targetFile.c_str(), &info), 0) << "the link's target was removed";
  EXPECT_TRUE(closeSharedMemory(section, 4096));
  EXPECT_TRUE(removeSharedMemory(target));
}

}  // namespace
}  // namespace vornix
