// The entry points over a real handle: a cleared running flag ends each at
// once with its normal-end code, and a pair without a trigger message (a null
// trigger name) is taken like any other. Each export runs in a child process
// of its own: the library's process-wide state lives from one run to the next.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "handle_rig.h"
#include "host/library.h"
#include "support/test_process.h"

namespace vornix::testing {
namespace {

constexpr const char* kExports[] = {"AnalyzeSingle", "AnalyzeSingleContinuous",
                                    "AnalyzeTwo",    "PitchTrackerDetector",
                                    "Runtime",       "Test"};

// 0 when the export returned 0; otherwise 1 + its result's low bits.
int runExport(const char* name, bool stopFirst) {
  std::string error;
  auto library = host::ComponentLibrary::open(host::ComponentLibrary::defaultPath(), error);
  if (!library) return 100;
  const host::EntryPoint entry = library->find(name);
  if (!entry) return 101;
  HandleRig rig;
  if (!rig.ready()) return 102;
  ZelAPI& api = rig.handle(HandleRig::kReceiver);
  std::int32_t result = -100;
  if (stopFirst) {
    api.setRunning(false);
    result = entry(&api);
  } else {
    auto message = std::make_unique<DataMessage>();
    message->setInt("Timestamp", 1);
    EXPECT_TRUE(api.queuePair(nullptr, std::move(message)));
    std::thread component([&] { result = entry(&api); });
    // Long enough for the component to take the pair; the check below is
    // that the run ends normally, not how fast.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::size_t left = api.queuedPairs();
    api.setRunning(false);
    component.join();
    if (left != 0) return 103;
  }
  return result == 0 ? 0 : 1 + (result & 0x3F);
}

// Runs the export named by the argument ("<name> stop" or "<name> pair") in
// this process.
int runExportRole(const std::string& argument) {
  const std::size_t space = argument.find(' ');
  if (space == std::string::npos) return 104;
  return runExport(argument.substr(0, space).c_str(), argument.substr(space + 1) == "stop");
}
[[maybe_unused]] const bool kExportRole = test::registerChildRole("run-export", &runExportRole);

// The export's result code from a child process of its own (255 when it
// could not be started or did not end).
int inChild(const char* name, bool stopFirst) {
  const auto child =
      test::ChildProcess::start("run-export", std::string(name) + (stopFirst ? " stop" : " pair"));
  if (!child) return 255;
  const int status = child->wait();
  return status >= 0 ? status : 255;
}

TEST(EntryContract, ClearedRunningFlagEndsEveryExportAtOnce) {
  for (const char* name : kExports) {
    EXPECT_EQ(inChild(name, true), 0) << name;
  }
}

TEST(EntryContract, PairWithoutTriggerIsTakenAndTheRunEndsNormally) {
  for (const char* name : kExports) {
    EXPECT_EQ(inChild(name, false), 0) << name;
  }
}

}  // namespace
}  // namespace vornix::testing
