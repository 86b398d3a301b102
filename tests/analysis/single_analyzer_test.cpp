#include <gtest/gtest.h>

#include "analysis/single_analyzer.h"
#include "analysis_test_support.h"

namespace vornix {
namespace {

using testing::entryNames;
using testing::RecordingPoster;
using testing::RecordingWriter;
using testing::speechOff;

TEST(SingleAnalyzer, PostsTheWorkedExampleInEntryOrder) {
  PitchTableXML table;
  RecordingPoster poster;
  SingleAnalyzer analyzer(table, poster);
  analyzer.start();
  auto m = speechOff(1300, {{100, 1000}, {120, 1100}, {110, 1200}, {90, 1250}});
  m->setString("ModuleID", "speakerA");  // the integer entry becomes text
  analyzer.onMessage("SpeechOff", *m);

  ASSERT_EQ(poster.posts.size(), 1u);
  EXPECT_EQ(poster.posts[0].name, "Analysis");
  const DataMessage& a = *poster.posts[0].message;
  EXPECT_EQ(entryNames(a),
            (std::vector<std::string>{"ObjectName", "Timestamp", "Vector", "Average", "Slope",
                                      "EndValue", "EndTimestamp", "StartValue", "StartTimestamp",
                                      "MaxValue", "MaxOffset", "MaxTimestamp", "MinValue",
                                      "MinOffset", "MinTimestamp", "ModuleID"}));
  EXPECT_STREQ(a.getString("ObjectName"), "Analysis");
  EXPECT_EQ(a.getInt("Timestamp"), 1300);
  EXPECT_STREQ(a.getString("Vector"), "Down_Below");
  EXPECT_DOUBLE_EQ(a.getDouble("Average"), 105.0);
  EXPECT_DOUBLE_EQ(a.getDouble("Slope"), 2.0);
  EXPECT_EQ(a.getInt("EndValue"), 90);
  EXPECT_EQ(a.getInt("EndTimestamp"), 1250);
  EXPECT_EQ(a.getInt("StartValue"), 120);
  EXPECT_EQ(a.getInt("StartTimestamp"), 1100);
  EXPECT_EQ(a.getInt("MaxValue"), 120);
  EXPECT_EQ(a.getInt("MaxOffset"), 15);
  EXPECT_EQ(a.getInt("MaxTimestamp"), 1100);
  EXPECT_EQ(a.getInt("MinValue"), 90);
  EXPECT_EQ(a.getInt("MinOffset"), 0);
  EXPECT_EQ(a.getInt("MinTimestamp"), 1250);
  EXPECT_STREQ(a.getString("ModuleID"), "speakerA");
}

TEST(SingleAnalyzer, AcceptsOnlySpeechOffTriggersInAnyCase) {
  PitchTableXML table;
  RecordingPoster poster;
  SingleAnalyzer analyzer(table, poster);
  analyzer.start();
  auto m = speechOff(10, {{100, 1000}});
  analyzer.onMessage("SpeechOn", *m);
  analyzer.onMessage("SpeechPause", *m);
  analyzer.onMessage(nullptr, *m);
  EXPECT_TRUE(poster.posts.empty());
  analyzer.onMessage("speechOFF", *m);
  ASSERT_EQ(poster.posts.size(), 1u);
  // The speech monitor writes "ModuleID" as an integer: no "ModuleID" here.
  EXPECT_EQ(poster.posts[0].message->findEntry("ModuleID"), nullptr);
}

TEST(SingleAnalyzer, LevelIsJudgedAgainstThePooledMeanAcrossTurns) {
  PitchTableXML table;
  RecordingPoster poster;
  SingleAnalyzer analyzer(table, poster);
  analyzer.start();
  auto low = speechOff(10, {{100, 1000}, {100, 1010}, {100, 1020}, {100, 1030}});
  auto high = speechOff(20, {{200, 2000}, {200, 2010}});
  auto empty = speechOff(30, {{0, 3000}});
  analyzer.onMessage("SpeechOff", *low);
  analyzer.onMessage("SpeechOff", *empty);  // no positive sample: nothing posted
  analyzer.onMessage("SpeechOff", *high);
  ASSERT_EQ(poster.posts.size(), 2u);
  const DataMessage& second = *poster.posts[1].message;
  EXPECT_NEAR(second.getDouble("Average"), 800.0 / 6.0, 1e-9);
  EXPECT_STREQ(second.getString("Vector"), "Straight_Above");

  // A new run starts from a fresh table.
  analyzer.start();
  EXPECT_EQ(table.total(), 0);
}

TEST(ContinuousAnalyzer, SummaryAfterStopAndQuietWait) {
  PitchTableXML table;
  RecordingPoster poster;
  RecordingWriter out;
  ContinuousAnalyzer analyzer(table, poster, out);
  analyzer.start();

  DataMessage speaking;
  speaking.setInt("pitch", 140);
  speaking.setInt("time", 77);
  speaking.setString("ModuleID", "m7");
  analyzer.onTimeout();  // Idle: nothing
  analyzer.onMessage("Speaking", speaking);
  analyzer.onTimeout();  // Active: nothing
  EXPECT_TRUE(poster.posts.empty());
  analyzer.onMessage("SpeechOff", speaking);
  analyzer.onMessage("Unrelated", speaking);  // stays Stopped, summary put off
  EXPECT_TRUE(poster.posts.empty());
  analyzer.onTimeout();

  ASSERT_EQ(poster.posts.size(), 1u);
  EXPECT_EQ(table.phase(), PitchTableXML::Phase::Idle);
  EXPECT_EQ(out.text, "**OFF**\nSEND ANALYSIS******\n");
  const DataMessage& a = *poster.posts[0].message;
  EXPECT_EQ(poster.posts[0].name, "Analysis");
  EXPECT_EQ(entryNames(a), (std::vector<std::string>{"ID", "ObjectName", "Timestamp", "Vector",
                                                     "Average", "Slope", "A"}));
  EXPECT_STREQ(a.getString("ID"), "m7");
  EXPECT_EQ(a.getInt("Timestamp"), 0);
  EXPECT_STREQ(a.getString("Vector"), "");
  EXPECT_EQ(a.getInt("A"), 0);
}

TEST(ContinuousAnalyzer, OnAfterStopResumesWithoutSummary) {
  PitchTableXML table;
  RecordingPoster poster;
  RecordingWriter out;
  ContinuousAnalyzer analyzer(table, poster, out);
  analyzer.start();
  DataMessage speaking;
  speaking.setInt("pitch", 140);
  speaking.setInt("ModuleID", 4);  // not text: empty "ID"
  analyzer.onMessage("Speaking", speaking);
  analyzer.onMessage("SpeechOff", speaking);
  analyzer.onMessage("SpeechOn", speaking);
  analyzer.onTimeout();
  EXPECT_TRUE(poster.posts.empty());
  EXPECT_EQ(out.text, "**OFF**\n**ON**\n");
  analyzer.onMessage("SpeechOff", speaking);
  analyzer.onTimeout();
  ASSERT_EQ(poster.posts.size(), 1u);
  EXPECT_STREQ(poster.posts[0].message->getString("ID"), "");
}

}  // namespace
}  // namespace vornix
