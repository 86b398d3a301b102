// The reports of `loquant analyze` on hand-made conversations: floor
// intervals typed as conversation analysts type them (a backchannel is a
// within-speaker overlap, not a change of speaker), floor-transfer offsets at
// real changes of speaker only, and the summary's levels and warnings.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

// The reports are part of the command, not of a library the suite links:
// compiled into this test on their own (they need nothing else of the
// command).
#include "../../cli/reports.cpp"  // NOLINT(bugprone-suspicious-include)

namespace loquant::test {
namespace {

using cli::Conversation;
using cli::FloorInterval;
using cli::Speaker;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

Speaker speaker(int number, std::vector<std::pair<double, double>> utterances) {
  Speaker s;
  s.number = number;
  s.name = "speaker" + std::to_string(number);
  s.source = "talk.wav:" + std::to_string(number);
  for (const auto& [start, end] : utterances) s.utterances.push_back({start, end});
  return s;
}

Conversation conversation(std::vector<Speaker> speakers) {
  Conversation c;
  c.durationMs = 20000;
  c.rate = 16000;
  c.speakers = std::move(speakers);
  return c;
}

std::vector<std::string> labels(const std::vector<FloorInterval>& intervals) {
  std::vector<std::string> out;
  for (const FloorInterval& f : intervals) out.push_back(f.label);
  return out;
}

// Speaker 1 holds the floor 0-5 s with a backchannel of speaker 2 at
// 2.0-2.5 s, pauses, goes on 6-9 s; speaker 2 comes in at 8.5 s and keeps the
// floor to 12 s (an overlap at a change of speaker); speaker 1 takes it back
// after a 400 ms gap.
Conversation withBackchannel() {
  return conversation({speaker(1, {{0, 5000}, {6000, 9000}, {12400, 14000}}),
                       speaker(2, {{2000, 2500}, {8500, 12000}})});
}

TEST(FloorIntervals, BackchannelIsAnOverlapWithinAndTransfersAreTyped) {
  const std::vector<FloorInterval> intervals = cli::floorIntervals(withBackchannel());
  EXPECT_THAT(labels(intervals),
              ElementsAre("Overlap within", "Silence within", "Overlap between", "Silence giving"));
  ASSERT_EQ(intervals.size(), 4U);
  EXPECT_DOUBLE_EQ(intervals[0].startMs, 2000);
  EXPECT_DOUBLE_EQ(intervals[0].endMs, 2500);
  EXPECT_DOUBLE_EQ(intervals[2].startMs, 8500);
  EXPECT_DOUBLE_EQ(intervals[2].endMs, 9000);
}

TEST(FloorIntervals, OffsetsAreTakenAtChangesOfSpeakerOnly) {
  // The backchannel and the pause are no changes of speaker: -500 ms for the
  // overlap at 8.5-9 s, +400 ms for the gap.
  EXPECT_THAT(cli::floorTransferOffsets(withBackchannel()), ElementsAre(-500.0, 400.0));
  // Turns that touch are a transfer with no offset, and leave no interval.
  const Conversation touching = conversation({speaker(1, {{0, 1000}}), speaker(2, {{1000, 2000}})});
  EXPECT_THAT(cli::floorTransferOffsets(touching), ElementsAre(0.0));
  EXPECT_TRUE(cli::floorIntervals(touching).empty());
  // A backchannel as the first thing the listener says, followed by the
  // speaker's own pause and a real gap to the listener.
  const Conversation later = conversation(
      {speaker(1, {{0, 3000}, {3500, 4000}}), speaker(2, {{1000, 1300}, {4700, 6000}})});
  EXPECT_THAT(cli::floorTransferOffsets(later), ElementsAre(700.0));
}

TEST(FloorIntervals, OverlapBothEndTogetherIsBetweenSpeakers) {
  // Nobody goes on talking through it, so it is no backchannel, whichever
  // speaker is handled first at the common end.
  for (const bool secondCameIn : {true, false}) {
    const Conversation c =
        secondCameIn ? conversation({speaker(1, {{0, 3000}}), speaker(2, {{2000, 3000}})})
                     : conversation({speaker(1, {{2000, 3000}}), speaker(2, {{0, 3000}})});
    EXPECT_THAT(labels(cli::floorIntervals(c)), ElementsAre("Overlap between")) << secondCameIn;
    EXPECT_THAT(cli::floorTransferOffsets(c), ElementsAre(-1000.0)) << secondCameIn;
  }
}

TEST(FloorIntervals, SpeakerWhoCameInAndOutlastsTheOtherTakesTheFloor) {
  // Speaker 2 comes in at 1 s; speaker 1 stops at 2 s: between. Speaker 1
  // then comes back in under speaker 2 and stops first: within.
  const Conversation c =
      conversation({speaker(1, {{0, 2000}, {3000, 3400}}), speaker(2, {{1000, 5000}})});
  EXPECT_THAT(labels(cli::floorIntervals(c)), ElementsAre("Overlap between", "Overlap within"));
  EXPECT_THAT(cli::floorTransferOffsets(c), ElementsAre(-1000.0));
}

std::string summaryOf(const Conversation& c) {
  std::string out;
  cli::writeSummary(c, out);
  return out;
}

TEST(FloorTransfers, NameWhoGivesAndWhoTakesTheFloorAtEachChangeOnly) {
  // The backchannel at 2.0 s and the pause at 5-6 s change nobody's floor;
  // speaker 2 takes it at 8.5 s overlapping by 0.5 s, speaker 1 takes it
  // back after a 0.4 s gap.
  const std::vector<cli::FloorTransfer> transfers = cli::floorTransfers(withBackchannel());
  ASSERT_EQ(transfers.size(), 2U);
  EXPECT_EQ(transfers[0].from, 1);
  EXPECT_EQ(transfers[0].to, 2);
  EXPECT_DOUBLE_EQ(transfers[0].atMs, 8500);
  EXPECT_DOUBLE_EQ(transfers[0].offsetMs, -500);
  EXPECT_EQ(transfers[1].from, 2);
  EXPECT_EQ(transfers[1].to, 1);
  EXPECT_DOUBLE_EQ(transfers[1].atMs, 12400);
  EXPECT_DOUBLE_EQ(transfers[1].offsetMs, 400);
  // The same offsets as the ones the summary counts.
  std::vector<double> offsets;
  for (const cli::FloorTransfer& t : transfers) offsets.push_back(t.offsetMs);
  std::sort(offsets.begin(), offsets.end());
  EXPECT_EQ(offsets, cli::floorTransferOffsets(withBackchannel()));
}

TEST(FloorTransfers, BothStoppingTogetherGivesTheFloorToTheOneWhoCameIn) {
  // Speaker 1 comes in at 3 s under speaker 2; both stop at 4 s: a change
  // from 2 to 1, though the newcomer's end is the one met first at 4 s.
  const Conversation c =
      conversation({speaker(1, {{3000, 4000}}), speaker(2, {{0, 4000}, {6000, 7000}})});
  const std::vector<cli::FloorTransfer> transfers = cli::floorTransfers(c);
  ASSERT_EQ(transfers.size(), 1U);  // speaker 2 resuming at 6 s is a pause
  EXPECT_EQ(transfers[0].from, 2);
  EXPECT_EQ(transfers[0].to, 1);
  EXPECT_DOUBLE_EQ(transfers[0].atMs, 3000);
  EXPECT_DOUBLE_EQ(transfers[0].offsetMs, -1000);
}

TEST(Summary, CountsBothOverlapKindsAndLeavesBackchannelsOutOfTheOffsets) {
  const std::string text = summaryOf(withBackchannel());
  EXPECT_THAT(text, HasSubstr("  overlaps:              2, total 1.000 s, mean 0.500 s\n"));
  EXPECT_THAT(text, HasSubstr("  overlaps (between):    1, total 0.500 s, mean 0.500 s\n"));
  EXPECT_THAT(text, HasSubstr("  backchannels (within): 1, total 0.500 s, mean 0.500 s\n"));
  EXPECT_THAT(text, HasSubstr("  pauses (within):       1, total 1.000 s"));
  EXPECT_THAT(text, HasSubstr("  gaps (giving):         1, total 0.400 s"));
  EXPECT_THAT(text, HasSubstr("  floor transfers:       2, offset median -0.050 s, quartiles "
                              "-0.275 / 0.175 s\n"));
}

TEST(TextGrid, TurnTakingTierShowsBothOverlapKinds) {
  std::string grid;
  cli::writeTextGrid(withBackchannel(), grid);
  const std::size_t tier = grid.find("name = \"turn-taking\"");
  ASSERT_NE(tier, std::string::npos);
  const std::string turnTaking = grid.substr(tier);
  EXPECT_THAT(turnTaking, HasSubstr("text = \"Overlap within\""));
  EXPECT_THAT(turnTaking, HasSubstr("text = \"Overlap between\""));
  EXPECT_THAT(turnTaking, Not(HasSubstr("text = \"Overlap\"")));
}

Conversation withLevels() {
  Conversation c = conversation({speaker(1, {{0, 1000}}), speaker(2, {{1500, 2000}})});
  Speaker& clean = c.speakers[0];
  clean.levelsKnown = true;
  clean.noiseFloorDbfs = -62.14;
  clean.speechLevelDbfs = -31.04;
  clean.snrDb = 31.1;
  Speaker& noisy = c.speakers[1];
  noisy.levelsKnown = true;
  noisy.noiseFloorDbfs = -40.0;
  noisy.speechLevelDbfs = -35.8;
  noisy.snrDb = 4.2;
  noisy.tooNoisy = true;
  return c;
}

TEST(Summary, PrintsEachSpeakersLevelsAndWarnsOfAFlaggedOne) {
  const std::string text = summaryOf(withLevels());
  EXPECT_THAT(text, HasSubstr("speaker1 (talk.wav:1)\n  turns:          1\n"));
  EXPECT_THAT(text, HasSubstr("  levels:         noise floor -62.1 dBFS, speech -31.0 dBFS, "
                              "SNR 31.1 dB\n"));
  EXPECT_THAT(text, HasSubstr("  levels:         noise floor -40.0 dBFS, speech -35.8 dBFS, "
                              "SNR 4.2 dB\n"));
  EXPECT_THAT(text, HasSubstr("warning: speaker2 is too noisy to analyse reliably (SNR 4.2 dB)\n"));
  EXPECT_THAT(text, Not(HasSubstr("warning: speaker1")));
  EXPECT_THAT(text, Not(HasSubstr("too quiet")));
  // The warnings come before the speakers' figures they qualify.
  EXPECT_LT(text.find("warning:"), text.find("speaker1 ("));
}

TEST(Summary, QuietChannelWithoutSpeechIsNamedAndItsUnknownsSaidSo) {
  Conversation c = withLevels();
  Speaker& silent = c.speakers[1];
  silent.speechLevelDbfs = NAN;
  silent.snrDb = NAN;
  silent.noiseFloorDbfs = -120.0;
  silent.tooNoisy = false;
  silent.tooQuiet = true;
  const std::string text = summaryOf(c);
  EXPECT_THAT(text, HasSubstr("warning: speaker2 is too quiet to analyse reliably (no speech "
                              "found)\n"));
  EXPECT_THAT(text, HasSubstr("  levels:         noise floor -120.0 dBFS, speech unknown, SNR "
                              "unknown\n"));
  // A quiet channel with speech gives its level; both flags give two lines.
  silent.speechLevelDbfs = -58.24;
  silent.snrDb = 3.0;
  silent.tooNoisy = true;
  const std::string both = summaryOf(c);
  EXPECT_THAT(both, HasSubstr("warning: speaker2 is too quiet to analyse reliably (speech -58.2 "
                              "dBFS)\n"));
  EXPECT_THAT(both, HasSubstr("warning: speaker2 is too noisy to analyse reliably (SNR 3.0 dB)\n"));
}

TEST(Summary, WithoutLevelsPrintsNeitherLevelsNorWarnings) {
  Conversation c = withLevels();
  for (Speaker& s : c.speakers) s.levelsKnown = false;
  const std::string text = summaryOf(c);
  EXPECT_THAT(text, Not(HasSubstr("levels:")));
  EXPECT_THAT(text, Not(HasSubstr("warning:")));
  // The header is still followed by one blank line, as before levels existed.
  EXPECT_EQ(text.rfind("Recording: 20.000 s, 2 speakers\n\nspeaker1 (", 0), 0U);
}

}  // namespace
}  // namespace loquant::test
