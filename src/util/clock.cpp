// The process-wide clock: the monotonic counter anchored to the wall clock.
#include "util/clock.h"

#include <atomic>
#include <cstdio>
#include <limits>

#include "util/clock_internal.h"
#include "util/os.h"

namespace vornix {
namespace detail {

std::optional<Micros> counterToMicros(std::uint64_t ticks, std::int64_t frequency) noexcept {
  if (frequency <= 0) return std::nullopt;
  constexpr std::uint64_t kExactLimit = (std::uint64_t{1} << 40) - 1;
  if (ticks < kExactLimit) {
    // ticks * 1e6 < 2^60: exact in signed 64 bits.
    const auto micros = static_cast<std::int64_t>(ticks) * 1'000'000 / frequency;
    return static_cast<Micros>(micros);
  }
  const double micros = static_cast<double>(ticks) * (1'000'000.0 / static_cast<double>(frequency));
  // 2^64 is exactly representable; anything at or above it (or NaN) has no
  // unsigned 64-bit value.
  if (!(micros >= 0.0 && micros < 18'446'744'073'709'551'616.0)) return std::nullopt;
  return static_cast<Micros>(micros);
}

std::optional<std::uint64_t> scaleCpuTicks(std::uint64_t ticks, std::int64_t frequency) noexcept {
  if (frequency <= 0) return std::nullopt;
  const std::int64_t ticksPerMicro = frequency / 1'000'000;
  if (ticksPerMicro > 0) return ticks / static_cast<std::uint64_t>(ticksPerMicro);
  // Below 1 MHz each tick is longer than a microsecond: ticks * 1e6 / f,
  // split so that no product leaves 64 bits (f and the remainder < 1e6).
  const auto f = static_cast<std::uint64_t>(frequency);
  const std::uint64_t whole = ticks / f;
  const std::uint64_t rest = ticks % f;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  if (whole > kMax / 1'000'000) return kMax;
  const std::uint64_t high = whole * 1'000'000;
  const std::uint64_t low = rest * 1'000'000 / f;
  return high > kMax - low ? kMax : high + low;
}

void AnchoredClock::store(Anchor value) noexcept {
  // Pairs with the release store at the end of the previous writer.
  while (writing_.exchange(true, std::memory_order_acquire)) {
  }
  const std::uint64_t sequence = sequence_.load(std::memory_order_relaxed);
  sequence_.store(sequence + 1, std::memory_order_relaxed);
  // Release stores: a reader whose acquire load sees either new value also
  // sees the odd sequence stored before it, and so retries.
  anchor_.store(value.anchor, std::memory_order_release);
  counterMicros_.store(value.counterMicros, std::memory_order_release);
  // Publishes the data with the even sequence (pairs with the reader's first
  // acquire load).
  sequence_.store(sequence + 2, std::memory_order_release);
  writing_.store(false, std::memory_order_release);
}

AnchoredClock::Anchor AnchoredClock::load() const noexcept {
  for (;;) {
    const std::uint64_t before = sequence_.load(std::memory_order_acquire);
    if ((before & 1U) != 0) continue;  // a writer is inside its short section
    Anchor value;
    // Acquire loads (pairing with the writer's release stores) keep the second
    // sequence load after them; no standalone fence is needed.
    value.anchor = anchor_.load(std::memory_order_acquire);
    value.counterMicros = counterMicros_.load(std::memory_order_acquire);
    if (sequence_.load(std::memory_order_relaxed) == before) return value;
  }
}

Micros AnchoredClock::timeAt(Micros counterMicros, Calibrate calibrate, void* context) noexcept {
  const Anchor current = load();
  if (current.anchor != 0 && counterMicros >= current.counterMicros &&
      counterMicros - current.counterMicros <= kAnchorLifetimeMicros) {
    return current.anchor + counterMicros;
  }
  // The flag only elects one anchoring thread (acquire pairs with the release
  // below); the anchor itself travels through the sequence lock.
  if (!anchoring_.exchange(true, std::memory_order_acquire)) {
    const Micros fresh = calibrate(context);
    if (fresh != 0) store({fresh, counterMicros});
    anchoring_.store(false, std::memory_order_release);
    if (fresh != 0) return fresh + counterMicros;
  } else if (current.anchor == 0) {
    // The very first anchoring is under way in another thread: there is no
    // previous anchor to fall back on, so calibrate here without publishing.
    const Micros fresh = calibrate(context);
    if (fresh != 0) return fresh + counterMicros;
  }
  return current.anchor != 0 ? current.anchor + counterMicros : 0;
}

}  // namespace detail

namespace {

// Constant-initialised, so usable from any static initialiser.
constinit detail::AnchoredClock processClock;
constinit std::atomic<ClockSource*> installedSource{nullptr};
constinit thread_local ClockSource* threadSource = nullptr;

std::optional<Micros> readCounterMicros() noexcept {
  const auto ticks = os::counterTicks();
  if (!ticks) return std::nullopt;
  const auto frequency = os::counterFrequency();
  if (!frequency) return std::nullopt;
  return detail::counterToMicros(*ticks, *frequency);
}

// The anchor for a wall-clock reading (whole milliseconds) and the counter
// time it was taken at; 0 when it has no value in the epoch's range.
detail::AnchoredClock::Anchor anchorFrom(const os::WallTime& wall, Micros counter) noexcept {
  constexpr std::int64_t kEpochSeconds = static_cast<std::int64_t>(kUnixEpochMicros / 1'000'000);
  constexpr std::int64_t kMaxSeconds = std::numeric_limits<std::int64_t>::max() / 1'000'000 - 1;
  if (wall.seconds < -kEpochSeconds || wall.seconds > kMaxSeconds - kEpochSeconds) return {};
  const auto wallMicros =
      static_cast<Micros>((wall.seconds + kEpochSeconds) * 1'000 + wall.millis) * 1'000;
  if (wallMicros <= counter) return {};
  return {wallMicros - counter, counter};
}

// Wall time minus counter time, taken just after a millisecond tick of the
// wall clock; 0 on failure.
//
// Each wall-clock reading is bracketed by two counter readings. A tick is
// placed by the counter reading just after the wall reading that first shows
// it; that is precise only when nothing (a preemption) came between the
// previous reading and this one, so a tick seen across a longer gap is
// skipped and the next one awaited. A wall clock coarser than a millisecond
// ends the wait after kCoarseWait with any undisturbed reading; after
// kLongestWait the latest reading is taken whatever its gap.
detail::AnchoredClock::Anchor measureAnchor() noexcept {
  constexpr Micros kPreciseGap = 100;
  constexpr Micros kCoarseWait = 10'000;
  constexpr Micros kLongestWait = 50'000;
  const auto start = readCounterMicros();
  auto previousWall = os::wallClock();
  if (!start || !previousWall) return {};
  Micros previousBefore = *start;
  for (;;) {
    const auto before = readCounterMicros();
    const auto wall = os::wallClock();
    const auto after = readCounterMicros();
    if (!before || !wall || !after || *before < previousBefore || *after < *before) return {};
    const bool ticked =
        wall->millis != previousWall->millis || wall->seconds != previousWall->seconds;
    const Micros waited = *after - *start;
    if ((ticked && *after - previousBefore <= kPreciseGap) ||
        (waited > kCoarseWait && *after - *before <= kPreciseGap) || waited > kLongestWait) {
      return anchorFrom(*wall, *after);
    }
    previousWall = wall;
    previousBefore = *before;
  }
}

Micros calibrateForClock(void*) noexcept {
  return measureAnchor().anchor;
}

}  // namespace

Micros calibrateClock() {
  const auto measured = measureAnchor();
  if (measured.anchor != 0) processClock.store(measured);
  return measured.anchor;
}

Micros currentTime() {
  if (threadSource != nullptr) return threadSource->now();
  // Pairs with the release store of setClockSource.
  if (ClockSource* source = installedSource.load(std::memory_order_acquire)) return source->now();
  const auto counter = readCounterMicros();
  if (!counter) return 0;
  return processClock.timeAt(*counter, &calibrateForClock, nullptr);
}

void setThreadClockSource(ClockSource* source) {
  threadSource = source;
}

void setClockSource(ClockSource* source) {
  installedSource.store(source, std::memory_order_release);
}

std::int64_t elapsedMicros(Micros t) {
  if (t == 0) return 0;
  // Modular difference read as signed: negative for a time in the future.
  return static_cast<std::int64_t>(currentTime() - t);
}

std::int32_t elapsedMillis(Micros t) {
  if (t == 0) return 0;
  const Micros now = currentTime();
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
  if (now >= t) {
    const std::uint64_t millis = (now - t) / 1'000;
    return static_cast<std::int32_t>(millis > kMax ? kMax : millis);
  }
  // Truncated toward zero; the negative range reaches one further.
  const std::uint64_t millis = (t - now) / 1'000;
  if (millis > kMax) return std::numeric_limits<std::int32_t>::min();
  return -static_cast<std::int32_t>(millis);
}

CalendarTime splitTime(Micros t, bool local) {
  CalendarTime out;
  if (t < kUnixEpochMicros) return out;
  const Micros sinceUnix = t - kUnixEpochMicros;
  // Below 2^64 / 1e6 < 2^45: fits the signed seconds of the C runtime.
  const auto seconds = static_cast<std::int64_t>(sinceUnix / 1'000'000);
  const auto fields = os::toCalendar(seconds, local);
  // The record holds years up to 65535; later ones count as failed.
  if (!fields || fields->year < -1900 || fields->year > 65'535 - 1900) return out;
  const os::ZoneInfo zone = os::zoneInfo();
  out.dstBias = zone.dstBias;
  out.timezone = zone.timezone;
  out.zoneName = zone.dstName;
  out.micros = static_cast<std::uint32_t>(sinceUnix % 1'000'000);
  out.millis = out.micros / 1'000;
  out.second = static_cast<std::uint16_t>(fields->second);
  out.minute = static_cast<std::uint16_t>(fields->minute);
  out.hour = static_cast<std::uint16_t>(fields->hour);
  out.day = static_cast<std::uint16_t>(fields->day);
  out.month = static_cast<std::uint16_t>(fields->month + 1);
  out.year = static_cast<std::uint16_t>(fields->year + 1900);
  out.weekday = static_cast<std::uint16_t>(fields->weekday);
  out.yearDay = static_cast<std::uint16_t>(fields->yearDay + 1);
  out.isDst = fields->isDst > 0 ? 1 : 0;
  return out;
}

namespace {

constexpr std::size_t kTimeTextSize = 1024;

void printTime(char* buffer, std::size_t size, const CalendarTime& c, bool withMicros,
               bool withMillis) {
  const unsigned day = c.day, month = c.month, year = c.year;
  const unsigned hour = c.hour, minute = c.minute, second = c.second;
  if (withMicros) {
    std::snprintf(buffer, size, "%02u/%02u/%04u %02u:%02u:%02u.%03u.%03u", day, month, year, hour,
                  minute, second, c.millis, c.micros % 1'000);
  } else if (withMillis) {
    std::snprintf(buffer, size, "%02u/%02u/%04u %02u:%02u:%02u.%03u", day, month, year, hour,
                  minute, second, c.millis);
  } else {
    std::snprintf(buffer, size, "%02u/%02u/%04u %02u:%02u:%02u", day, month, year, hour, minute,
                  second);
  }
}

}  // namespace

std::unique_ptr<char[]> formatTime(Micros t, bool local, bool withMicros, bool withMillis) {
  auto buffer = std::make_unique<char[]>(kTimeTextSize);
  printTime(buffer.get(), kTimeTextSize, splitTime(t, local), withMicros, withMillis);
  return buffer;
}

std::string formatTimeString(Micros t, bool local, bool withMicros, bool withMillis) {
  // The longest form has 26 characters.
  char buffer[64];
  printTime(buffer, sizeof buffer, splitTime(t, local), withMicros, withMillis);
  return buffer;
}

std::string formatCurrentTime(bool local, bool withMicros, bool withMillis) {
  return formatTimeString(currentTime(), local, withMicros, withMillis);
}

bool threadCpuTime(std::uint64_t& out) {
  out = 0;
  const auto frequency = os::counterFrequency();
  if (!frequency || *frequency <= 0) return false;
  const auto ticks = os::threadCpuTicks();
  if (!ticks) return false;
  const auto scaled = detail::scaleCpuTicks(*ticks, *frequency);
  if (!scaled) return false;
  out = *scaled;
  return true;
}

}  // namespace vornix
