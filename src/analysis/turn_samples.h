// Reading the pitch collection of a speech-off message in one pass.
//
// A speech-off message carries its samples as indexed entries "pitchvalue"
// (double) and "pitchtime" (integer) with indexes 0 to count - 1. Looking up
// each index by name costs a walk of the record per lookup; this reader walks
// the record once and gives the same answers as the indexed getters of
// DataMessage would: the first live entry of a name decides, an entry of
// another kind or with a damaged value reads as 0, a missing index reads as 0.
#pragma once

#include <cstdint>
#include <vector>

#include "runtime/data_message.h"

namespace vornix {

struct TurnSample {
  double value = 0.0;     // "pitchvalue" [i], 0.0 when absent or not a double
  std::int64_t time = 0;  // "pitchtime" [i], 0 when absent or not an integer
};

// Samples 0 to count - 1 of `message`, in index order. The caller bounds
// `count` (the analysis clamps it to the record's entry count, so the result
// never takes more memory than the record itself). Never reads outside the
// record. Throws std::bad_alloc only.
std::vector<TurnSample> readTurnSamples(const DataMessage& message, std::uint32_t count);

}  // namespace vornix
