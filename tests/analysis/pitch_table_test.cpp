#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "analysis/pitch_table_xml.h"
#include "analysis/turn_samples.h"
#include "analysis_test_support.h"

namespace vornix {
namespace {

using testing::RecordingWriter;
using testing::speechOff;
using Phase = PitchTableXML::Phase;
using Trend = PitchTableXML::Trend;

TEST(PitchTableTurn, WorkedExampleFourSamples) {
  PitchTableXML table;
  auto m = speechOff(1300, {{100, 1000}, {120, 1100}, {110, 1200}, {90, 1250}});
  ASSERT_TRUE(table.analyzeTurn(m.get()));
  EXPECT_EQ(table.timestamp(), 1300);
  EXPECT_EQ(*table.endPoint(), (PitchPoint{0, 90, 1250}));
  EXPECT_EQ(*table.maxPoint(), (PitchPoint{15, 120, 1100}));
  EXPECT_EQ(*table.minPoint(), (PitchPoint{0, 90, 1250}));
  EXPECT_EQ(*table.startPoint(), *table.maxPoint());
  EXPECT_DOUBLE_EQ(table.average(), 105.0);
  EXPECT_EQ(table.total(), 4);
  EXPECT_DOUBLE_EQ(table.slope(), 2.0);
  EXPECT_EQ(table.vector(), "Down_Below");
}

TEST(PitchTableTurn, SingleSampleIsEveryPointAndStraightAt) {
  PitchTableXML table;
  auto m = speechOff(10, {{150, 500}});
  ASSERT_TRUE(table.analyzeTurn(m.get()));
  const PitchPoint only{0, 150, 500};
  EXPECT_EQ(*table.endPoint(), only);
  EXPECT_EQ(*table.maxPoint(), only);
  EXPECT_EQ(*table.minPoint(), only);
  EXPECT_EQ(*table.startPoint(), only);
  EXPECT_DOUBLE_EQ(table.slope(), 0.0);
  EXPECT_EQ(table.vector(), "Straight_At");
}

TEST(PitchTableTurn, ValuesOfThousandOrMoreNeverBecomeTheMinimum) {
  PitchTableXML table;
  auto m = speechOff(10, {{1500, 900}, {1200, 1000}});
  ASSERT_TRUE(table.analyzeTurn(m.get()));
  EXPECT_EQ(*table.minPoint(), (PitchPoint{0, 1000, 0}));
  EXPECT_EQ(*table.maxPoint(), (PitchPoint{10, 1500, 900}));
  DataMessage out;
  table.writeToMessage(out);
  EXPECT_EQ(out.getInt("MinValue"), 1000);
  EXPECT_EQ(out.getInt("MinOffset"), 0);
  EXPECT_EQ(out.getInt("MinTimestamp"), 0);
}

TEST(PitchTableTurn, SamplesThreeHundredBeforeTheEndOnlyEnterTheMean) {
  PitchTableXML table;
  // 250 lies exactly 300 before the end, 40 lies 301 before it.
  auto m = speechOff(10, {{40, 699}, {250, 700}, {100, 1000}});
  ASSERT_TRUE(table.analyzeTurn(m.get()));
  EXPECT_EQ(table.maxPoint()->value, 100);
  EXPECT_EQ(table.minPoint()->value, 100);
  EXPECT_DOUBLE_EQ(table.average(), 130.0);
  EXPECT_EQ(table.total(), 3);
}

TEST(PitchTableTurn, StartPointRules) {
  // Equal offsets of 6 or more: the minimum (rule 4). Up_ from 50 to 100.
  {
    PitchTableXML table;
    auto m = speechOff(10, {{50, 1125}, {150, 1130}, {100, 1200}});
    ASSERT_TRUE(table.analyzeTurn(m.get()));
    EXPECT_EQ(table.maxPoint()->offset, 7);
    EXPECT_EQ(table.minPoint()->offset, 7);
    EXPECT_EQ(*table.startPoint(), (PitchPoint{7, 50, 1125}));
    EXPECT_NEAR(table.slope(), -50.0 / 7.0, 1e-12);
    EXPECT_EQ(table.vector(), "Up_At");
  }
  // Maximum near the end, minimum further back: the minimum (rule 1).
  {
    PitchTableXML table;
    auto m = speechOff(10, {{60, 1100}, {130, 1180}, {120, 1200}});
    ASSERT_TRUE(table.analyzeTurn(m.get()));
    EXPECT_EQ(table.maxPoint()->offset, 2);
    EXPECT_EQ(table.minPoint()->offset, 10);
    EXPECT_EQ(table.startPoint()->value, 60);
    EXPECT_DOUBLE_EQ(table.slope(), -6.0);
  }
  // Both far back, maximum nearer: the maximum (rule 3).
  {
    PitchTableXML table;
    auto m = speechOff(10, {{50, 1000}, {200, 1100}, {100, 1200}});
    ASSERT_TRUE(table.analyzeTurn(m.get()));
    EXPECT_EQ(table.maxPoint()->offset, 10);
    EXPECT_EQ(table.minPoint()->offset, 20);
    EXPECT_EQ(table.startPoint()->value, 200);
  }
}

TEST(PitchTableTurn, MeanIsPooledOverSamplesNotTurns) {
  PitchTableXML table;
  auto first = speechOff(10, {{100, 1000}});
  auto second = speechOff(20, {{200, 2000}, {200, 2010}, {200, 2020}});
  ASSERT_TRUE(table.analyzeTurn(first.get()));
  ASSERT_TRUE(table.analyzeTurn(second.get()));
  EXPECT_DOUBLE_EQ(table.average(), 175.0);
  EXPECT_EQ(table.total(), 4);
  EXPECT_EQ(table.vector(), "Straight_Above");
}

TEST(PitchTableTurn, UnusableTurnsAnswerFalseAndKeepTheMean) {
  PitchTableXML table;
  auto good = speechOff(10, {{100, 1000}});
  ASSERT_TRUE(table.analyzeTurn(good.get()));

  EXPECT_FALSE(table.analyzeTurn(nullptr));
  auto none = speechOff(10, {});
  EXPECT_FALSE(table.analyzeTurn(none.get()));
  auto negative = speechOff(10, {{100, 1000}});
  negative->setInt("PitchCount", -3);
  EXPECT_FALSE(table.analyzeTurn(negative.get()));
  auto asDouble = speechOff(10, {{100, 1000}});
  asDouble->setDouble("PitchCount", 1.0);  // the entry becomes a double
  EXPECT_FALSE(table.analyzeTurn(asDouble.get()));
  auto notPositive = speechOff(10, {{0.0, 1000},
                                    {-5.0, 1010},
                                    {0.9, 1020},
                                    {std::nan(""), 1030},
                                    {1e12, 1040},
                                    {-1e12, 1050},
                                    {std::numeric_limits<double>::infinity(), 1060}});
  EXPECT_FALSE(table.analyzeTurn(notPositive.get()));
  EXPECT_DOUBLE_EQ(table.average(), 100.0);
  EXPECT_EQ(table.total(), 1);
  EXPECT_TRUE(table.vector().empty());
}

TEST(PitchTableTurn, HugeCountIsBoundedByTheRecord) {
  PitchTableXML table;
  auto m = speechOff(10, {{100, 1000}, {120, 1010}});
  m->setInt("PitchCount", std::numeric_limits<std::int32_t>::max());
  ASSERT_TRUE(table.analyzeTurn(m.get()));
  EXPECT_EQ(table.total(), 2);
  EXPECT_DOUBLE_EQ(table.average(), 110.0);
}

TEST(PitchTableTurn, MissingMiddleSampleAndZeroTimeEnd) {
  PitchTableXML table;
  auto m = std::make_unique<DataMessage>();
  m->setInt("PitchCount", 4);
  m->setDouble(0, "pitchvalue", 80);
  m->setInt(0, "pitchtime", 900);
  m->setDouble(1, "pitchvalue", 100);  // index 1 has no time entry: time 0
  // index 2 is missing altogether
  m->setDouble(3, "pitchvalue", 120);
  m->setInt(3, "pitchtime", 0);
  ASSERT_TRUE(table.analyzeTurn(m.get()));
  // Samples 3 and 1 have time 0 and leave the end time at 0, so sample 0
  // becomes the end point.
  EXPECT_EQ(*table.endPoint(), (PitchPoint{0, 80, 900}));
  EXPECT_EQ(table.total(), 3);
  EXPECT_DOUBLE_EQ(table.average(), 100.0);
}

TEST(TurnSamples, OnePassReadsWhatTheIndexedGettersRead) {
  DataMessage m;
  m.setDouble(0, "pitchvalue", 1.5);
  m.setInt(0, "pitchtime", 10);
  m.setInt(1, "pitchvalue", 7);           // wrong kind: reads 0
  m.setDouble(1, "pitchtime", 3.0);       // wrong kind: reads 0
  m.setDouble("PITCHVALUE_-|2|-_", 2.5);  // any letter case
  m.setInt("pitchTime_-|2|-_", 20);
  m.setDouble("pitchvalue_-|03|-_", 9.0);  // not the getters' name for 3
  m.setDouble("pitchvalue_-|3|-_x", 9.0);
  m.setDouble(3, "pitchvalue", 3.5);
  m.setDouble(4, "pitchvalue", 4.5);  // beyond the count
  const auto samples = readTurnSamples(m, 4);
  ASSERT_EQ(samples.size(), 4u);
  for (std::int64_t i = 0; i < 4; ++i) {
    const auto& s = samples[static_cast<std::size_t>(i)];
    EXPECT_EQ(s.value, m.getDouble(i, "pitchvalue")) << i;
    EXPECT_EQ(s.time, m.getInt(i, "pitchtime")) << i;
  }
  EXPECT_EQ(samples[2].value, 2.5);
  EXPECT_EQ(samples[3].value, 3.5);
}

TEST(PitchTableContour, AddPitchSequence) {
  PitchTableXML table;
  const auto add = [&](std::int64_t pitch, std::int64_t time) {
    DataMessage m;
    m.setInt("pitch", pitch);
    m.setInt("time", time);
    return table.addPitch(&m);
  };
  const auto values = [&] {
    std::vector<std::int32_t> v;
    for (const auto& p : table.turningPoints()) v.insert(v.begin(), p.value);  // newest first
    return v;
  };
  ASSERT_TRUE(add(5, 1));
  EXPECT_EQ(table.trend(), Trend::Level);
  ASSERT_TRUE(add(7, 2));
  EXPECT_EQ(table.trend(), Trend::Rising);
  ASSERT_TRUE(add(9, 3));
  EXPECT_EQ(values(), (std::vector<std::int32_t>{9, 5}));
  ASSERT_TRUE(add(9, 4));
  EXPECT_EQ(table.trend(), Trend::Level);
  ASSERT_TRUE(add(4, 5));
  EXPECT_EQ(values(), (std::vector<std::int32_t>{4, 9, 9, 5}));
  EXPECT_EQ(table.trend(), Trend::Falling);
  ASSERT_TRUE(add(4, 6));
  EXPECT_EQ(table.trend(), Trend::Level);
  EXPECT_EQ(values(), (std::vector<std::int32_t>{4, 4, 9, 9, 5}));
  ASSERT_TRUE(add(4, 7));
  EXPECT_EQ(values(), (std::vector<std::int32_t>{4, 4, 9, 9, 5}));
  EXPECT_EQ(table.turningPoints().back().time, 7);

  // Refused samples change nothing: zero pitch, a pitch whose low 32 bits
  // are zero, a pitch stored as a double.
  EXPECT_FALSE(add(0, 8));
  EXPECT_FALSE(add(std::int64_t{1} << 32, 9));
  DataMessage asDouble;
  asDouble.setDouble("pitch", 120.0);
  EXPECT_FALSE(table.addPitch(&asDouble));
  EXPECT_FALSE(table.addPitch(nullptr));
  EXPECT_EQ(table.turningPoints().size(), 5u);

  DataMessage noTime;
  noTime.setInt("pitch", 50);
  ASSERT_TRUE(table.addPitch(&noTime));
  EXPECT_EQ(table.turningPoints().back(), (PitchPoint{0, 50, 0}));
}

TEST(PitchTablePhases, SpeakingOffOnCycle) {
  PitchTableXML table;
  RecordingWriter out;
  table.setLineWriter(&out);
  DataMessage sample;
  sample.setInt("pitch", 120);
  sample.setInt("time", 5);
  sample.setString("ModuleID", "left");

  table.handleMessage(&sample, "SpeechOff");  // off while Idle: nothing
  EXPECT_EQ(table.phase(), Phase::Idle);
  EXPECT_EQ(table.moduleId(), "left");
  table.handleMessage(&sample, "isSPEAKING");
  EXPECT_EQ(table.phase(), Phase::Active);
  EXPECT_EQ(table.turningPoints().size(), 1u);
  table.handleMessage(&sample, "Speaking");  // Active adds no sample
  EXPECT_EQ(table.turningPoints().size(), 1u);
  table.handleMessage(&sample, "SPEECHOFF");
  EXPECT_EQ(table.phase(), Phase::Stopped);
  table.handleMessage(&sample, "Other");
  EXPECT_EQ(table.phase(), Phase::Stopped);
  table.handleMessage(&sample, "SpeechOn");
  EXPECT_EQ(table.phase(), Phase::Active);
  EXPECT_EQ(out.text, "**OFF**\n**ON**\n");

  DataMessage integerId;
  integerId.setInt("ModuleID", 3);
  table.handleMessage(&integerId, nullptr);
  EXPECT_EQ(table.moduleId(), "");
  EXPECT_EQ(table.phase(), Phase::Active);
  table.handleMessage(nullptr, "SpeechOff");
  EXPECT_EQ(table.phase(), Phase::Idle);

  // Idle with a zero pitch stays Idle.
  DataMessage silent;
  table.handleMessage(&silent, "Speaking");
  EXPECT_EQ(table.phase(), Phase::Idle);
}

TEST(PitchTableReset, PartialFullAndAssignment) {
  PitchTableXML table;
  auto m = speechOff(10, {{100, 1000}, {120, 1100}});
  ASSERT_TRUE(table.analyzeTurn(m.get()));
  DataMessage sample;
  sample.setInt("pitch", 50);
  ASSERT_TRUE(table.addPitch(&sample));

  EXPECT_TRUE(table.reset(false));
  EXPECT_EQ(table.maxPoint(), nullptr);
  EXPECT_EQ(table.minPoint(), nullptr);
  EXPECT_NE(table.endPoint(), nullptr);
  EXPECT_NE(table.startPoint(), nullptr);
  EXPECT_TRUE(table.turningPoints().empty());
  EXPECT_TRUE(table.vector().empty());
  EXPECT_EQ(table.trend(), Trend::Level);
  EXPECT_DOUBLE_EQ(table.average(), 110.0);
  EXPECT_TRUE(table.reset(true));
  EXPECT_EQ(table.total(), 0);
  EXPECT_DOUBLE_EQ(table.average(), 0.0);

  ASSERT_TRUE(table.analyzeTurn(m.get()));
  table = PitchTableXML();
  EXPECT_EQ(table.endPoint(), nullptr);
  EXPECT_EQ(table.startPoint(), nullptr);
  EXPECT_EQ(table.total(), 0);
  EXPECT_DOUBLE_EQ(table.slope(), 0.0);
  EXPECT_EQ(table.trend(), Trend::None);
  EXPECT_EQ(table.phase(), Phase::Idle);
}

TEST(PitchTableWrite, EntriesFollowWhatIsPresent) {
  PitchTableXML table;
  DataMessage empty;
  table.writeToMessage(empty);
  EXPECT_EQ(testing::entryNames(empty),
            (std::vector<std::string>{"ObjectName", "Timestamp", "Vector", "Average", "Slope"}));

  DataMessage sample;
  sample.setInt("pitch", 50);
  ASSERT_TRUE(table.addPitch(&sample));
  DataMessage withList;
  table.writeToMessage(withList);
  EXPECT_EQ(testing::entryNames(withList).back(), "A");
  EXPECT_EQ(withList.getInt("A", nullptr), 0);
}

}  // namespace
}  // namespace vornix
