// The process-wide clock and time formatting.
//
// A time is an unsigned 64-bit count of microseconds since the clock epoch,
// which lies 62,167,305,600 s before 1970-01-01 00:00:00 UTC; 0 means "no
// time". The clock reads the monotonic performance counter and anchors it to
// the wall clock at most once a minute, so it is fine-grained and steady
// between anchorings and still tells the time of day.
//
// A host may replace the source of `currentTime` by a clock of its own (the
// simulated clock of offline analysis) with setClockSource.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace vornix {

using Micros = std::uint64_t;

// Microseconds between the clock epoch and 1970-01-01 00:00:00 UTC.
inline constexpr Micros kUnixEpochMicros = 62'167'305'600'000'000ULL;

// Now, in microseconds since the epoch; 0 when the counter cannot be read.
// Thread-safe and lock-free; costs one counter read between anchorings. The
// first call, and the first call more than 60 s after an anchoring (or with
// the counter reading earlier than it), anchors the clock, which may wait up
// to 1 ms (longer when preempted) for the wall clock's next millisecond.
// Anchor and anchoring time are published together, so no thread ever pairs
// halves of two anchorings.
Micros currentTime();

// Anchors the counter to the wall clock and returns the anchor: wall time
// minus counter time; 0 when the counter cannot be read. Waits for the next
// millisecond tick of the wall clock, normally up to 1 ms; a tick the thread
// saw only after being preempted is skipped, so under heavy load it may wait
// longer. Always anchors the real clock, also while a ClockSource is
// installed.
Micros calibrateClock();

// 0 when t == 0, else currentTime() - t.
std::int64_t elapsedMicros(Micros t);

// Milliseconds since t (negative for a time in the future), truncated toward
// zero and clamped to the signed 32-bit range; 0 when t == 0.
std::int32_t elapsedMillis(Micros t);

// Calendar fields of a time. All zero means "no time".
struct CalendarTime {
  std::uint32_t micros = 0;  // microseconds within the second
  std::uint32_t millis = 0;  // milliseconds within the second
  std::uint16_t second = 0;
  std::uint16_t minute = 0;
  std::uint16_t hour = 0;
  std::uint16_t day = 0;      // 1 to 31
  std::uint16_t month = 0;    // 1 to 12
  std::uint16_t year = 0;     // full year
  std::uint16_t weekday = 0;  // 0 = Sunday
  std::uint16_t yearDay = 0;  // 1 to 366
  std::uint8_t isDst = 0;
  std::int32_t dstBias = 0;         // seconds
  std::int32_t timezone = 0;        // seconds west of UTC
  std::array<char, 64> zoneName{};  // daylight-saving zone name, NUL-terminated
};

// Splits t into calendar fields, in local time or UTC. A time before 1970, a
// failed conversion or a year beyond 65535 (which the record cannot hold)
// gives the all-zero record. Zone fields describe the process's local zone.
CalendarTime splitTime(Micros t, bool local);

// "dd/mm/yyyy hh:mm:ss" with ".mmm.uuu" (withMicros) or ".mmm" (withMillis);
// withMicros wins when both are set.
std::string formatTimeString(Micros t, bool local, bool withMicros, bool withMillis);

// The same text in a newly allocated 1024-byte buffer owned by the caller.
std::unique_ptr<char[]> formatTime(Micros t, bool local, bool withMicros, bool withMillis);

// formatTimeString(currentTime(), ...).
std::string formatCurrentTime(bool local, bool withMicros, bool withMillis);

// The calling thread's CPU time scaled by the counter's ticks per microsecond
// (on POSIX: CPU microseconds). A counter slower than 1 MHz is scaled up, never
// divided by zero. False with out = 0 when it cannot be read.
bool threadCpuTime(std::uint64_t& out);

// A replacement for the time source of currentTime (and of everything built
// on it). Implementations must be thread-safe.
class ClockSource {
 public:
  virtual ~ClockSource() = default;
  virtual Micros now() = 0;
};

// Installs `source` (not owned) as the process's clock, or restores the real
// clock with nullptr. Thread-safe. The source must outlive its installation
// and every currentTime call that may have started before it was removed.
void setClockSource(ClockSource* source);

// Installs `source` (not owned) as the clock of the calling thread only,
// ahead of the process's clock, or removes it with nullptr. An offline drive
// runs a whole system on one thread with its simulated clock installed this
// way, so that systems driven on different threads keep their own time. The
// source must outlive every currentTime call of this thread while installed.
void setThreadClockSource(ClockSource* source);

}  // namespace vornix
