// What `loquant analyze` keeps of a run for its reports: each speaker's
// utterances (first frame with sound to SpeechOff), pitch contour and turn
// summaries, and the two-speaker analysis's floor posts as they were made.
// Times are ms from the start of the recording.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace loquant::cli {

struct Utterance {
  // The first frame with sound: SpeechOn's "timestamp" read back over the
  // frames its delay skipped (speech_onsets.h).
  double startMs = 0;
  double endMs = 0;    // "timestamp" of SpeechOff (the first silent frame)
};

struct PitchSample {
  double timeMs = 0;
  double value = 0;  // tracker scale: half the fundamental, Hz
};

struct TurnSummary {
  double timeMs = 0;   // when the summary was posted
  std::string vector;  // trend label, e.g. "Down_Below"
  double average = 0;  // running mean, tracker scale
  double slope = 0;
};

struct Speaker {
  int number = 0;      // ModuleID
  std::string name;    // e.g. "speaker1"
  std::string source;  // file and channel, e.g. "talk.wav:1"
  std::vector<Utterance> utterances;
  std::vector<PitchSample> pitch;
  std::vector<TurnSummary> turns;
  // The channel's levels as the audio conditioning estimated them (dBFS,
  // SNR in dB; NaN where there is no estimate, e.g. no speech at all), and
  // whether the channel is too noisy or too quiet to analyse reliably. The
  // summary prints them when levelsKnown.
  double noiseFloorDbfs = NAN, speechLevelDbfs = NAN, snrDb = NAN;
  bool tooNoisy = false, tooQuiet = false;
  bool levelsKnown = false;
};

// One post of the two-speaker analysis, kept as made.
struct FloorPost {
  double postedMs = 0;  // when it was posted
  std::string post;     // "PitchOverlappingStart", ...
  std::string label;    // the segment's label where the post has one
  double startMs = -1;  // the segment's start, when the post carries one
  double endMs = -1;    // the segment's end, when the post carries one
};

struct Conversation {
  double durationMs = 0;
  double rate = 0;
  std::vector<Speaker> speakers;
  std::vector<FloorPost> floorPosts;
};

}  // namespace loquant::cli
