// Reading the pitch list of a "SpeechOff" message in one walk of its record.
// The list is the indexed entries pitchvalue_-|i|-_ (real) and
// pitchtime_-|i|-_ (integer) for i = 0 .. PitchCount - 1; looking each one up
// by name scans the record once per entry, which made reading a long
// utterance quadratic in its length.
#pragma once

#include <cstdint>
#include <vector>

#include "runtime/data_message.h"

namespace loquant::cli {

struct IndexedPitch {
  std::int64_t timeMs = 0;  // pitchtime_-|i|-_
  double hz = 0.0;          // pitchvalue_-|i|-_
};

// The pairs for i = 0, 1, ... below `count`, up to the first i whose value or
// time is missing. Each entry is the one getDouble(i, "pitchvalue") and
// getInt(i, "pitchtime") find: the first live entry of that name (ASCII case
// ignored), which counts only when it is intact and of the right kind.
std::vector<IndexedPitch> readPitchList(const vornix::DataMessage& message, std::int64_t count);

}  // namespace loquant::cli
