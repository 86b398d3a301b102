// POSIX implementation of the operating-system seam (util/os.h).
//
// Counter: CLOCK_MONOTONIC in nanoseconds (frequency 1e9). Wall clock:
// CLOCK_REALTIME. Thread CPU time: CLOCK_THREAD_CPUTIME_ID, also in
// nanoseconds, so that scaling it by the counter's ticks per microsecond gives
// microseconds of CPU time.
#include "util/os.h"
#include "util/os_shared.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <type_traits>

#include <sys/syscall.h>
#include <unistd.h>

namespace vornix::os {
namespace {

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

std::optional<std::uint64_t> readNanos(clockid_t clock) noexcept {
  timespec now{};
  if (clock_gettime(clock, &now) != 0 || now.tv_sec < 0 || now.tv_nsec < 0) return std::nullopt;
  constexpr auto kNanos = static_cast<std::uint64_t>(kNanosPerSecond);
  const auto seconds = static_cast<std::uint64_t>(now.tv_sec);
  if (seconds > UINT64_MAX / kNanos - 1) return std::nullopt;
  return seconds * kNanos + static_cast<std::uint64_t>(now.tv_nsec);
}

// The C runtime's zone globals are set by tzset; it runs once, before any
// conversion or read of them, so concurrent readers see settled values.
void ensureZoneLoaded() noexcept {
  static std::once_flag once;
  std::call_once(once, [] { tzset(); });
}

// strerror_r comes in two flavours (GNU: returns the text; XSI: fills the
// buffer and returns 0); these overloads accept either.
[[maybe_unused]] const char* pickErrorText(int result, const char* buffer) noexcept {
  return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* pickErrorText(const char* result, const char*) noexcept {
  return result;
}

}  // namespace

std::optional<std::uint64_t> counterTicks() noexcept {
  return readNanos(CLOCK_MONOTONIC);
}

std::optional<std::int64_t> counterFrequency() noexcept {
  return kNanosPerSecond;
}

std::optional<WallTime> wallClock() noexcept {
  timespec now{};
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) return std::nullopt;
  WallTime wall;
  wall.seconds = static_cast<std::int64_t>(now.tv_sec);
  wall.millis = static_cast<std::uint16_t>(now.tv_nsec / 1'000'000);
  return wall;
}

std::optional<CalendarFields> toCalendar(std::int64_t secondsSince1970, bool local) noexcept {
  ensureZoneLoaded();
  if constexpr (sizeof(std::time_t) < sizeof(std::int64_t)) {
    if (secondsSince1970 > static_cast<std::int64_t>(INT32_MAX) ||
        secondsSince1970 < static_cast<std::int64_t>(INT32_MIN)) {
      return std::nullopt;
    }
  }
  const auto seconds = static_cast<std::time_t>(secondsSince1970);
  std::tm fields{};
  const std::tm* converted = local ? localtime_r(&seconds, &fields) : gmtime_r(&seconds, &fields);
  if (converted == nullptr) return std::nullopt;
  return calendarFields(fields);
}

ZoneInfo zoneInfo() noexcept {
  ensureZoneLoaded();
  ZoneInfo info;
  // POSIX keeps no separate daylight bias; zones with daylight saving shift
  // by one hour almost everywhere, which is what the bias reports.
  info.dstBias = daylight != 0 ? -3600 : 0;
  const long west = timezone;
  info.timezone = west > INT32_MAX || west < INT32_MIN ? 0 : static_cast<std::int32_t>(west);
  copyZoneName(tzname[1], info.dstName);
  return info;
}

std::optional<std::uint64_t> threadCpuTicks() noexcept {
  return readNanos(CLOCK_THREAD_CPUTIME_ID);
}

std::uint32_t currentThreadId() noexcept {
  // Linux thread ids are positive and below 2^22 by default (at most 2^30).
  return static_cast<std::uint32_t>(syscall(SYS_gettid));
}

int lastErrorCode() noexcept {
  return errno;
}

std::string errorText(int code) {
  char buffer[256] = {};
  const char* text = pickErrorText(strerror_r(code, buffer, sizeof buffer), buffer);
  std::string out;
  if (text == nullptr || text[0] == '\0') {
    char fallback[48];
    std::snprintf(fallback, sizeof fallback, "Unknown error %d", code);
    out = fallback;
  } else {
    out = text;
  }
  out += '\n';
  return out;
}

}  // namespace vornix::os
