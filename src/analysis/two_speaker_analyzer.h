// The two-speaker analysis: the logic of AnalyzeTwo, apart from its loop.
//
// Follows the speech events of two or more speakers, each known by the key
// speakerKey() gives for its "ModuleID", and tracks who holds the floor:
// nobody (0), one speaker (1) or two or more at once (2). Posts
// "PitchOverlappingStart" / "PitchOverlappingStop" when an overlap starts and
// ends, and "PitchSilenceStart" / "PitchSilenceStop" when a silence starts and
// ends. A silence closed by the speaker who opened it is labelled " within",
// by another speaker " giving"; a closed overlap's category gets "Overlap".
//
// Thread safety: none; the analyzer and its floor are used by one thread.
#pragma once

#include <cstdint>
#include <string>

#include "analysis/analysis_state.h"
#include "analysis/poster.h"
#include "runtime/data_message.h"

namespace vornix {

// The speaker key of a message: the decimal text of the low 32 bits of its
// integer "ModuleID", taken as unsigned; 0, a missing entry and an entry of
// another kind give "1".
std::string speakerKey(const DataMessage& message);

class TwoSpeakerAnalyzer {
 public:
  // `floor` and `poster` are not owned and must outlive the analyzer.
  TwoSpeakerAnalyzer(SpeakerFloor& floor, Poster& poster) noexcept
      : floor_(floor), poster_(poster) {}

  // Begins a run: the open segment is emptied; the floor state and the
  // speakers stay as earlier runs left them.
  void start();
  // Handles one received message; only trigger names containing "speech"
  // (any letter case) have an effect.
  void onMessage(const char* triggerName, const DataMessage& message);

 private:
  void postSegment(const char* postName, bool categoryFirst);

  SpeakerFloor& floor_;
  Poster& poster_;
  bool lastFlag_ = false;  // speaking flag of the previous speech message of this run
};

}  // namespace vornix
