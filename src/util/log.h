// The process-wide diagnostic logger of the runtime.
//
// Lines are written to standard output as "<local time> <text>\n", the time in
// the form 07/03/2021 14:05:09.123.456. A line of category c (0 to 11) and
// level l is written only when l is at most the threshold of c, which is 1 for
// every category: level 0 (failures and notices) is always written, level 2 is
// never. Categories in use: 0 message record, 1 mutexes and segments, 3
// shared-memory sections, 7 message delivery.
//
// Thread safety: any thread may log at any time, including the very first
// call; each line reaches standard output in one write.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "util/printf_check.h"

namespace vornix {

// Writes one line. Returns true when the line was written (or handed to the
// sink) or filtered out by the thresholds (categories above 11 are always
// filtered out); false when the text is empty or could not be formatted, or
// when standard output took less than the whole line.
bool logLine(std::uint32_t source, std::uint8_t category, std::uint8_t level, const char* format,
             ...) LOQUANT_PRINTF(4, 5);

// Where finished lines go. The default writes to standard output. Tests and
// hosts may redirect lines (for example to capture them); the sink receives
// the whole line including the time prefix and the final line break. Passing
// an empty function restores the default. Thread-safe. The sink is called on
// the logging thread with no lock held, possibly by several threads at once;
// a line that was already under way when the sink was replaced may still go
// to the old one, so what a sink refers to must outlive the logLine calls
// that may have picked it up.
using LogLineSink = std::function<void(std::uint32_t source, std::uint8_t category,
                                       std::uint8_t level, std::string_view line)>;
void setLogLineSink(LogLineSink sink);

// Category and level filter of the process-wide logger.
bool logWouldWrite(std::uint8_t category, std::uint8_t level) noexcept;

}  // namespace vornix
