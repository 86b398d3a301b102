// The speaker-change detector: the logic of PitchTrackerDetector, apart from
// its loop.
//
// Decides from the "Metadata" double of each audio frame which of two
// speakers is talking (1 when the threshold is above |Metadata|, otherwise 2,
// also for NaN), posts "SpeakerChange" with "CurrentSpeaker" on every change,
// and passes every other message on, as a copy under its own trigger name,
// with "CurrentSpeaker" set once the speaker is known. Audio frames
// themselves are never passed on.
//
// Thread safety: none; used by one thread.
#pragma once

#include <cstdint>

#include "analysis/poster.h"
#include "runtime/data_message.h"

namespace vornix {

class SpeakerChangeDetector {
 public:
  // `poster` is not owned and must outlive the detector.
  SpeakerChangeDetector(double threshold, Poster& poster) noexcept
      : threshold_(threshold), poster_(poster) {}

  // Handles one received message. A trigger named "AudioFrame" (whole name,
  // any letter case) is read for its speaker; any other (also a null name)
  // is forwarded under that name. The message itself is only read.
  void onMessage(const char* triggerName, const DataMessage& message);

  // 0 before the first decision, then 1 or 2.
  std::int32_t currentSpeaker() const noexcept { return currentSpeaker_; }

 private:
  double threshold_;
  Poster& poster_;
  std::int32_t currentSpeaker_ = 0;
};

}  // namespace vornix
