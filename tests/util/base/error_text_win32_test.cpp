// The Win32 seam: error texts from the system's message table, and the clock
// readings that Wine and Windows give.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "util/clock.h"
#include "util/format.h"
#include "util/os.h"

namespace vornix {
namespace {

TEST(ErrorText, MessageTableTextAsItComesWin32) {
  ::SetLastError(ERROR_FILE_NOT_FOUND);
  const std::string text = lastErrorText();
  // The system's own text, with its own "\r\n", not the fallback.
  ASSERT_GE(text.size(), 3U);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
  EXPECT_EQ(text.find("Unknown error"), std::string::npos);
  ::SetLastError(ERROR_ACCESS_DENIED);
  EXPECT_NE(lastErrorText(), text);
}

TEST(OsSeam, ZoneAndCountersOfTheRuntimeWin32) {
  const auto frequency = os::counterFrequency();
  ASSERT_TRUE(frequency.has_value());
  EXPECT_GT(*frequency, 0);
  const auto first = os::counterTicks();
  const auto second = os::counterTicks();
  ASSERT_TRUE(first && second);
  EXPECT_GE(*second, *first);
  // The zone name is always terminated within its 64 bytes.
  const os::ZoneInfo zone = os::zoneInfo();
  EXPECT_EQ(zone.dstName.back(), '\0');
  // A wall clock after 2020 and a thread id that is the system's.
  const auto wall = os::wallClock();
  ASSERT_TRUE(wall.has_value());
  EXPECT_GT(wall->seconds, 1'577'836'800);
  EXPECT_LT(wall->millis, 1000);
  EXPECT_EQ(os::currentThreadId(), ::GetCurrentThreadId());
}

}  // namespace
}  // namespace vornix
