// Win32 implementation of the operating-system seam (util/os.h).
//
// Counter: QueryPerformanceCounter / QueryPerformanceFrequency. Wall clock:
// the C runtime's _ftime64. Calendar fields and the zone: _localtime64_s,
// _gmtime64_s, _get_dstbias, _get_timezone, _get_tzname. Thread CPU time:
// QueryThreadCycleTime, in cycles; the clock scales it by the counter's ticks
// per microsecond, which is the figure the messages' CPU-time fields carry.
#include <windows.h>

#include <sys/timeb.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>

#include "util/os.h"
#include "util/os_shared.h"

namespace vornix::os {
namespace {

// The C runtime's zone globals are set by _tzset; it runs once, before any
// conversion or read of them, so concurrent readers see settled values.
void ensureZoneLoaded() noexcept {
  static std::once_flag once;
  std::call_once(once, [] { _tzset(); });
}

// Frees a buffer that FormatMessageA allocated.
struct LocalFreeDeleter {
  void operator()(char* text) const noexcept { ::LocalFree(text); }
};

std::int32_t clampToInt32(long value) noexcept {
  // long is 32 bits on Windows; kept general for clarity.
  if (value > INT32_MAX || value < INT32_MIN) return 0;
  return static_cast<std::int32_t>(value);
}

// _get_dstbias, _get_timezone and _get_tzname, as the C runtime that the
// program runs with exports them. The system's msvcrt.dll of older Windows
// versions (and of Wine) lacks some of them; for those, the same values are
// read from the runtime's variables that they would return (_dstbias,
// _timezone, _tzname), which _tzset fills alike.
struct ZoneFunctions {
  errno_t(__cdecl* dstBias)(long*) = nullptr;
  errno_t(__cdecl* timezone)(long*) = nullptr;
  errno_t(__cdecl* tzname)(std::size_t*, char*, std::size_t, int) = nullptr;
};

template <typename Function>
void findInRuntime(HMODULE runtime, const char* name, Function& out) noexcept {
  if (runtime == nullptr) return;
  // FARPROC converts to the generic void (*)() without a cast warning, and
  // that to the function's own type.
  const auto generic = reinterpret_cast<void (*)()>(::GetProcAddress(runtime, name));
  out = reinterpret_cast<Function>(generic);
}

const ZoneFunctions& zoneFunctions() noexcept {
  static const ZoneFunctions functions = []() noexcept {
    ZoneFunctions found;
    HMODULE runtime = ::GetModuleHandleA("msvcrt.dll");
    findInRuntime(runtime, "_get_dstbias", found.dstBias);
    findInRuntime(runtime, "_get_timezone", found.timezone);
    findInRuntime(runtime, "_get_tzname", found.tzname);
    return found;
  }();
  return functions;
}

}  // namespace

std::optional<std::uint64_t> counterTicks() noexcept {
  LARGE_INTEGER ticks{};
  if (::QueryPerformanceCounter(&ticks) == 0 || ticks.QuadPart < 0) return std::nullopt;
  return static_cast<std::uint64_t>(ticks.QuadPart);
}

std::optional<std::int64_t> counterFrequency() noexcept {
  LARGE_INTEGER frequency{};
  if (::QueryPerformanceFrequency(&frequency) == 0 || frequency.QuadPart <= 0) return std::nullopt;
  return frequency.QuadPart;
}

std::optional<WallTime> wallClock() noexcept {
  __timeb64 now{};
  _ftime64(&now);
  if (now.time < 0 || now.millitm > 999) return std::nullopt;
  WallTime wall;
  wall.seconds = static_cast<std::int64_t>(now.time);
  wall.millis = static_cast<std::uint16_t>(now.millitm);
  return wall;
}

std::optional<CalendarFields> toCalendar(std::int64_t secondsSince1970, bool local) noexcept {
  ensureZoneLoaded();
  const auto seconds = static_cast<__time64_t>(secondsSince1970);
  std::tm fields{};
  const errno_t failed = local ? _localtime64_s(&fields, &seconds) : _gmtime64_s(&fields, &seconds);
  if (failed != 0) return std::nullopt;
  return calendarFields(fields);
}

ZoneInfo zoneInfo() noexcept {
  ensureZoneLoaded();
  const ZoneFunctions& crt = zoneFunctions();
  ZoneInfo info;
  long bias = 0;
  if (crt.dstBias != nullptr ? crt.dstBias(&bias) == 0 : (bias = _dstbias, true)) {
    info.dstBias = clampToInt32(bias);
  }
  long west = 0;
  if (crt.timezone != nullptr ? crt.timezone(&west) == 0 : (west = _timezone, true)) {
    info.timezone = clampToInt32(west);
  }
  if (crt.tzname != nullptr) {
    std::size_t length = 0;
    if (crt.tzname(&length, info.dstName.data(), info.dstName.size(), 1) != 0) {
      info.dstName.fill('\0');
    }
  } else {
    copyZoneName(_tzname[1], info.dstName);
  }
  info.dstName.back() = '\0';
  return info;
}

std::optional<std::uint64_t> threadCpuTicks() noexcept {
  ULONG64 cycles = 0;
  if (::QueryThreadCycleTime(::GetCurrentThread(), &cycles) != 0) {
    return static_cast<std::uint64_t>(cycles);
  }
  // Where the cycle count is not offered (Wine), the thread's kernel and user
  // time in 100 ns units, expressed in counter ticks so that the clock's
  // scaling gives microseconds.
  FILETIME created{}, exited{}, kernel{}, user{};
  if (::GetThreadTimes(::GetCurrentThread(), &created, &exited, &kernel, &user) == 0) {
    return std::nullopt;
  }
  const auto hundreds = [](const FILETIME& t) {
    return (std::uint64_t{t.dwHighDateTime} << 32U) | t.dwLowDateTime;
  };
  const std::optional<std::int64_t> frequency = counterFrequency();
  if (!frequency) return std::nullopt;
  constexpr std::uint64_t kHundredsPerSecond = 10'000'000;
  const std::uint64_t total = hundreds(kernel) + hundreds(user);
  const auto f = static_cast<std::uint64_t>(*frequency);
  // Split so that no product leaves 64 bits (the remainder and f are small).
  return total / kHundredsPerSecond * f + total % kHundredsPerSecond * f / kHundredsPerSecond;
}

std::uint32_t currentThreadId() noexcept {
  return static_cast<std::uint32_t>(::GetCurrentThreadId());
}

int lastErrorCode() noexcept {
  // Error codes are below 2^31 (HRESULT-style codes never reach this seam).
  return static_cast<int>(::GetLastError());
}

std::string errorText(int code) {
  char* buffer = nullptr;
  // With FORMAT_MESSAGE_ALLOCATE_BUFFER the buffer argument receives the
  // address of a block that the system allocated with LocalAlloc.
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
      reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
  const std::unique_ptr<char, LocalFreeDeleter> owned(buffer);
  if (length == 0 || buffer == nullptr) {
    char fallback[48];
    std::snprintf(fallback, sizeof fallback, "Unknown error %d\n", code);
    return fallback;
  }
  // The system's text as it comes, with its own line break ("\r\n").
  std::string text(buffer, length);
  if (text.empty() || text.back() != '\n') text += '\n';
  return text;
}

}  // namespace vornix::os
