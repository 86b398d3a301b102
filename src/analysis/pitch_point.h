// PitchPoint: one pitch sample of a speaker's turn or contour.
#pragma once

#include <cstdint>

namespace vornix {

struct PitchPoint {
  // Distance of the sample before the turn's end point in units of ten time
  // units ((end time - sample time) / 10, truncated toward zero); 0 until the
  // sample becomes the turn's maximum or minimum.
  std::int32_t offset = 0;
  // Pitch value in the producer's pitch units.
  std::int32_t value = 0;
  // Time of the sample in the unit of the incoming entries (milliseconds).
  std::int64_t time = 0;

  friend bool operator==(const PitchPoint&, const PitchPoint&) = default;
};

}  // namespace vornix
