#include "util/clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include "fake_clock.h"
#include "util/clock_internal.h"

namespace vornix {
namespace {

// 2021-03-07 14:05:09.123456 UTC, a Sunday, day 66 of the year.
constexpr Micros kSundayAfternoon = kUnixEpochMicros + 1'615'125'909ULL * 1'000'000 + 123'456;

bool isAllZero(const CalendarTime& c) {
  const CalendarTime zero;
  return c.micros == 0 && c.millis == 0 && c.second == 0 && c.minute == 0 && c.hour == 0 &&
         c.day == 0 && c.month == 0 && c.year == 0 && c.weekday == 0 && c.yearDay == 0 &&
         c.isDst == 0 && c.dstBias == 0 && c.timezone == 0 && c.zoneName == zero.zoneName;
}

TEST(SplitTime, UnixEpochInUtc) {
  const CalendarTime c = splitTime(kUnixEpochMicros, false);
  EXPECT_EQ(c.day, 1);
  EXPECT_EQ(c.month, 1);
  EXPECT_EQ(c.year, 1970);
  EXPECT_EQ(c.hour, 0);
  EXPECT_EQ(c.minute, 0);
  EXPECT_EQ(c.second, 0);
  EXPECT_EQ(c.micros, 0U);
  EXPECT_EQ(c.weekday, 4);
  EXPECT_EQ(c.yearDay, 1);
  EXPECT_EQ(c.isDst, 0);
}

TEST(SplitTime, FieldsOfALaterTime) {
  const CalendarTime c = splitTime(kSundayAfternoon, false);
  EXPECT_EQ(c.year, 2021);
  EXPECT_EQ(c.month, 3);
  EXPECT_EQ(c.day, 7);
  EXPECT_EQ(c.hour, 14);
  EXPECT_EQ(c.minute, 5);
  EXPECT_EQ(c.second, 9);
  EXPECT_EQ(c.micros, 123'456U);
  EXPECT_EQ(c.millis, 123U);
  EXPECT_EQ(c.weekday, 0);
  EXPECT_EQ(c.yearDay, 66);
}

TEST(SplitTime, NoTimeGivesTheAllZeroRecord) {
  EXPECT_TRUE(isAllZero(splitTime(0, false)));
  EXPECT_TRUE(isAllZero(splitTime(0, true)));
  EXPECT_TRUE(isAllZero(splitTime(kUnixEpochMicros - 1, false)));
  // Years beyond what the record holds are no time either, not a wrapped year.
  EXPECT_TRUE(isAllZero(splitTime(std::numeric_limits<Micros>::max(), false)));
}

TEST(FormatTime, FormsByFlags) {
  EXPECT_EQ(formatTimeString(kSundayAfternoon, false, true, true), "07/03/2021 14:05:09.123.456");
  EXPECT_EQ(formatTimeString(kSundayAfternoon, false, true, false), "07/03/2021 14:05:09.123.456");
  EXPECT_EQ(formatTimeString(kSundayAfternoon, false, false, true), "07/03/2021 14:05:09.123");
  EXPECT_EQ(formatTimeString(kSundayAfternoon, false, false, false), "07/03/2021 14:05:09");
  EXPECT_EQ(formatTimeString(0, false, true, false), "00/00/0000 00:00:00.000.000");
  const auto buffer = formatTime(kSundayAfternoon, false, true, true);
  ASSERT_NE(buffer, nullptr);
  EXPECT_STREQ(buffer.get(), "07/03/2021 14:05:09.123.456");
}

TEST(FormatTime, CurrentTimeComesFromTheInstalledSource) {
  testing::ScopedFakeClock fake(kSundayAfternoon);
  EXPECT_EQ(formatCurrentTime(false, false, true), "07/03/2021 14:05:09.123");
  EXPECT_EQ(formatCurrentTime(true, true, false),
            formatTimeString(kSundayAfternoon, true, true, false));
}

TEST(Elapsed, NoTimeIsZeroWhateverTheTime) {
  EXPECT_EQ(elapsedMicros(0), 0);
  EXPECT_EQ(elapsedMillis(0), 0);
  testing::ScopedFakeClock fake(kSundayAfternoon);
  EXPECT_EQ(elapsedMicros(0), 0);
  EXPECT_EQ(elapsedMillis(0), 0);
}

TEST(Elapsed, PastAndFutureTruncateTowardZero) {
  testing::ScopedFakeClock fake(kSundayAfternoon);
  EXPECT_EQ(elapsedMillis(kSundayAfternoon + 2'500), -2);
  EXPECT_EQ(elapsedMillis(kSundayAfternoon - 2'500), 2);
  EXPECT_EQ(elapsedMillis(kSundayAfternoon + 999), 0);
  EXPECT_EQ(elapsedMicros(kSundayAfternoon + 2'500), -2'500);
  EXPECT_EQ(elapsedMicros(kSundayAfternoon - 7), 7);
}

TEST(Elapsed, MillisClampToThe32BitRange) {
  testing::ScopedFakeClock fake(kSundayAfternoon);
  constexpr Micros kFiftyDays = 50ULL * 86'400 * 1'000'000;  // > 2^31 ms
  EXPECT_EQ(elapsedMillis(kSundayAfternoon - kFiftyDays), std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(elapsedMillis(kSundayAfternoon + kFiftyDays), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(elapsedMillis(1), std::numeric_limits<std::int32_t>::max());
}

TEST(CurrentTime, RealClockFollowsTheWallClock) {
  const auto before = std::chrono::system_clock::now();
  const Micros now = currentTime();
  const Micros later = currentTime();
  const auto wall =
      std::chrono::duration_cast<std::chrono::microseconds>(before.time_since_epoch()).count();
  const auto expected = kUnixEpochMicros + static_cast<Micros>(wall);
  EXPECT_NEAR(static_cast<double>(now), static_cast<double>(expected), 500'000.0);
  EXPECT_GE(later, now);
  EXPECT_NE(calibrateClock(), 0U);
}

TEST(CurrentTime, SourceCanBeRemovedAgain) {
  {
    testing::ScopedFakeClock fake(12'345);
    EXPECT_EQ(currentTime(), 12'345U);
    fake.clock().set(99);
    EXPECT_EQ(currentTime(), 99U);
  }
  EXPECT_GT(currentTime(), kUnixEpochMicros);
}

// The first anchoring of the process clock, raced by several threads in a
// fresh process (the death-test child re-runs this binary for this test).
TEST(CurrentTimeDeathTest, FirstAnchoringFromManyThreads) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::atomic<bool> go{false};
        std::atomic<int> bad{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i) {
          threads.emplace_back([&] {
            while (!go.load()) std::this_thread::yield();
            Micros last = 0;
            for (int n = 0; n < 1'000; ++n) {
              const Micros now = currentTime();
              if (now <= kUnixEpochMicros || now + 1'000'000 < last) bad.fetch_add(1);
              last = now;
            }
          });
        }
        go.store(true);
        for (auto& thread : threads) thread.join();
        std::exit(bad.load() == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// Counts calibrations and hands out a new anchor each time.
struct CountingCalibration {
  int calls = 0;
  Micros nextAnchor = 1'000'000'000;
  Micros result = 0;  // 0: hand out nextAnchor
  bool fail = false;

  static Micros run(void* self) {
    auto& c = *static_cast<CountingCalibration*>(self);
    ++c.calls;
    if (c.fail) return 0;
    c.nextAnchor += 1'000;
    return c.nextAnchor;
  }
};

TEST(AnchoredClock, AnchorsFirstThenAtMostOnceAMinute) {
  detail::AnchoredClock clock;
  CountingCalibration calibration;
  const Micros start = 5'000'000;

  const Micros first = clock.timeAt(start, &CountingCalibration::run, &calibration);
  EXPECT_EQ(calibration.calls, 1);
  const Micros anchor = first - start;

  // 59 s later: the same anchor.
  EXPECT_EQ(clock.timeAt(start + 59'000'000, &CountingCalibration::run, &calibration),
            anchor + start + 59'000'000);
  EXPECT_EQ(calibration.calls, 1);

  // 61 s after the anchoring: re-anchored first.
  const Micros reanchored =
      clock.timeAt(start + 61'000'000, &CountingCalibration::run, &calibration);
  EXPECT_EQ(calibration.calls, 2);
  EXPECT_EQ(reanchored - (start + 61'000'000), anchor + 1'000);
  EXPECT_EQ(clock.load().counterMicros, start + 61'000'000);
}

TEST(AnchoredClock, CounterReadingEarlierThanTheAnchoringReanchors) {
  detail::AnchoredClock clock;
  CountingCalibration calibration;
  clock.timeAt(10'000'000, &CountingCalibration::run, &calibration);
  clock.timeAt(9'999'999, &CountingCalibration::run, &calibration);
  EXPECT_EQ(calibration.calls, 2);
}

TEST(AnchoredClock, FailedCalibrationKeepsThePreviousAnchor) {
  detail::AnchoredClock clock;
  CountingCalibration calibration;
  calibration.fail = true;
  EXPECT_EQ(clock.timeAt(1'000, &CountingCalibration::run, &calibration), 0U)
      << "never anchored: no time";
  calibration.fail = false;
  const Micros anchored = clock.timeAt(1'000, &CountingCalibration::run, &calibration);
  calibration.fail = true;
  EXPECT_EQ(clock.timeAt(62'000'000, &CountingCalibration::run, &calibration),
            anchored - 1'000 + 62'000'000);
  EXPECT_EQ(calibration.calls, 3);
}

TEST(AnchoredClock, ReadersNeverSeeATornAnchor) {
  detail::AnchoredClock clock;
  clock.store({2, 1});
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 2; ++i) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        const auto value = clock.load();
        if (value.anchor != value.counterMicros + 1) torn.fetch_add(1);
      }
    });
  }
  for (Micros i = 1; i < 20'000; ++i) clock.store({i + 1, i});
  stop.store(true);
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(torn.load(), 0);
}

TEST(CounterToMicros, ExactBelowTheSplitAndCheckedAbove) {
  EXPECT_EQ(detail::counterToMicros(5, 0), std::nullopt);
  EXPECT_EQ(detail::counterToMicros(5, -1), std::nullopt);
  EXPECT_EQ(detail::counterToMicros(3, 3), 1'000'000U);
  EXPECT_EQ(detail::counterToMicros(1'999, 1'000'000'000), 1U);
  constexpr std::uint64_t kSplit = (std::uint64_t{1} << 40) - 1;
  EXPECT_EQ(detail::counterToMicros(kSplit - 1, 1'000'000'000), (kSplit - 1) / 1'000);
  const auto above = detail::counterToMicros(kSplit + 1'000'000, 1'000'000'000);
  ASSERT_TRUE(above.has_value());
  EXPECT_NEAR(static_cast<double>(*above), static_cast<double>((kSplit + 1'000'000) / 1'000), 1.0);
  // A huge count at a slow counter would leave 64 bits: no value, no wrap.
  EXPECT_EQ(detail::counterToMicros(std::numeric_limits<std::uint64_t>::max(), 1), std::nullopt);
}

TEST(ThreadCpuTime, ScalingNeverDividesByZero) {
  EXPECT_EQ(detail::scaleCpuTicks(100, 0), std::nullopt);
  EXPECT_EQ(detail::scaleCpuTicks(5'000, 1'000'000'000), 5U);
  EXPECT_EQ(detail::scaleCpuTicks(7, 3'579'545), 2U) << "ticks per microsecond truncated to 3";
  EXPECT_EQ(detail::scaleCpuTicks(3, 500'000), 6U) << "slower than 1 MHz scales up";
  EXPECT_EQ(detail::scaleCpuTicks(std::numeric_limits<std::uint64_t>::max(), 500'000),
            std::numeric_limits<std::uint64_t>::max());
}

TEST(ThreadCpuTime, ReadsTheCallingThread) {
  std::uint64_t before = 1;
  ASSERT_TRUE(threadCpuTime(before));
  // Burn CPU until the figure moves: some systems count thread time in
  // ticks of 10 ms or more. Two seconds of wall time bound the wait.
  volatile std::uint64_t sink = 0;
  std::uint64_t after = before;
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (after <= before && std::chrono::steady_clock::now() < limit) {
    for (std::uint64_t i = 0; i < 2'000'000; ++i) sink = sink + i;
    ASSERT_TRUE(threadCpuTime(after));
  }
  EXPECT_GT(after, before);
}

}  // namespace
}  // namespace vornix
