#include <gtest/gtest.h>

#include <unistd.h>
#include <chrono>
#include <string>
#include <thread>

#include "analysis/entry_loops.h"
#include "runtime/zel_api.h"
#include "util/semaphore.h"

namespace vornix {
namespace {

// The name of a handle's inbound semaphore, removed again when the test ends
// (a host removes it at its stop; these handles have no host).
struct InboundName {
  explicit InboundName(const char* what)
      : name(std::string("analysis_loops_") + what + "_" + std::to_string(::getpid())) {}
  ~InboundName() { removeNamedSemaphore(name); }
  InboundName(const InboundName&) = delete;
  InboundName& operator=(const InboundName&) = delete;
  std::string name;
};

TEST(AnalysisEntryLoops, NullHandleCodes) {
  EXPECT_EQ(runAnalyzeSingle(nullptr), -1);
  EXPECT_EQ(runAnalyzeSingleContinuous(nullptr), -1);
  EXPECT_EQ(runAnalyzeTwo(nullptr), -1);
  EXPECT_EQ(runPitchTrackerDetector(nullptr), -1);
  EXPECT_EQ(runLatencyProbe(nullptr), 255);
}

TEST(AnalysisEntryLoops, StoppedHandleEndsAtOnce) {
  HostContext context;
  const InboundName inbound("stopped");
  ZelAPI api(&context, 1, inbound.name);
  api.setRunning(false);
  EXPECT_EQ(runAnalyzeSingle(&api), 0);
  EXPECT_EQ(runAnalyzeSingleContinuous(&api), 0);
  EXPECT_EQ(runPitchTrackerDetector(&api), 0);
  EXPECT_EQ(runLatencyProbe(&api), 0);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(runAnalyzeTwo(&api), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "AnalyzeTwo Exit\n");
  EXPECT_EQ(api.receivedCount(), 0u);
}

// A queued message reaches the latency probe; time-outs keep the loop going.
TEST(AnalysisEntryLoops, LatencyProbeHandlesQueuedMessage) {
  HostContext context;
  const InboundName inbound("probe");
  ZelAPI api(&context, 1, inbound.name);
  api.setKeep(true);
  auto message = std::make_unique<DataMessage>();
  message->setInt("latency", 40);
  message->setCreatedTime(0);
  ::testing::internal::CaptureStdout();
  std::thread loop([&] { EXPECT_EQ(runLatencyProbe(&api), 0); });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));  // a few empty waits first
  ASSERT_TRUE(api.queuePair(nullptr, std::move(message)));
  while (api.queuedPairs() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  // The loop handles a taken message before it next asks whether to run.
  api.setRunning(false);
  loop.join();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "NOTYPE: sampling latency: 40 routing latency: 0\n0>> \n");
}

}  // namespace
}  // namespace vornix
