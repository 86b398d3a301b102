// Named objects shared between two Windows processes through their "Local\"
// names, including a holder that exits without releasing a mutex (the
// abandoned case). The child is this test program again, running one role of
// SyncChildWin32 chosen by environment variables.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sync_test_support.h"
#include "util/mutex.h"
#include "util/named_objects.h"
#include "util/semaphore.h"
#include "util/shared_memory.h"

namespace vornix {
namespace {

using test::LogCapture;
using test::uniqueName;
using ::testing::HasSubstr;
using ::testing::SizeIs;

constexpr const char* kRoleVariable = "LOQUANT_SYNC_CHILD_ROLE";
constexpr const char* kNameVariable = "LOQUANT_SYNC_CHILD_NAME";
constexpr std::size_t kSectionSize = 4096;

std::string variable(const char* name) {
  char buffer[512] = {};
  const DWORD length = ::GetEnvironmentVariableA(name, buffer, sizeof buffer);
  return length > 0 && length < sizeof buffer ? std::string(buffer, length) : std::string();
}

std::string programPath() {
  char buffer[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  return std::string(buffer, length);
}

// A child process running `role` on objects named after `name`; the process
// handle closes with the object.
class Child {
 public:
  Child(const std::string& role, const std::string& name) {
    ::SetEnvironmentVariableA(kRoleVariable, role.c_str());
    ::SetEnvironmentVariableA(kNameVariable, name.c_str());
    std::string command = "\"" + programPath() +
                          "\" --gtest_filter=SyncChildWin32.DISABLED_Role"
                          " --gtest_also_run_disabled_tests";
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                         &startup, &info) != 0) {
      ::CloseHandle(info.hThread);
      process_ = info.hProcess;
    }
    ::SetEnvironmentVariableA(kRoleVariable, nullptr);
    ::SetEnvironmentVariableA(kNameVariable, nullptr);
  }
  ~Child() {
    if (process_ != nullptr) {
      if (::WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) ::TerminateProcess(process_, 99);
      ::CloseHandle(process_);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return process_ != nullptr; }
  // The exit code, or -1 when the child did not end within 30 s.
  int exitCode() {
    if (::WaitForSingleObject(process_, 30'000) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    ::GetExitCodeProcess(process_, &code);
    return static_cast<int>(code);
  }

 private:
  HANDLE process_ = nullptr;
};

// ------------------------------------------------------------ child roles

// Runs only when a test above starts this program as its child.
TEST(SyncChildWin32, DISABLED_Role) {
  const std::string role = variable(kRoleVariable);
  const std::string name = variable(kNameVariable);
  ASSERT_FALSE(role.empty());
  Semaphore ready(name + "_ready", 10);
  Semaphore go(name + "_go", 10);
  if (role == "hold-mutex" || role == "abandon-mutex") {
    Mutex mutex(name);
    ASSERT_TRUE(mutex.enter(5000, "child"));
    ASSERT_TRUE(ready.signal());
    // Exits holding the mutex: no destructor runs, the system abandons it.
    if (role == "abandon-mutex") ::ExitProcess(0);
    ASSERT_TRUE(go.wait(30'000));
    EXPECT_TRUE(mutex.leave());
  } else if (role == "signal-semaphore") {
    Semaphore semaphore(name, 100);
    EXPECT_TRUE(semaphore.signal());
    EXPECT_TRUE(semaphore.signal());
  } else if (role == "answer-section") {
    std::uint8_t* view = openSharedMemory(name);
    ASSERT_NE(view, nullptr);
    for (std::size_t i = 0; i < 256; ++i) ASSERT_EQ(view[i], static_cast<std::uint8_t>(i));
    std::memset(view + 1024, 0xA5, 1024);
    EXPECT_TRUE(closeSharedMemory(view, kSectionSize));
  } else {
    FAIL() << "unknown role " << role;
  }
}

// ------------------------------------------------------------------ tests

TEST(MultiProcessWin32, ChildHoldingTheNamedMutexBlocksUsUntilItLeaves) {
  const std::string name = uniqueName("mutex");
  Mutex mutex(name);
  Semaphore ready(name + "_ready", 10);
  Semaphore go(name + "_go", 10);
  ASSERT_TRUE(mutex.valid());
  Child child("hold-mutex", name);
  ASSERT_TRUE(child.started());
  ASSERT_TRUE(ready.wait(30'000));
  {
    LogCapture capture;
    EXPECT_FALSE(mutex.enter(0, "vornix::Test::parent"));
    // The holder is in another process: the line shows what this process's
    // object recorded (nobody, no levels, no entries).
    ASSERT_THAT(capture.lines(), SizeIs(1));
    EXPECT_THAT(capture.lines()[0], HasSubstr("Mutex enter timeout["));
    EXPECT_THAT(capture.lines()[0],
                HasSubstr("](vornix::Test::parent) - currently held by 0, count 0, total 0"));
  }
  ASSERT_TRUE(go.signal());
  EXPECT_EQ(child.exitCode(), 0);
  EXPECT_TRUE(mutex.enter(1000, "vornix::Test::parent"));
  EXPECT_TRUE(mutex.leave());
}

TEST(MultiProcessWin32, HolderThatExitsIsReportedAbandonedOnceThenTheMutexIsFree) {
  const std::string name = uniqueName("abandon");
  Mutex mutex(name);
  Semaphore ready(name + "_ready", 10);
  ASSERT_TRUE(mutex.valid());
  Child child("abandon-mutex", name);
  ASSERT_TRUE(child.started());
  ASSERT_TRUE(ready.wait(30'000));
  EXPECT_EQ(child.exitCode(), 0);

  LogCapture capture;
  EXPECT_FALSE(mutex.enter(1000, "vornix::Test::abandoned"));
  ASSERT_THAT(capture.lines(), SizeIs(1));
  EXPECT_THAT(capture.lines()[0], HasSubstr("Mutex enter error["));
  EXPECT_THAT(capture.lines()[0], HasSubstr("](vornix::Test::abandoned): 128 - currently held by"));
  EXPECT_EQ(mutex.depth(), 0U);
  // Released by the report: the next wait gets it at once.
  EXPECT_TRUE(mutex.enter(0, "vornix::Test::after"));
  EXPECT_EQ(mutex.depth(), 1U);
  EXPECT_TRUE(mutex.leave());
}

TEST(MultiProcessWin32, AbandonedMutexMakesLockFailSilentlyOnce) {
  const std::string name = uniqueName("abandonlock");
  Mutex mutex(name);
  Semaphore ready(name + "_ready", 10);
  Child child("abandon-mutex", name);
  ASSERT_TRUE(child.started());
  ASSERT_TRUE(ready.wait(30'000));
  EXPECT_EQ(child.exitCode(), 0);

  LogCapture capture;
  EXPECT_FALSE(mutex.lock());
  EXPECT_THAT(capture.lines(), SizeIs(0));
  EXPECT_TRUE(mutex.lock());
  EXPECT_TRUE(mutex.leave());
}

TEST(MultiProcessWin32, ChildSignalsTheNamedSemaphore) {
  const std::string name = uniqueName("semaphore");
  Semaphore semaphore(name, 100);
  ASSERT_TRUE(semaphore.valid());
  Child child("signal-semaphore", name);
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.exitCode(), 0);
  EXPECT_TRUE(semaphore.wait(5000));
  EXPECT_TRUE(semaphore.wait(5000));
  EXPECT_FALSE(semaphore.wait(0));
}

TEST(MultiProcessWin32, ChildReadsAndWritesTheSectionWeCreated) {
  const std::string name = uniqueName("section");
  std::uint8_t* view = createSharedMemory(name, kSectionSize);
  ASSERT_NE(view, nullptr);
  for (std::size_t i = 0; i < 256; ++i) view[i] = static_cast<std::uint8_t>(i);
  Child child("answer-section", name);
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.exitCode(), 0);
  EXPECT_EQ(view[1024], 0xA5);
  EXPECT_EQ(view[2047], 0xA5);
  EXPECT_EQ(view[2048], 0);
  EXPECT_TRUE(closeSharedMemory(view, kSectionSize));
}

// ------------------------------------------------ the kernel's name rules

TEST(KernelObjectsWin32, FullNameIsTheSystemNameAndLongOnesAreRefused) {
  EXPECT_EQ(systemObjectName("Local\\Mutex_a/b%c"), "Local\\Mutex_a/b%c");
  EXPECT_FALSE(systemObjectName(std::string(kMaxSystemNameLength + 1, 'n')).has_value());
  EXPECT_TRUE(systemObjectName(std::string(kMaxSystemNameLength, 'n')).has_value());
}

TEST(KernelObjectsWin32, NamesLiveAsLongAsTheirLastHandle) {
  const std::string name = uniqueName("lifetime");
  std::uint8_t* view = createSharedMemory(name, 100);
  ASSERT_NE(view, nullptr);
  // Removal cannot take the name away from an open object; it reports that
  // the object is there, and the name goes with the last handle.
  EXPECT_TRUE(removeSharedMemory(name));
  std::uint8_t* again = openSharedMemory(name);
  ASSERT_NE(again, nullptr);
  // An opened section's length is whole pages, all of them mapped.
  EXPECT_EQ(mappedLength(view), 100U);
  EXPECT_EQ(mappedLength(again) % 4096U, 0U);
  EXPECT_GE(mappedLength(again), 100U);
  EXPECT_TRUE(closeSharedMemory(again, mappedLength(again)));
  EXPECT_TRUE(closeSharedMemory(view, 100));
  EXPECT_FALSE(removeSharedMemory(name));
  EXPECT_EQ(openSharedMemory(name), nullptr);
  EXPECT_EQ(removeNamedObjectsWithPrefix("Local\\Shmem_"), 0U);
}

TEST(KernelObjectsWin32, SemaphoreCountAndMaximumComeFromTheKernel) {
  const std::string name = uniqueName("count");
  Semaphore first(name, 2);
  Semaphore second(name, 100);  // opens the existing one: its maximum stays 2
  ASSERT_TRUE(first.valid());
  EXPECT_EQ(first.count(), 0);
  EXPECT_TRUE(first.signal());
  EXPECT_TRUE(second.signal());
  EXPECT_EQ(second.count(), 2);
  EXPECT_FALSE(second.signal());
  EXPECT_EQ(first.count(), 2);
  EXPECT_TRUE(first.wait(0));
  EXPECT_EQ(second.count(), 1);
}

}  // namespace
}  // namespace vornix
