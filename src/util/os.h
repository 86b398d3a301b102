// The operating-system calls under the clock, the logger and the error texts.
//
// This is the only seam between those modules and the operating system: one
// implementation file per system (posix/os_posix.cpp, a Win32 one), chosen by
// the build, so callers never need a conditional. Every function is
// thread-safe, never throws (except std::bad_alloc from errorText) and reports
// failure through an empty optional or a false result.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace vornix::os {

// The monotonic performance counter, in ticks; empty when it cannot be read.
std::optional<std::uint64_t> counterTicks() noexcept;

// Ticks per second of counterTicks; empty (or 0) when it cannot be read.
std::optional<std::int64_t> counterFrequency() noexcept;

// The wall clock: whole seconds since 1970-01-01 00:00:00 UTC and the
// milliseconds within that second (0 to 999).
struct WallTime {
  std::int64_t seconds = 0;
  std::uint16_t millis = 0;
};
std::optional<WallTime> wallClock() noexcept;

// Calendar fields as the C runtime gives them: month 0 to 11, year since
// 1900, weekday 0 = Sunday, yearDay 0 to 365, isDst > 0 when daylight saving
// time is in force.
struct CalendarFields {
  int second = 0;
  int minute = 0;
  int hour = 0;
  int day = 0;
  int month = 0;
  int year = 0;
  int weekday = 0;
  int yearDay = 0;
  int isDst = 0;
};

// Converts seconds since 1970 into local time (local) or UTC; empty when the
// conversion fails (for example a year the C runtime cannot represent).
std::optional<CalendarFields> toCalendar(std::int64_t secondsSince1970, bool local) noexcept;

// The local time zone as the C runtime describes it.
struct ZoneInfo {
  std::int32_t dstBias = 0;        // seconds added to local time by daylight saving (usually -3600)
  std::int32_t timezone = 0;       // seconds west of UTC of standard time
  std::array<char, 64> dstName{};  // name of the daylight-saving zone, NUL-terminated
};
ZoneInfo zoneInfo() noexcept;

// The CPU time of the calling thread in units of the performance counter
// (ticks such that dividing by counterFrequency() / 1,000,000 gives
// microseconds); empty when it cannot be read.
std::optional<std::uint64_t> threadCpuTicks() noexcept;

// The system's id of the calling thread.
std::uint32_t currentThreadId() noexcept;

// The calling thread's last error code of the operating system.
int lastErrorCode() noexcept;

// The system's text for an error code, ending in a line break. For a code the
// system has no text for: "Unknown error <code>" and a line break.
std::string errorText(int code);

}  // namespace vornix::os
