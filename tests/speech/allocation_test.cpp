// computePitch allocates nothing: every working buffer is sized by the
// constructor. Counted through the program's replaced allocation functions
// (support/replaced_allocation.h).
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "speech/test_signals.h"
#include "speech/wavelet_pitch_tracker.h"
#include "support/replaced_allocation.h"

namespace vornix {
namespace {

TEST(PitchAllocationTest, ComputePitchAllocatesNothing) {
  constexpr std::uint32_t kRate = 44100;
  std::mt19937 rng(5);
  const double harmonics[] = {1.0, 0.5, 0.25};
  for (const std::uint32_t n : {1024u, 333u, 2u}) {
    SCOPED_TRACE(n);
    std::vector<std::vector<std::int16_t>> frames;
    frames.push_back(testing::harmonicTone(n, 441.0, 10000.0, kRate, harmonics));
    frames.push_back(testing::harmonicTone(n, 150.0, 20000.0, kRate, harmonics));
    frames.push_back(testing::whiteNoise(n, 30000.0, rng));
    frames.push_back(std::vector<std::int16_t>(n, 7));
    std::vector<std::uint8_t> bytes(2 * std::size_t{n}, 0x35);

    WaveletPitchTracker tracker(n, 0.5, 2.0, kRate);
    PitchResult r;
    const std::size_t before = testing::allocationsSoFar();
    for (int round = 0; round < 3; ++round) {
      for (const auto& frame : frames) ASSERT_TRUE(tracker.computePitch(frame, r));
      ASSERT_TRUE(tracker.computePitchLittleEndian(bytes, r));
    }
    EXPECT_EQ(testing::allocationsSoFar(), before);
  }
  // The counter does see allocations (the check above can fail).
  const std::size_t before = testing::allocationsSoFar();
  WaveletPitchTracker another(64, 0.5, 2.0, kRate);
  EXPECT_GT(testing::allocationsSoFar(), before);
}

}  // namespace
}  // namespace vornix
