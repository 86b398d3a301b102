#include <gtest/gtest.h>

#include <unistd.h>
#include <chrono>
#include <string>
#include <thread>

#include "analysis/entry_loops.h"
#include "runtime/zel_api.h"

namespace vornix {
namespace {

std::string inboundName(const char* what) {
  return std::string("analysis_loops_") + what + "_" + std::to_string(::getpid());
}

TEST(AnalysisEntryLoops, NullHandleCodes) {
  EXPECT_EQ(runAnalyzeSingle(nullptr), -1);
  EXPECT_EQ(runAnalyzeSingleContinuous(nullptr), -1);
  EXPECT_EQ(runAnalyzeTwo(nullptr), -1);
  EXPECT_EQ(runPitchTrackerDetector(nullptr), -1);
  EXPECT_EQ(runLatencyProbe(nullptr), 255);
}

TEST(AnalysisEntryLoops, StoppedHandleEndsAtOnce) {
  HostContext context;
  ZelAPI api(&context, 1, inboundName("stopped"));
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
  ZelAPI api(&context, 1, inboundName("probe"));
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
