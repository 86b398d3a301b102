#include "host/sample_ring.h"

#include <gtest/gtest.h>

#include <array>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vornix::host {
namespace {

TEST(SampleRing, CapacityIsRoundedUpToAPowerOfTwoAndBoundsAreRefused) {
  EXPECT_EQ(SampleRing(1).capacity(), 1U);
  EXPECT_EQ(SampleRing(1000).capacity(), 1024U);
  EXPECT_EQ(SampleRing(1024).capacity(), 1024U);
  EXPECT_THROW(SampleRing(0), std::invalid_argument);
  EXPECT_THROW(SampleRing((std::size_t{1} << 30) + 1), std::invalid_argument);
}

TEST(SampleRing, ABlockThatDoesNotFitIsRefusedWholeAndTheRestStaysIntact) {
  SampleRing ring(8);
  const std::array<std::int16_t, 6> first{1, 2, 3, 4, 5, 6};
  const std::array<std::int16_t, 3> second{7, 8, 9};
  ASSERT_TRUE(ring.write(first));
  EXPECT_FALSE(ring.write(second));  // 6 + 3 > 8: nothing of it goes in
  EXPECT_EQ(ring.available(), 6U);
  std::array<std::int16_t, 8> out{};
  EXPECT_EQ(ring.read(out), 6U);
  EXPECT_TRUE(std::equal(first.begin(), first.end(), out.begin()));
  EXPECT_EQ(ring.read(out), 0U);  // empty: reads nothing
}

TEST(SampleRing, SamplesKeepTheirOrderAcrossTheWrap) {
  SampleRing ring(8);
  std::int16_t next = 0;
  std::int16_t expected = 0;
  std::array<std::int16_t, 5> block{};
  std::array<std::int16_t, 3> out{};
  for (int round = 0; round < 50; ++round) {
    for (auto& s : block) s = next++;
    if (!ring.write(block)) next = static_cast<std::int16_t>(next - 5);
    const std::size_t n = ring.read(out);
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(out[i], expected++);
  }
  EXPECT_GT(expected, 100);  // many wraps of an 8-sample ring
}

// One producer, one consumer on two threads: a producer that retries each
// refused block delivers every sample once and in order.
TEST(SampleRing, ConcurrentProducerAndConsumerSeeEverySampleOnceInOrder) {
  SampleRing ring(256);
  constexpr std::size_t kBlocks = 20000;
  constexpr std::size_t kBlock = 32;
  std::thread producer([&] {
    std::array<std::int16_t, kBlock> block{};
    std::uint32_t value = 0;
    for (std::size_t b = 0; b < kBlocks; ++b) {
      for (auto& s : block) s = static_cast<std::int16_t>(value++);
      while (!ring.write(block)) {
        std::this_thread::yield();
      }
    }
  });
  std::vector<std::int16_t> got;
  got.reserve(kBlocks * kBlock);
  std::array<std::int16_t, 50> out{};
  while (got.size() < kBlocks * kBlock) {
    const std::size_t n = ring.read(out);
    got.insert(got.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
    if (n == 0) std::this_thread::yield();
  }
  producer.join();
  EXPECT_EQ(ring.available(), 0U);
  for (std::size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(got[i], static_cast<std::int16_t>(i)) << "at " << i;
  }
}

TEST(SampleRing, TheProducerSeesWhatTheConsumerHasNotTaken) {
  SampleRing ring(16);
  const std::array<std::int16_t, 10> block{};
  ASSERT_TRUE(ring.write(block));
  EXPECT_EQ(ring.filled(), 10U);
  std::array<std::int16_t, 4> out{};
  ring.read(out);
  EXPECT_EQ(ring.filled(), 6U);
  ASSERT_TRUE(ring.write(block));  // across the wrap
  EXPECT_EQ(ring.filled(), 16U);
}

}  // namespace
}  // namespace vornix::host
