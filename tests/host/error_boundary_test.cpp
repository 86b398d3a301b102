// The error boundary, with allocations made to fail (replaced_allocation.h):
// - an allocation that fails inside a component's loop ends that component
//   with its failure code and one log line through the handle, never an
//   exception out of the entry point. Each export runs in child processes of
//   its own (the library's process-wide state lives from one run to the
//   next), each failing a different one of the first allocations of the
//   component's thread, so that failures early (setting up) and later (in
//   the loop) are both met;
// - a throw inside the handle's operations leaves its lock free.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <new>
#include <string>
#include <thread>

#include "handle_rig.h"
#include "host/library.h"
#include "loquant/loquant.h"
#include "support/replaced_allocation.h"
#include "support/test_process.h"

namespace vornix::testing {
namespace {

constexpr const char* kExports[] = {"AnalyzeSingle", "AnalyzeSingleContinuous",
                                    "AnalyzeTwo",    "PitchTrackerDetector",
                                    "Runtime",       "Test"};

// Child results: what the export did with its n-th allocation failing.
constexpr int kFailedAndLogged = 0;
constexpr int kEndedNormally = 1;  // the loop met no n-th allocation
constexpr int kFailedSilently = 2;
constexpr int kOtherResult = 3;

// "<export> <n>": runs the export on a handle that has a pair queued, with
// the n-th allocation of its thread failing, then stops it.
int failingAllocationRole(const std::string& argument) {
  const std::size_t space = argument.find(' ');
  const std::string name = argument.substr(0, space);
  const auto n = static_cast<unsigned>(std::stoul(argument.substr(space + 1)));
  std::string error;
  auto library = host::ComponentLibrary::open(host::ComponentLibrary::defaultPath(), error);
  if (!library) return 100;
  const host::EntryPoint entry = library->find(name.c_str());
  if (!entry) return 101;
  HandleRig rig;
  if (!rig.ready()) return 102;
  ZelAPI& api = rig.handle(HandleRig::kReceiver);
  auto message = std::make_unique<DataMessage>();
  message->setInt("Timestamp", 1);
  EXPECT_TRUE(api.queuePair(nullptr, std::move(message)));
  std::int32_t result = 0;
  std::thread component([&] {
    failNthAllocationOnThisThread(n);
    result = entry(&api);
    failNthAllocationOnThisThread(0);
  });
  // Long enough for the component to take the pair; a component that failed
  // has returned long before.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  api.setRunning(false);
  component.join();
  const std::vector<std::string> lines = rig.log().texts();
  const bool logged = std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.find("[receiver] " + name + " stopped by an error: std::bad_alloc") !=
           std::string::npos;
  });
  const bool failed = name == "Runtime" || name == "Test"
                          ? static_cast<std::uint8_t>(result) == loquant::kFailed8
                          : result == loquant::kFailed32;
  if (failed) return logged ? kFailedAndLogged : kFailedSilently;
  return result == 0 && !logged ? kEndedNormally : kOtherResult;
}
[[maybe_unused]] const bool kRole =
    test::registerChildRole("failing-allocation", &failingAllocationRole);

TEST(EntryBoundary, AFailedAllocationGivesTheFailureCodeAndOneLogLine) {
  if (!kSeesLibraryAllocations) GTEST_SKIP() << "the library allocates through its own runtime";
  for (const char* name : kExports) {
    int failures = 0;
    for (unsigned n = 1; n <= 4; ++n) {
      const auto child = test::ChildProcess::start("failing-allocation",
                                                   std::string(name) + " " + std::to_string(n));
      ASSERT_TRUE(child);
      const int status = child->wait();
      // A child that died (an exception through the entry point ends in
      // std::terminate) has no status of its own.
      EXPECT_TRUE(status == kFailedAndLogged || status == kEndedNormally)
          << name << ", allocation " << n << ": child status " << status;
      if (status == kFailedAndLogged) ++failures;
    }
    // Every export allocates as it starts: its first allocation fails it.
    EXPECT_GE(failures, 1) << name;
  }
}

// A component thread whose wait or post throws halfway (the n-th allocation
// fails), then stays alive while the host side checks that it can still take
// the handle's lock: a lock left held would refuse it for 1000 ms.
TEST(ErrorBoundary, AThrowInsideTheHandleLeavesItsLockFree) {
#ifdef _WIN32
  // Under the Windows toolchain's library the hand-over between the two
  // threads below never completes (seen under Wine); the handle's lock is
  // the same code on both systems.
  GTEST_SKIP() << "the two-thread hand-over hangs in the Windows build";
#endif
  HandleRig rig;
  ASSERT_TRUE(rig.ready());
  ZelAPI& api = rig.handle(HandleRig::kReceiver);
  int waitsThrown = 0, postsThrown = 0;
  for (unsigned n = 1; n <= 8; ++n) {
    SCOPED_TRACE(n);
    ASSERT_TRUE(api.queuePair(HandleRig::trigger("T", {HandleRig::post("Out", HandleRig::kPoster)}),
                              std::make_unique<DataMessage>()));
    auto posted = std::make_unique<DataMessage>();
    std::promise<void> checked;
    std::promise<void> thrown;
    std::thread component([&] {
      failNthAllocationOnThisThread(n);
      try {
        const char* name = nullptr;
        static_cast<void>(api.waitForNewMessage(100, &name));
      } catch (const std::bad_alloc&) {
        ++waitsThrown;
      }
      failNthAllocationOnThisThread(n);
      try {
        static_cast<void>(api.postOutputMessage("Out", posted.release()));
      } catch (const std::bad_alloc&) {
        ++postsThrown;
      }
      failNthAllocationOnThisThread(0);
      thrown.set_value();
      checked.get_future().wait();
    });
    thrown.get_future().wait();
    EXPECT_TRUE(api.wake()) << "the handle's lock was left held";
    checked.set_value();
    component.join();
    const char* name = nullptr;
    while (api.queuedPairs() != 0) static_cast<void>(api.waitForNewMessage(0, &name));
  }
  EXPECT_GE(waitsThrown, 1);
  EXPECT_GE(postsThrown, 1);
}

}  // namespace
}  // namespace vornix::testing
