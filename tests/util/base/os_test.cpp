// Contract of the operating-system seam, which every platform's
// implementation must keep.
#include "util/os.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <thread>

namespace vornix {
namespace {

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

TEST(OsSeam, ThreadIdsDifferBetweenThreads) {
  const std::uint32_t mine = os::currentThreadId();
  EXPECT_EQ(os::currentThreadId(), mine);
  std::uint32_t other = mine;
  std::thread([&other] { other = os::currentThreadId(); }).join();
  EXPECT_NE(other, mine);
}

}  // namespace
}  // namespace vornix
