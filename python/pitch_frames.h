// The pitch tracker over samples already in memory: every frame of one
// channel, split among a few threads, each with a tracker of its own. The
// frames are independent, so the result does not depend on the number of
// threads; it is the same, frame for frame, as `loquant pitch` gives for the
// same samples and settings.
#pragma once

#include <cstdint>
#include <span>

namespace loquant::python {

// One row of the result.
struct PitchRow {
  double time = 0;   // start of the frame, seconds
  double pitch = 0;  // tracker scale: half the fundamental, Hz
  double f0 = 0;     // the fundamental, Hz (2 × pitch)
  std::uint32_t level = 0;
  bool sound = false;  // above the noise gate
};

struct PitchSettings {
  std::uint32_t rate = 0;
  std::uint32_t bufferSize = 0;  // samples per frame, 2 to 1048576
  double amplitudeThreshold = 0.75;
  double noiseThreshold = 5.0;
};

// The number of frames of `samples`: the last one padded with silence.
std::size_t pitchFrameCount(std::size_t samples, std::uint32_t bufferSize);

// Fills `rows` (pitchFrameCount rows) with the tracker's result for every
// frame. Throws std::bad_alloc when the trackers' buffers cannot be had.
void trackPitchFrames(std::span<const std::int16_t> samples, const PitchSettings& settings,
                      std::span<PitchRow> rows);

}  // namespace loquant::python
