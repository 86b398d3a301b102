// computePitch allocates nothing: every working buffer is sized by the
// constructor. Counted by replacing the global allocation functions of this
// test program (they forward to malloc/free).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <random>
#include <vector>

#include "speech/test_signals.h"
#include "speech/wavelet_pitch_tracker.h"

namespace {
std::atomic<std::size_t> allocationCount{0};
}  // namespace

// The replacements pair malloc with free on purpose; GCC cannot see that
// through the inlined new-expressions and warns in optimised builds.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
  allocationCount.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  return ::operator new(size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

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
    const std::size_t before = allocationCount.load();
    for (int round = 0; round < 3; ++round) {
      for (const auto& frame : frames) ASSERT_TRUE(tracker.computePitch(frame, r));
      ASSERT_TRUE(tracker.computePitchLittleEndian(bytes, r));
    }
    EXPECT_EQ(allocationCount.load(), before);
  }
  // The counter does see allocations (the check above can fail).
  const std::size_t before = allocationCount.load();
  WaveletPitchTracker another(64, 0.5, 2.0, kRate);
  EXPECT_GT(allocationCount.load(), before);
}

}  // namespace
}  // namespace vornix
