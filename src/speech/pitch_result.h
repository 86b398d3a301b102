// The per-frame output of the wavelet pitch tracker.
#pragma once

#include <cstdint>

namespace vornix {

// What one call of WaveletPitchTracker::computePitch found in one frame.
//
// A record starts all zero (pitch 0.0, level 0, no sound). A frame below the
// noise gate writes only `upperSwing`, `lowerSwing`, `meanAbsAmplitude` and
// `soundPresent`; `pitch` and `level` then keep what the record held before,
// so a caller that reuses one record across frames sees the last pitch.
struct PitchResult {
  // Pitch estimate in Hz on the tracker's own scale: one octave below the
  // fundamental (half its frequency). 0.0 when the frame has sound but no
  // level accepted a pitch.
  double pitch = 0.0;
  // | |max| - |mean| | of the frame's samples.
  double upperSwing = 0.0;
  // | |mean| - |min| | of the frame's samples.
  double lowerSwing = 0.0;
  // Mean of |sample| over the frame.
  double meanAbsAmplitude = 0.0;
  // Wavelet level (2 to 5) at which the pitch was accepted; 6 when none was.
  std::uint32_t level = 0;
  // False when the frame is below the noise gate.
  bool soundPresent = false;

  friend bool operator==(const PitchResult&, const PitchResult&) = default;
};

}  // namespace vornix
