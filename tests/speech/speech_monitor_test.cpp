// SpeechMonitor frame by frame through a port double: exact pitch sequences,
// times on a 20 ms frame grid, and the messages it posts. The host-level
// tests (tests/host/runtime_component_test.cpp) drive the same monitor
// through the real handle.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "runtime/data_message.h"
#include "speech/speech_monitor.h"
#include "speech/speech_port.h"

namespace vornix {
namespace {

struct Posted {
  std::string name;
  std::unique_ptr<DataMessage> message;
};

// Integer parameters from a map (missing: 0), posts and log lines recorded.
class RecordingPort final : public SpeechPort {
 public:
  std::map<std::string, std::int64_t> parameters;
  std::map<std::string, bool> flags;
  std::vector<Posted> posts;
  std::vector<std::string> lines;

  std::int64_t integerParameter(const char* name) override {
    const auto it = parameters.find(name);
    return it == parameters.end() ? 0 : it->second;
  }
  bool boolParameter(const char* name) override {
    const auto it = flags.find(name);
    return it != flags.end() && it->second;
  }
  int post(const char* postName, std::unique_ptr<DataMessage> message) override {
    posts.push_back(Posted{postName, std::move(message)});
    return 1;
  }
  void log(std::uint8_t, const std::string& line) override { lines.push_back(line); }
};

std::vector<std::string> entryNames(const DataMessage& m) {
  std::vector<std::string> names;
  m.forEachEntry([&](const EntryView& e) {
    names.emplace_back(e.name);
    return true;
  });
  return names;
}

bool hasEntry(const DataMessage& m, const char* name) {
  return m.findEntry(name) != nullptr;
}

std::vector<double> ringPitches(const DataMessage& m) {
  std::vector<double> values;
  const std::int64_t count = m.getInt("PitchCount");
  for (std::int64_t j = 0; j < count; ++j) values.push_back(m.getDouble(j, "pitchvalue"));
  return values;
}

std::vector<std::int64_t> ringTimes(const DataMessage& m) {
  std::vector<std::int64_t> times;
  const std::int64_t count = m.getInt("PitchCount");
  for (std::int64_t j = 0; j < count; ++j) times.push_back(m.getInt(j, "pitchtime"));
  return times;
}

class SpeechMonitorTest : public ::testing::Test {
 protected:
  static constexpr std::int64_t kStep = 20;  // ms between frames

  void SetUp() override {
    port_.parameters = {{"ModuleID", 7},
                        {"PitchMonitorWindow", 100},
                        {"PitchLowPass", 1000},
                        {"PitchHighPass", 0},
                        {"PitchDeltaConstraint", 1000},
                        {"PauseThreshold", 200},
                        {"SegmentIntervalThreshold", 100},
                        {"HumDurationThreshold", 100000},
                        {"HumPitchThreshold", 0},
                        {"SpeechOnDelay", 0}};
  }

  SpeechMonitor& monitor() {
    if (!monitor_) monitor_ = std::make_unique<SpeechMonitor>(port_);
    return *monitor_;
  }

  // One frame at the next grid time; returns the pitch as the monitor left it.
  double frame(double pitch, bool sound = true) {
    monitor().processFrame(now_, pitch, sound);
    now_ += kStep;
    return pitch;
  }
  void voiced(std::initializer_list<double> pitches) {
    for (const double p : pitches) frame(p);
  }
  void silent(int frames) {
    for (int i = 0; i < frames; ++i) frame(0.0, false);
  }
  std::vector<std::string> postNames() const {
    std::vector<std::string> names;
    for (const Posted& p : port_.posts) names.push_back(p.name);
    return names;
  }
  const DataMessage& last(const char* name) const {
    for (auto it = port_.posts.rbegin(); it != port_.posts.rend(); ++it) {
      if (it->name == name) return *it->message;
    }
    ADD_FAILURE() << "no " << name << " posted";
    static const DataMessage empty;
    return empty;
  }

  RecordingPort port_;
  std::unique_ptr<SpeechMonitor> monitor_;
  std::int64_t now_ = 1000;
};

using Names = std::vector<std::string>;

TEST_F(SpeechMonitorTest, UtteranceGivesOnOffPauseWithTheirEntries) {
  voiced({100, 110, 120});  // t = 1000, 1020, 1040
  silent(16);               // silence from 1060 to 1360
  ASSERT_EQ(postNames(), (Names{"SpeechOn", "SpeechOff", "SpeechPause"}));

  const DataMessage& on = *port_.posts[0].message;
  EXPECT_EQ(entryNames(on), (Names{"timestamp", "ModuleID"}));
  EXPECT_EQ(on.getInt("timestamp"), 1000);
  EXPECT_EQ(on.getInt("ModuleID"), 7);

  // SpeechOff: first silent frame 1060, posted at 1160 (100 ms later).
  const DataMessage& off = *port_.posts[1].message;
  EXPECT_EQ(off.getInt("timestamp"), 1060);
  EXPECT_EQ(off.getInt("PitchCollectionCount"), 3);
  EXPECT_EQ(off.getInt("PitchCount"), 3);
  EXPECT_EQ(ringPitches(off), (std::vector<double>{100, 110, 120}));
  EXPECT_EQ(ringTimes(off), (std::vector<std::int64_t>{1000, 1020, 1040}));
  EXPECT_EQ(off.getInt("Duration"), 40'000);
  EXPECT_STREQ(off.getString("PitchView"), "**o");
  EXPECT_DOUBLE_EQ(off.getDouble("pitch"), 120.0);
  EXPECT_EQ(off.getInt("pitchtimems"), 1040);
  EXPECT_EQ(off.getInt("ModuleID"), 7);
  EXPECT_FALSE(hasEntry(off, "hum"));
  EXPECT_FALSE(hasEntry(off, "speechNoPitch"));
  EXPECT_TRUE(port_.lines.empty()) << "PrintPitch is off";

  // SpeechPause: 200 ms after the SpeechOff frame (1160) -> 1360.
  const DataMessage& pause = *port_.posts[2].message;
  EXPECT_EQ(entryNames(pause), (Names{"timestamp", "ModuleID"}));
  EXPECT_EQ(pause.getInt("timestamp"), 1360);
  EXPECT_EQ(monitor().state(), SpeechMonitor::Silent);
}

TEST_F(SpeechMonitorTest, SpeechOnDelaySkipsFramesAndSilenceRefillsIt) {
  port_.parameters["SpeechOnDelay"] = 2;
  voiced({100, 100});  // 1000, 1020: skipped
  EXPECT_TRUE(port_.posts.empty());
  silent(1);           // 1040: refills the counter
  voiced({100, 100});  // 1060, 1080: skipped again
  EXPECT_TRUE(port_.posts.empty());
  voiced({101, 102});  // 1100 posts SpeechOn
  ASSERT_EQ(postNames(), (Names{"SpeechOn"}));
  EXPECT_EQ(port_.posts[0].message->getInt("timestamp"), 1100);
  silent(6);  // 1140 starts the gap; 1240 posts SpeechOff
  const DataMessage& off = last("SpeechOff");
  // Skipped frames are not recorded: the utterance starts at 1100.
  EXPECT_EQ(ringTimes(off), (std::vector<std::int64_t>{1100, 1120}));

  // A frame with sound right after the SpeechOff frame starts the next
  // utterance at once: only silence in Silent refills the counter.
  const std::int64_t start = now_;
  voiced({100});
  ASSERT_EQ(postNames(), (Names{"SpeechOn", "SpeechOff", "SpeechOn"}));
  EXPECT_EQ(port_.posts[2].message->getInt("timestamp"), start);
}

TEST_F(SpeechMonitorTest, GapsShorterThanTheSegmentIntervalStayInTheUtterance) {
  port_.parameters["SegmentIntervalThreshold"] = 500;
  port_.parameters["PauseThreshold"] = 100000;
  voiced({100, 100});  // 1000, 1020
  silent(15);          // 300 ms: 1040 .. 1320
  voiced({100});       // 1340
  EXPECT_EQ(postNames(), (Names{"SpeechOn"}));
  EXPECT_EQ(monitor().state(), SpeechMonitor::Speaking);

  const std::int64_t gapStart = now_;  // 1360
  silent(25);                          // the 26th frame would be 500 ms in
  EXPECT_EQ(postNames(), (Names{"SpeechOn"}));
  silent(1);  // 1360 + 500: reaches the threshold
  ASSERT_EQ(postNames(), (Names{"SpeechOn", "SpeechOff"}));
  const DataMessage& off = last("SpeechOff");
  EXPECT_EQ(off.getInt("timestamp"), gapStart);
  EXPECT_EQ(off.getInt("PitchCount"), 3);  // the short gap left no entries
  EXPECT_EQ(ringTimes(off), (std::vector<std::int64_t>{1000, 1020, 1340}));
}

TEST_F(SpeechMonitorTest, CeilingAndLargestStepLimitThePitch) {
  port_.parameters["PitchLowPass"] = 300;
  port_.parameters["PitchDeltaConstraint"] = 20;
  port_.parameters["PitchHighPass"] = 50;
  EXPECT_DOUBLE_EQ(frame(400), 300.0);  // the ceiling; first frame not step-limited
  EXPECT_DOUBLE_EQ(frame(100), 280.0);  // at most 20 below 300
  port_.parameters["PitchDeltaConstraint"] = 1000;
  EXPECT_DOUBLE_EQ(frame(100), 100.0);
  port_.parameters["PitchDeltaConstraint"] = 20;  // parameters apply from the next frame
  EXPECT_DOUBLE_EQ(frame(150), 120.0);
  EXPECT_DOUBLE_EQ(frame(60), 100.0);  // previous is 120 now
  EXPECT_DOUBLE_EQ(frame(60), 80.0);
  // At or below the floor: not step-limited, stored as 0.0, and the step
  // limit keeps referring to the last pitch above the floor (80).
  EXPECT_DOUBLE_EQ(frame(50), 50.0);
  EXPECT_DOUBLE_EQ(frame(150), 100.0);
  silent(6);
  const DataMessage& off = last("SpeechOff");
  EXPECT_EQ(ringPitches(off), (std::vector<double>{300, 280, 100, 120, 100, 80, 0, 100}));

  // The next utterance's first frame is not limited by the last one.
  const std::size_t before = port_.posts.size();
  EXPECT_DOUBLE_EQ(frame(200), 200.0);
  EXPECT_EQ(port_.posts.size(), before + 1);
}

TEST_F(SpeechMonitorTest, PitchAtOrBelowTheFloorShowsAsNoPitchButKeepsItsEntry) {
  port_.parameters["PitchHighPass"] = 60;
  voiced({100, 60, 40});
  silent(6);
  const DataMessage& off = last("SpeechOff");
  EXPECT_EQ(ringPitches(off), (std::vector<double>{100, 0, 0}));
  EXPECT_STREQ(off.getString("PitchView"), "*__");
  EXPECT_DOUBLE_EQ(off.getDouble("pitch"), 40.0);
  EXPECT_FALSE(hasEntry(off, "speechNoPitch")) << "the tracker did give a pitch";
}

TEST_F(SpeechMonitorTest, MissingCeilingZeroesEveryPitchButIsNotNoPitch) {
  port_.parameters.erase("PitchLowPass");
  EXPECT_DOUBLE_EQ(frame(120), 0.0);
  EXPECT_DOUBLE_EQ(frame(130), 0.0);
  silent(6);
  const DataMessage& off = last("SpeechOff");
  EXPECT_STREQ(off.getString("PitchView"), "__");
  EXPECT_FALSE(hasEntry(off, "speechNoPitch"));
  EXPECT_FALSE(hasEntry(off, "hum"));
}

TEST_F(SpeechMonitorTest, SoundWithoutPitchIsMarkedWhereItChanges) {
  voiced({100, 0, 0});  // the tracker found sound but no pitch
  const std::int64_t backToPitch = now_;
  voiced({100});
  silent(6);
  const DataMessage& off = last("SpeechOff");
  // Set to 1 at the second frame, then back to 0 at the fourth; the latest write wins.
  EXPECT_EQ(off.getInt("speechNoPitch"), 0);
  EXPECT_EQ(off.getInt("pitchtimems"), backToPitch);
  EXPECT_STREQ(off.getString("PitchView"), "*__*");

  // Ending on a no-pitch frame: the first silent frame only starts the gap
  // and writes nothing, and later silent frames see no further change, so
  // the utterance keeps the 1 it last recorded.
  voiced({100, 0});
  const std::int64_t gap = now_;
  silent(6);
  const DataMessage& second = last("SpeechOff");
  EXPECT_EQ(second.getInt("speechNoPitch"), 1);
  EXPECT_EQ(second.getInt("timestamp"), gap);
}

TEST_F(SpeechMonitorTest, RingOfFourAfterSixFramesListsTheLastFourOldestFirst) {
  port_.parameters["PitchMonitorWindow"] = 4;
  voiced({10, 20, 30, 40, 50, 60});  // 1000 .. 1100
  silent(6);
  const DataMessage& off = last("SpeechOff");
  EXPECT_EQ(off.getInt("PitchCollectionCount"), 4);
  EXPECT_EQ(off.getInt("PitchCount"), 4);
  EXPECT_EQ(ringPitches(off), (std::vector<double>{30, 40, 50, 60}));
  EXPECT_EQ(ringTimes(off), (std::vector<std::int64_t>{1040, 1060, 1080, 1100}));
  EXPECT_EQ(off.getInt("Duration"), 60'000);
  EXPECT_FALSE(hasEntry(off, DataMessage::indexedName("pitchvalue", 4).c_str()));

  // Exactly full, no wrap: four frames list all four.
  voiced({70, 80, 90, 100});
  silent(6);
  EXPECT_EQ(ringPitches(last("SpeechOff")), (std::vector<double>{70, 80, 90, 100}));
}

TEST_F(SpeechMonitorTest, PitchViewHasOneCharacterPerRangeAndLogsWhenAsked) {
  port_.flags["PrintPitch"] = true;
  voiced({0, 10, 45, 75, 100, 130, 200});
  silent(6);
  const DataMessage& off = last("SpeechOff");
  EXPECT_STREQ(off.getString("PitchView"),
               "_.:|*o"
               "O");
  ASSERT_EQ(port_.lines.size(), 1U);
  EXPECT_EQ(port_.lines[0], "Pitch View: _.:|*oO [120]");

  const double edges[] = {4.999, 5, 29.999, 30, 59.999, 60, 89.999, 90, 119.999, 120, 149.999, 150};
  std::string view;
  for (const double p : edges) view.push_back(SpeechMonitor::viewCharacter(p));
  EXPECT_EQ(view, "_..::||**ooO");
}

TEST_F(SpeechMonitorTest, SteadyPitchBecomesAHumAtTheDurationAndEndsOnAStep) {
  port_.parameters["HumPitchThreshold"] = 2;
  port_.parameters["HumDurationThreshold"] = 100;
  // SpeechOn, a step to 300, then pitches alternating 151/150: tracking
  // starts at the second steady frame, and the hum is reached 100 ms (five
  // frames) later, at the seventh. The seventh silent frame is the first in
  // Silent, which clears the hum before the next utterance.
  const auto utterance = [&](int steadyFrames, std::initializer_list<double> tail) {
    voiced({100, 300});
    for (int i = 0; i < steadyFrames; ++i) frame(i % 2 == 0 ? 151 : 150);
    for (const double p : tail) frame(p);
    silent(7);
    return &last("SpeechOff");
  };
  EXPECT_FALSE(hasEntry(*utterance(6, {}), "hum")) << "one frame short of the duration";
  EXPECT_EQ(utterance(7, {})->getInt("hum"), 1);
  EXPECT_EQ(utterance(7, {160})->getInt("hum"), 0) << "a step larger than the threshold ends it";
  EXPECT_EQ(utterance(7, {0})->getInt("hum"), 0) << "a frame without pitch ends it";
  // Silence cleared the hum without a "hum" entry; the next utterance needs
  // the full duration again.
  EXPECT_FALSE(hasEntry(*utterance(6, {}), "hum"));
}

TEST_F(SpeechMonitorTest, HumFollowsFrameToFrameStepsNotTheStartPitch) {
  port_.parameters["HumPitchThreshold"] = 2;
  port_.parameters["HumDurationThreshold"] = 100;
  // A slow glide of 2 per frame stays a hum although it ends 16 away.
  voiced({100, 104, 106, 108, 110, 112, 114, 116, 118, 120});
  silent(6);
  EXPECT_EQ(last("SpeechOff").getInt("hum"), 1);
}

TEST_F(SpeechMonitorTest, WindowBelowOneIsRaisedToOneAndLoggedOnce) {
  port_.parameters["PitchMonitorWindow"] = 0;
  EXPECT_EQ(monitor().monitorWindow(), 1U);
  ASSERT_EQ(port_.lines.size(), 1U);
  EXPECT_NE(port_.lines[0].find("PitchMonitorWindow"), std::string::npos);
  voiced({100, 110, 120});
  silent(6);
  voiced({90});
  silent(6);
  EXPECT_EQ(port_.lines.size(), 1U);
  const DataMessage& off = last("SpeechOff");
  EXPECT_EQ(off.getInt("PitchCount"), 1);
  EXPECT_EQ(ringPitches(off), (std::vector<double>{90}));
  EXPECT_EQ(ringPitches(*port_.posts[1].message), (std::vector<double>{120}));

  RecordingPort negative;
  negative.parameters["PitchMonitorWindow"] = -5;
  EXPECT_EQ(SpeechMonitor(negative).monitorWindow(), 1U);
}

TEST_F(SpeechMonitorTest, PostsGoThroughTheLatestPort) {
  voiced({100});
  RecordingPort next;
  next.parameters = port_.parameters;
  next.parameters["ModuleID"] = 9;  // read at construction only
  monitor().setPort(next);
  silent(6);
  EXPECT_EQ(port_.posts.size(), 1U);
  ASSERT_EQ(next.posts.size(), 1U);
  EXPECT_EQ(next.posts[0].name, "SpeechOff");
  EXPECT_EQ(next.posts[0].message->getInt("ModuleID"), 7);
}

}  // namespace
}  // namespace vornix
