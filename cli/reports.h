// The reports of `loquant analyze` computed from a Conversation: a Praat
// TextGrid, RTTM lines, CSV rows, a plain-text summary and an SVG plot.
//
// The speech tiers, RTTM lines and the summary's overlaps and silences are
// computed from the speakers' own utterances (SpeechOn to SpeechOff) and
// their intersections, so every interval there is real and ordered; the
// two-speaker analysis's floor posts are counted as made (including those
// whose end precedes their start).
#pragma once

#include <string>

#include "conversation.h"

namespace loquant::cli {

// A turn-taking interval computed from the utterances.
struct FloorInterval {
  double startMs = 0;
  double endMs = 0;
  // "Overlap", or for a silence between two utterances "Silence within"
  // (the same speaker goes on: a pause) or "Silence giving" (another speaker
  // takes over: a gap).
  std::string label;
};

// Overlaps and silences between the first and the last utterance.
std::vector<FloorInterval> floorIntervals(const Conversation& conversation);

void writeTextGrid(const Conversation& conversation, std::string& out);
// `fileId` is written as one token: blanks and control characters become '_'.
void writeRttm(const Conversation& conversation, const std::string& fileId, std::string& out);
void writeCsv(const Conversation& conversation, std::string& out);
void writeSummary(const Conversation& conversation, std::string& out);
void writeSvgPlot(const Conversation& conversation, std::string& out);

}  // namespace loquant::cli
