#include <gtest/gtest.h>

#include "analysis/two_speaker_analyzer.h"
#include "analysis_test_support.h"

namespace vornix {
namespace {

using testing::entryNames;
using testing::RecordingPoster;
using testing::speechEvent;
using testing::speechOff;

class TwoSpeakers : public ::testing::Test {
 protected:
  void SetUp() override { analyzer.start(); }
  void send(const char* trigger, std::int64_t moduleId, std::int64_t ts) {
    auto m = std::string(trigger).find("ff") != std::string::npos
                 ? speechOff(ts, {{100, ts - 100}, {110, ts}}, moduleId)
                 : speechEvent(ts, moduleId);
    analyzer.onMessage(trigger, *m);
  }
  std::vector<std::string> postNames() const {
    std::vector<std::string> names;
    for (const auto& p : poster.posts) names.push_back(p.name);
    return names;
  }

  SpeakerFloor floor;
  RecordingPoster poster;
  TwoSpeakerAnalyzer analyzer{floor, poster};
};

TEST_F(TwoSpeakers, WorkedExampleFiveMessages) {
  send("SpeechOn", 1, 1000);
  EXPECT_TRUE(poster.posts.empty());
  EXPECT_EQ(floor.floorState, 1);
  send("SpeechOn", 2, 1400);
  send("SpeechOff", 2, 1900);
  send("SpeechOff", 1, 2500);
  send("SpeechOn", 2, 3100);
  ASSERT_EQ(postNames(), (std::vector<std::string>{"PitchOverlappingStart", "PitchOverlappingStop",
                                                   "PitchSilenceStart", "PitchSilenceStop"}));
  const DataMessage& start = *poster.posts[0].message;
  EXPECT_EQ(entryNames(start), (std::vector<std::string>{"Category", "ObjectName", "Type",
                                                         "StartTime", "EndTime", "Timestamp"}));
  EXPECT_STREQ(start.getString("Category"), "2");
  EXPECT_STREQ(start.getString("Type"), "Overlap");
  EXPECT_EQ(start.getInt("StartTime"), 1400);
  EXPECT_EQ(start.getInt("EndTime"), 1400);
  EXPECT_EQ(start.getInt("Timestamp"), 1400);

  const DataMessage& stop = *poster.posts[1].message;
  EXPECT_EQ(entryNames(stop), (std::vector<std::string>{"ObjectName", "Type", "Category",
                                                        "StartTime", "EndTime", "Timestamp"}));
  EXPECT_STREQ(stop.getString("ObjectName"), "Segment");
  EXPECT_STREQ(stop.getString("Category"), "2Overlap");
  EXPECT_EQ(stop.getInt("StartTime"), 1400);
  EXPECT_EQ(stop.getInt("EndTime"), 1900);
  EXPECT_EQ(stop.getInt("Timestamp"), 1900);

  const DataMessage& silenceStart = *poster.posts[2].message;
  EXPECT_EQ(entryNames(silenceStart), (std::vector<std::string>{"Timestamp"}));
  EXPECT_EQ(silenceStart.getInt("Timestamp"), 2500);

  const DataMessage& silenceStop = *poster.posts[3].message;
  EXPECT_STREQ(silenceStop.getString("Type"), "Silence");
  EXPECT_STREQ(silenceStop.getString("Category"), "1 giving");
  EXPECT_EQ(silenceStop.getInt("StartTime"), 2500);
  EXPECT_EQ(silenceStop.getInt("EndTime"), 3100);
  EXPECT_EQ(silenceStop.getInt("Timestamp"), 3100);
  EXPECT_EQ(floor.floorState, 1);
  EXPECT_TRUE(floor.segment.isEmpty());
}

TEST_F(TwoSpeakers, SameSpeakerResumingIsWithin) {
  send("SpeechOn", 1, 1000);
  send("SpeechOff", 1, 2000);
  send("SpeechOn", 1, 2600);
  ASSERT_EQ(postNames(), (std::vector<std::string>{"PitchSilenceStart", "PitchSilenceStop"}));
  EXPECT_STREQ(poster.posts[1].message->getString("Category"), "1 within");
}

TEST_F(TwoSpeakers, SilenceBeforeAnyoneSpoke) {
  send("SpeechOff", 5, 100);  // opens a silence without posting its start
  EXPECT_TRUE(poster.posts.empty());
  EXPECT_EQ(floor.segment.type(), "Silence");
  send("SpeechOn", 6, 300);
  ASSERT_EQ(postNames(), (std::vector<std::string>{"PitchSilenceStop"}));
  EXPECT_STREQ(poster.posts[0].message->getString("Category"), "5 giving");
  EXPECT_EQ(poster.posts[0].message->getInt("StartTime"), 100);
}

TEST_F(TwoSpeakers, RepeatedOnAndLatePauseChangeNothing) {
  send("SpeechOn", 1, 1000);
  send("SpeechOn", 1, 1100);
  send("SpeechOff", 1, 1500);
  send("SpeechPause", 1, 2500);
  EXPECT_EQ(postNames(), (std::vector<std::string>{"PitchSilenceStart"}));
}

TEST_F(TwoSpeakers, ThreeSpeakersOverlapEndsWhenOneRemains) {
  send("SpeechOn", 1, 1000);
  send("SpeechOn", 2, 1100);
  send("SpeechOn", 3, 1200);   // joins the overlap: nothing
  send("SpeechOff", 1, 1300);  // two still speak: nothing
  EXPECT_EQ(postNames(), (std::vector<std::string>{"PitchOverlappingStart"}));
  send("SpeechOff", 2, 1400);
  ASSERT_EQ(postNames(),
            (std::vector<std::string>{"PitchOverlappingStart", "PitchOverlappingStop"}));
  EXPECT_STREQ(poster.posts[1].message->getString("Category"), "2Overlap");
  EXPECT_EQ(poster.posts[1].message->getInt("EndTime"), 1400);
  EXPECT_EQ(floor.speakers.size(), 3u);
}

TEST_F(TwoSpeakers, PauseEndsAnOverlap) {
  send("SpeechOn", 1, 1000);
  send("SpeechOn", 2, 1100);
  send("SpeechPause", 1, 1700);
  EXPECT_EQ(postNames(),
            (std::vector<std::string>{"PitchOverlappingStart", "PitchOverlappingStop"}));
}

TEST_F(TwoSpeakers, TriggerNamesAnyCaseAndUnrelatedOnes) {
  send("SPEECHON", 1, 1000);
  send("AudioFrame", 2, 1050);  // no "speech": ignored
  EXPECT_EQ(floor.speakers.size(), 1u);
  send("speechon", 2, 1100);
  EXPECT_EQ(postNames(), (std::vector<std::string>{"PitchOverlappingStart"}));
  // A speech trigger with none of the words keeps the previous flag (on).
  send("SpeechHum", 3, 1200);
  EXPECT_TRUE(floor.speakers.at("3"));
}

TEST(SpeakerKey, ModuleIdForms) {
  const auto key = [](auto set) {
    DataMessage m;
    set(m);
    return speakerKey(m);
  };
  EXPECT_EQ(key([](DataMessage&) {}), "1");
  EXPECT_EQ(key([](DataMessage& m) { m.setInt("ModuleID", 0); }), "1");
  EXPECT_EQ(key([](DataMessage& m) { m.setInt("ModuleID", 1); }), "1");
  EXPECT_EQ(key([](DataMessage& m) { m.setString("ModuleID", "7"); }), "1");
  EXPECT_EQ(key([](DataMessage& m) { m.setInt("moduleid", 7); }), "7");
  EXPECT_EQ(key([](DataMessage& m) { m.setInt("ModuleID", -1); }), "4294967295");
  EXPECT_EQ(key([](DataMessage& m) { m.setInt("ModuleID", (std::int64_t{1} << 32) + 9); }), "9");
}

TEST(TwoSpeakerRuns, FloorCarriesOverButSegmentIsEmptiedAtStart) {
  SpeakerFloor floor;
  RecordingPoster poster;
  {
    TwoSpeakerAnalyzer first(floor, poster);
    first.start();
    auto on1 = speechEvent(1000, 0);  // ModuleID 0 and 1 are one speaker
    auto on2 = speechEvent(1100, 2);
    first.onMessage("SpeechOn", *on1);
    first.onMessage("SpeechOn", *on2);
  }
  EXPECT_EQ(floor.floorState, 2);
  EXPECT_FALSE(floor.segment.isEmpty());
  TwoSpeakerAnalyzer second(floor, poster);
  second.start();
  EXPECT_TRUE(floor.segment.isEmpty());
  auto off1 = speechEvent(1500, 1);
  second.onMessage("SpeechOff", *off1);  // the overlap's segment is gone: no stop
  EXPECT_EQ(floor.floorState, 1);
  ASSERT_EQ(poster.posts.size(), 1u);
  EXPECT_EQ(poster.posts[0].name, "PitchOverlappingStart");
  EXPECT_FALSE(floor.speakers.at("1"));
}

TEST(XMLSegmentRecord, WriteReadAndTimestampFallback) {
  XMLSegment segment(0, "Silence", "4");
  DataMessage m;
  segment.writeToMessage(m);
  EXPECT_EQ(m.getInt("Timestamp"), 0);
  XMLSegment opened(250, "Overlap", "2");
  opened.setEndTime(0);
  DataMessage n;
  opened.writeToMessage(n);
  EXPECT_EQ(n.getInt("Timestamp"), 250);

  XMLSegment read;
  EXPECT_FALSE(read.readFromMessage(nullptr));
  ASSERT_TRUE(read.readFromMessage(&n));
  EXPECT_EQ(read.startTime(), 250);
  EXPECT_EQ(read.type(), "Overlap");
  EXPECT_EQ(read.category(), "2");
  DataMessage wrongKinds;
  wrongKinds.setString("StartTime", "5");
  wrongKinds.setInt("Type", 3);
  ASSERT_TRUE(read.readFromMessage(&wrongKinds));
  EXPECT_EQ(read.startTime(), 0);
  EXPECT_TRUE(read.isEmpty());
}

}  // namespace
}  // namespace vornix
