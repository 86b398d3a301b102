// PitchTableXML: the pitch memory of one speaker.
//
// Two independent uses:
// - Turn summary: analyzeTurn reads the pitch collection of the speech-off
//   message that closes a turn and finds the last pitch, the extremes within
//   300 time units before it and the extreme the final movement starts from;
//   it keeps a running mean over every turn since the last full reset and
//   labels the turn with a trend text ("Down_", "Straight_" or "Up_" followed
//   by "Above", "At" or "Below").
// - Streamed contour: handleMessage runs a small phase machine on trigger
//   names; addPitch folds single samples into a list of turning points.
// writeToMessage puts the summary into a DataMessage as typed entries (the
// class name notwithstanding, no XML is produced).
//
// Ownership: the table holds its points by value. The four designated points
// (end, start, maximum, minimum) are copies; a point designated twice carries
// the same fields in both places, because a sample's offset is fixed when it
// is designated. Nothing is shared, so every point is released exactly once.
//
// Errors: none are reported. Missing entries, entries of another kind and
// unusable counts read as 0 / empty, and analyzeTurn then answers false.
// Thread safety: none; one thread uses a table at a time (see
// analysis_state.h for how the entry points share one).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "analysis/pitch_point.h"
#include "analysis/poster.h"
#include "runtime/data_message.h"

namespace vornix {

class PitchTableXML {
 public:
  // Direction of the streamed contour; None before the first point.
  enum class Trend : std::int32_t { None = 0, Rising = 1, Falling = 2, Level = 3 };
  enum class Phase : std::int32_t { Active = 0, Stopped = 1, Idle = 2 };

  // Samples at or beyond this distance before the end point (time units)
  // never become the maximum or minimum of a turn.
  static constexpr std::int32_t kExtremeWindow = 300;
  // The value the minimum starts from; higher values never replace it.
  static constexpr std::int32_t kInitialMinimum = 1000;

  // Phase Idle, no points, empty list and texts, every number 0.
  PitchTableXML() = default;
  PitchTableXML(const PitchTableXML&) = default;
  // Copies every field; assigning a newly constructed table resets the table.
  PitchTableXML& operator=(const PitchTableXML&) = default;
  virtual ~PitchTableXML() = default;

  // Summarises the turn closed by `message` (null: false). Reads "Timestamp",
  // "PitchCount" (low 32 bits, signed; clamped to the record's entry count)
  // and the indexed "pitchvalue" / "pitchtime" entries. Answers false when
  // there is no message, the count is 0 or negative, or no value is positive
  // once converted to a 32-bit integer (NaN and values outside the 32-bit
  // range count as not positive); the running mean is then unchanged.
  virtual bool analyzeTurn(const DataMessage* message);
  // Write "**ON**" / "**OFF**" and a line end to standard output (see
  // setLineWriter); the message is not used.
  virtual void onSpeechOn(const DataMessage* message);
  virtual void onSpeechOff(const DataMessage* message);
  // Folds the sample ("pitch" cut to 32 bits, "time", both integers) into the
  // turning-point list. False, and nothing changed, when the pitch is 0 or
  // there is no message.
  virtual bool addPitch(const DataMessage* message);
  // Phase Idle, list emptied, timestamp 0, vector empty, no maximum or
  // minimum; with `full` also the running mean and its count. The end and
  // start points, slope and trend stay. Always true.
  virtual bool reset(bool full);
  // Runs the phase machine on `triggerName` (may be null: contains nothing).
  // No message sets the phase to Idle. Always true.
  virtual bool handleMessage(const DataMessage* message, const char* triggerName);

  // Writes the summary entries ("ObjectName" "Analysis", "Timestamp",
  // "Vector", "Average", "Slope", then the end/start, maximum and minimum
  // points where present, and "A" 0 when the list is not empty). Always true.
  bool writeToMessage(DataMessage& message) const;

  // Where onSpeechOn / onSpeechOff write; null (the default) means standard
  // output. The writer must outlive its use by the table.
  void setLineWriter(LineWriter* writer) noexcept { lineWriter_ = writer; }

  std::int64_t timestamp() const noexcept { return timestamp_; }
  void setTimestamp(std::int64_t t) noexcept { timestamp_ = t; }
  double average() const noexcept { return average_; }
  std::int32_t total() const noexcept { return total_; }
  double slope() const noexcept { return slope_; }
  const std::string& vector() const noexcept { return vector_; }
  Trend trend() const noexcept { return trend_; }
  Phase phase() const noexcept { return phase_; }
  void setPhase(Phase phase) noexcept { phase_ = phase; }
  const std::string& moduleId() const noexcept { return moduleId_; }

  // The designated points, or null when none is designated. Valid until the
  // next change of the table.
  const PitchPoint* endPoint() const noexcept { return pointer(endPoint_); }
  const PitchPoint* startPoint() const noexcept { return pointer(startPoint_); }
  const PitchPoint* maxPoint() const noexcept { return pointer(maxPoint_); }
  const PitchPoint* minPoint() const noexcept { return pointer(minPoint_); }
  // The turning points, oldest first: the list's head (newest point) is the
  // last element. Valid until the next change of the table.
  std::span<const PitchPoint> turningPoints() const noexcept { return turningPoints_; }

 private:
  static const PitchPoint* pointer(const std::optional<PitchPoint>& p) noexcept {
    return p ? &*p : nullptr;
  }
  void writeLine(const char* text) const;

  std::int64_t timestamp_ = 0;
  double average_ = 0.0;
  std::optional<PitchPoint> minPoint_, maxPoint_, endPoint_, startPoint_;
  std::vector<PitchPoint> turningPoints_;  // oldest first; head at the back
  std::int32_t total_ = 0;
  double slope_ = 0.0;
  std::string vector_;
  Trend trend_ = Trend::None;
  Phase phase_ = Phase::Idle;
  std::string moduleId_;
  LineWriter* lineWriter_ = nullptr;
};

}  // namespace vornix
