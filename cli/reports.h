// The reports of `loquant analyze` computed from a Conversation: a Praat
// TextGrid, RTTM lines, CSV rows, a plain-text summary and an SVG plot.
//
// The speech tiers, RTTM lines and the summary's overlaps and silences are
// computed from the speakers' own utterances (first frame with sound to
// SpeechOff) and their intersections, so every interval there is real and
// ordered; the two-speaker analysis's floor posts are counted as made
// (including those whose end precedes their start).
//
// Turn-taking is counted as conversation analysts count it: an overlap in
// which the speaker who came in stops while the other goes on (a backchannel,
// "mm-hm", inside the other's turn) is a within-speaker overlap and does not
// change who has the floor; an overlap that the speaker who was talking ends
// is a between-speaker overlap, a change of speaker. Floor transfers are the
// changes of speaker only: gaps (positive offset), touching turns (zero) and
// between-speaker overlaps (negative offset).
#pragma once

#include <string>
#include <vector>

#include "conversation.h"

namespace loquant::cli {

// A turn-taking interval computed from the utterances.
struct FloorInterval {
  double startMs = 0;
  double endMs = 0;
  // For an overlap "Overlap between" (at a change of speaker: the speaker
  // who was talking stops first) or "Overlap within" (a backchannel: the
  // speaker who came in stops first while another goes on); for a silence
  // between two utterances "Silence within" (the same speaker goes on: a
  // pause) or "Silence giving" (another speaker takes over: a gap).
  std::string label;
  // At a change of speaker (a between-speaker overlap or a gap): the speaker
  // numbers of who had the floor and who takes it; 0 otherwise.
  int from = 0;
  int to = 0;
};

// Overlaps and silences between the first and the last utterance, by start.
std::vector<FloorInterval> floorIntervals(const Conversation& conversation);

// The floor-transfer offsets in ms, ascending: at each change of speaker the
// new speaker's start minus the previous speaker's end (a gap positive, an
// overlap between speakers negative, touching turns zero). Pauses and
// backchannels are not changes of speaker.
std::vector<double> floorTransferOffsets(const Conversation& conversation);

// One change of speaker: who had the floor, who takes it, when the new
// speaker starts (ms), and the offset as floorTransferOffsets counts it.
struct FloorTransfer {
  int from = 0;
  int to = 0;
  double atMs = 0;
  double offsetMs = 0;
};

// The changes of speaker in the order they happen (ties: as the sweep meets
// them).
std::vector<FloorTransfer> floorTransfers(const Conversation& conversation);

// Milliseconds as seconds with three decimals ("1.234").
std::string seconds(double ms);
// `v` with `decimals` decimals.
std::string number(double v, int decimals);
// The quantile q (0..1) of ascending `sorted` values, by linear
// interpolation between the two nearest; 0 for none.
double quantile(const std::vector<double>& sorted, double q);

void writeTextGrid(const Conversation& conversation, std::string& out);
// `fileId` is written as one token: blanks and control characters become '_'.
void writeRttm(const Conversation& conversation, const std::string& fileId, std::string& out);
void writeCsv(const Conversation& conversation, std::string& out);
void writeSummary(const Conversation& conversation, std::string& out);
void writeSvgPlot(const Conversation& conversation, std::string& out);

}  // namespace loquant::cli
