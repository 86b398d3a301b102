// Where a speaker's utterances begin, read from the speech component's posts.
//
// The component posts SpeechOn only once "SpeechOnDelay" frames with sound
// have gone by, stamped with the frame after them: the delay keeps a click
// from opening an utterance, but the frames it skipped held the start of
// the speech. Every silent frame refills the count, except that the frame
// on which an utterance's silence reaches "SegmentIntervalThreshold" (and
// SpeechOff is posted) leaves it spent, so a sound on the very next frame
// is posted at once. Reading the posts with those rules puts each start on
// the first frame with sound, as the utterance's end already is (SpeechOff
// carries the first silent frame).
#pragma once

#include <cstdint>
#include <vector>

#include "conversation.h"

namespace loquant::cli {

// The clock the frames reached the components on: frame k was processed
// with the clock at originMicros + frameOffsetOf(k, frameSamples, rate), and
// the component stamps its posts with that time in whole ms.
struct FrameClock {
  std::uint64_t originMicros = 0;
  std::uint32_t frameSamples = 0;
  std::uint32_t rate = 0;
};

// The speech component's settings that decide where a SpeechOn stands.
struct OnsetRule {
  std::int64_t speechOnDelay = 0;      // "SpeechOnDelay", frames
  std::int64_t segmentIntervalMs = 0;  // "SegmentIntervalThreshold", ms
};

// Moves each utterance's start (ms after the origin, as Utterance holds
// them) back to the first of the frames with sound the component counted
// before posting SpeechOn. An utterance whose start or preceding end does
// not fall on a frame of `clock` is left as it is; so are all of them when
// the clock is unknown (frameSamples or rate 0).
void backdateOnsets(std::vector<Utterance>& utterances, const FrameClock& clock,
                    const OnsetRule& rule);

}  // namespace loquant::cli
