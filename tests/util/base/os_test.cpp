// Contract of the operating-system seam, which every platform's
// implementation must keep.
#include "util/os.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <thread>

namespace vornix {
namespace {

TEST(OsSeam, CounterIsMonotonicWithAPositiveFrequency) {
  const auto frequency = os::counterFrequency();
  ASSERT_TRUE(frequency.has_value());
  EXPECT_GT(*frequency, 0);
  const auto first = os::counterTicks();
  const auto second = os::counterTicks();
  ASSERT_TRUE(first && second);
  EXPECT_GE(*second, *first);
}

TEST(OsSeam, WallClockMatchesTheSystemClock) {
  const auto wall = os::wallClock();
  const auto reference = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
  ASSERT_TRUE(wall.has_value());
  EXPECT_LT(wall->millis, 1000);
  EXPECT_LE(std::abs(wall->seconds - static_cast<std::int64_t>(reference)), 1);
}

TEST(OsSeam, CalendarConversionAndItsFailure) {
  const auto epoch = os::toCalendar(0, false);
  ASSERT_TRUE(epoch.has_value());
  EXPECT_EQ(epoch->year, 70);
  EXPECT_EQ(epoch->month, 0);
  EXPECT_EQ(epoch->day, 1);
  EXPECT_EQ(epoch->weekday, 4);
  EXPECT_EQ(epoch->yearDay, 0);
  EXPECT_TRUE(os::toCalendar(0, true).has_value());
  // A year the C runtime's int cannot hold is a failed conversion.
  EXPECT_FALSE(os::toCalendar(std::numeric_limits<std::int64_t>::max(), false).has_value());
}

TEST(OsSeam, ZoneNameIsTerminated) {
  const os::ZoneInfo zone = os::zoneInfo();
  EXPECT_LT(strnlen(zone.dstName.data(), zone.dstName.size()), zone.dstName.size());
}

TEST(OsSeam, ThreadIdsDifferBetweenThreads) {
  const std::uint32_t mine = os::currentThreadId();
  EXPECT_EQ(os::currentThreadId(), mine);
  std::uint32_t other = mine;
  std::thread([&other] { other = os::currentThreadId(); }).join();
  EXPECT_NE(other, mine);
}

}  // namespace
}  // namespace vornix
