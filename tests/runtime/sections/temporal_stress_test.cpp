// Eight threads insert short-lived messages into one store for a while: the
// slots and bins grow and are reused, and the header's counters equal the
// sums over slots and bins whenever they are looked at.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "runtime/sections/temporal_fixture.h"

namespace vornix {
namespace {

constexpr auto kStressDuration = std::chrono::seconds(10);
constexpr int kThreads = 8;

TEST(TemporalStress, CountersStayEqualToTheSumsWhileGrowingAndReusing) {
  const std::uint16_t instance = test::uniqueInstanceId();
  auto section = host::TemporalSection::create(
      instance, {16, {{256, 16}, {2048, 16}, {16384, 8}}, 256 << 20, 0, 0});
  ASSERT_NE(section, nullptr);
  test::LogCapture log;
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> inserted{0}, failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      TemporalMemory store(section->owner(), static_cast<std::uint16_t>(t));
      std::mt19937 random(static_cast<unsigned>(t));
      std::uniform_int_distribution<std::uint32_t> size(200, 20'000);
      std::uniform_int_distribution<std::uint64_t> ttl(2'000, 30'000);
      while (!stop.load()) {
        std::uint64_t id = 0;
        if (store.insertMessage(test::liveMessage(size(random), ttl(random)), id)) {
          ++inserted;
        } else {
          ++failed;
        }
      }
    });
  }
  int checks = 0;
  const auto end = std::chrono::steady_clock::now() + kStressDuration;
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto t = section->totals();
    ASSERT_TRUE(t);
    test::expectConsistent(*t);
    ++checks;
  }
  stop = true;
  for (auto& thread : threads) thread.join();
  const auto t = section->totals();
  ASSERT_TRUE(t);
  test::expectConsistent(*t);
  // A thread that lost the processor for longer than its message's ttl finds
  // it expired; no insertion fails for any other reason.
  EXPECT_EQ(failed.load(), log.count("Could not add message to TemporalMemory"));
  EXPECT_EQ(failed.load(), log.count("expired already"));
  EXPECT_GT(t->serial, 1U);
  EXPECT_GT(t->slotCount, 16U);
  EXPECT_GT(log.count("bins storage") + log.count("storage bins"), 0U);
  EXPECT_GT(inserted.load(), 10U * t->slotCount);  // slots were reused many times over
  std::printf(
      "[ stress ] %llu insertions (%llu expired before), %d checks, %u slots, %llu bytes, "
      "serial %u\n",
      static_cast<unsigned long long>(inserted.load()),
      static_cast<unsigned long long>(failed.load()), checks, t->slotCount,
      static_cast<unsigned long long>(t->sectionSize), t->serial);
  section.reset();
  EXPECT_EQ(test::leftoverObjects(instance), std::vector<std::string>{});
}

}  // namespace
}  // namespace vornix
