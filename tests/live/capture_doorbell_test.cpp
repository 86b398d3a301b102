// The doorbell an audio callback rings to wake the ring's reader: no ring is
// lost, rings collapse into one wake-up, and ringing never blocks.
#include "host/capture_doorbell.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "host/sample_ring.h"

namespace vornix::host {
namespace {

using namespace std::chrono_literals;

// Each test runs on the platform's counter and on the pipe that POSIX
// systems without an eventfd use.
class CaptureDoorbellTest : public testing::TestWithParam<CaptureDoorbell::Counter> {};

std::string counterName(const testing::TestParamInfo<CaptureDoorbell::Counter>& counter) {
  return counter.param == CaptureDoorbell::Counter::pipe ? "Pipe" : "Native";
}

INSTANTIATE_TEST_SUITE_P(Counters, CaptureDoorbellTest,
                         testing::Values(CaptureDoorbell::Counter::native,
                                         CaptureDoorbell::Counter::pipe),
                         counterName);

// Rings made before a wait collapse into one wake-up; far more rings than a
// pipe holds neither block nor outlast the one wait that takes them.
TEST_P(CaptureDoorbellTest, RingsCollapseIntoOneWakeUpAndNeverBlock) {
  CaptureDoorbell bell(GetParam());
  EXPECT_FALSE(bell.wait(0us));  // nothing rang
  bell.ring();
  bell.ring();
  bell.ring();
  EXPECT_TRUE(bell.wait(0us));
  EXPECT_FALSE(bell.wait(1ms));  // all three were taken by the one wake-up
  for (int i = 0; i < 200000; ++i) bell.ring();
  EXPECT_TRUE(bell.wait(0us));
  EXPECT_FALSE(bell.wait(0us));
}

// The callback's use of it: blocks of 253 samples go into the ring and the
// doorbell rings whenever a whole frame of 1024 is in it. The reader waits
// for every frame; the stream stops right after the last frame completes,
// so a ring lost there would leave the reader waiting in vain.
TEST_P(CaptureDoorbellTest, AReaderWaitingOnItTakesEveryFrameIncludingTheLast) {
  constexpr std::size_t kFrame = 1024;
  constexpr std::size_t kBlock = 253;
  constexpr std::size_t kFrames = 400;
  SampleRing ring(8 * kFrame);
  CaptureDoorbell bell(GetParam());
  std::thread callback([&] {
    std::array<std::int16_t, kBlock> block{};
    std::size_t written = 0;
    while (written < kFrames * kFrame) {
      const std::size_t n = std::min(kBlock, kFrames * kFrame - written);
      for (std::size_t i = 0; i < n; ++i) block[i] = static_cast<std::int16_t>(written + i);
      const std::span<const std::int16_t> part(block.data(), n);
      if (!ring.write(part)) {
        std::this_thread::yield();
        continue;
      }
      written += n;
      if (ring.filled() >= kFrame) bell.ring();
    }
  });
  std::vector<std::int16_t> frame(kFrame);
  std::size_t taken = 0;
  bool timedOut = false;
  while (taken < kFrames && !timedOut) {
    while (ring.available() >= kFrame) {
      ring.read(frame);
      ASSERT_EQ(frame.front(), static_cast<std::int16_t>(taken * kFrame));
      ++taken;
    }
    if (taken < kFrames) timedOut = !bell.wait(10s);
  }
  callback.join();
  EXPECT_FALSE(timedOut) << "no ring for frame " << taken;
  EXPECT_EQ(taken, kFrames);
}

}  // namespace
}  // namespace vornix::host
