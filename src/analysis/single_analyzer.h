// The single-speaker analyses: the logic of AnalyzeSingle and
// AnalyzeSingleContinuous, apart from their entry-point loops.
//
// Both post summaries under "Analysis" through a Poster. Neither keeps the
// messages it is given: each call only reads its message.
// Thread safety: none; an analyzer and its table are used by one thread.
#pragma once

#include "analysis/pitch_table_xml.h"
#include "analysis/poster.h"
#include "runtime/data_message.h"

namespace vornix {

// Summarises each turn when its speech-off message arrives. The table's
// running mean covers every turn since start().
class SingleAnalyzer {
 public:
  // `table` and `poster` are not owned and must outlive the analyzer.
  SingleAnalyzer(PitchTableXML& table, Poster& poster) noexcept : table_(table), poster_(poster) {}

  // Begins a run: the table is reset to a newly constructed one.
  void start();
  // Handles one received message. Only triggers whose name contains
  // "SpeechOff" (any letter case) are analysed; a turn without a positive
  // sample posts nothing. The summary carries the table's entries and then
  // the message's text "ModuleID" when it has one.
  void onMessage(const char* triggerName, const DataMessage& message);

 private:
  PitchTableXML& table_;
  Poster& poster_;
};

// Follows a speaker's speech events through the table's phase machine and
// posts a summary when the speaker has stopped and a wait ends without a
// message.
class ContinuousAnalyzer {
 public:
  // `table`, `poster` and `out` are not owned and must outlive the analyzer.
  ContinuousAnalyzer(PitchTableXML& table, Poster& poster, LineWriter& out) noexcept
      : table_(table), poster_(poster), out_(out) {}

  // Begins a run: the table is reset (phase Idle).
  void start();
  // Passes one received message and its trigger name to the table.
  void onMessage(const char* triggerName, const DataMessage& message);
  // A wait ended without a message: when the table is Stopped, writes
  // "SEND ANALYSIS******", posts "ID" (the table's module id) followed by the
  // table's entries, and sets the phase to Idle.
  void onTimeout();

 private:
  PitchTableXML& table_;
  Poster& poster_;
  LineWriter& out_;
};

}  // namespace vornix
