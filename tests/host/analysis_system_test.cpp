// The library's analysis components end to end through the host stand-in on
// the simulated clock: the host injects speech events shaped as the speech
// monitor posts them (and other messages), the components run on their own
// threads behind real handles, and a sink sees what they post.
//
// AnalyzeTwo keeps its floor state and speakers for the life of the process,
// so its scenarios run in a fresh process (see system_scenario.h), as does
// the one that needs the library's clock as at load.
#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/system.h"
#include "system_scenario.h"

namespace vornix::testing {
namespace {

using host::SinkRecord;
using host::System;
using Names = std::vector<std::string>;

// Standard-output lines that contain `needle`, in order.
std::vector<std::string> linesWith(const std::string& text, const std::string& needle) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.find(needle) != std::string::npos) out.push_back(line);
  }
  return out;
}

// ---- AnalyzeSingle ----

constexpr const char* kSingleSystem = R"(
[[components]]
name = "single"
entry = "AnalyzeSingle"
[[components.triggers]]
name = "SpeechOn"
type = "Speech.On"
[[components.triggers]]
name = "SpeechOff"
type = "Speech.Off"
posts = [ { name = "Analysis", type = "Analysis.Turn" } ]

[[components]]
name = "out"
entry = "sink"
[[components.triggers]]
name = "Analysis"
type = "Analysis.*"
)";

TEST(AnalysisSystem, SingleSpeakerTurnsGiveTheWorkedSummaryAndAPooledMean) {
  SinkLog log;
  std::unique_ptr<System> system = startSystem(kSingleSystem, log);
  ASSERT_NE(system, nullptr);
  const MessageType on = system->type("Speech.On");
  const MessageType off = system->type("Speech.Off");

  // Turn 1: the worked example, 100, 120, 110, 90 at 1000, 1100, 1200, 1250.
  system->inject(speechEvent(on, 1000, 1));
  ASSERT_TRUE(system->settle());
  const Sample first[] = {{100, 1000}, {120, 1100}, {110, 1200}, {90, 1250}};
  system->inject(speechOff(off, 1273, first, 1));
  ASSERT_TRUE(system->settle());
  // Turn 2 ends at its own mean 130, more than 10 above the pooled mean.
  const Sample second[] = {{130, 2000}, {130, 2023}, {130, 2046}, {130, 2069}};
  system->inject(speechOff(off, 2092, second, 1));
  ASSERT_TRUE(system->settle());
  // No positive pitch: nothing is posted and the mean stays.
  const Sample unvoiced[] = {{0, 3000}, {0, 3023}};
  system->inject(speechOff(off, 3046, unvoiced, 1));
  ASSERT_TRUE(system->settle());
  system->stop();
  EXPECT_EQ(system->errorLines(), 0U);

  const std::vector<SinkRecord> records = log.all();
  ASSERT_EQ(records.size(), 2U);
  const SinkRecord& r = records[0];
  EXPECT_EQ(r.sender, "single");
  EXPECT_EQ(r.postName, "Analysis");
  EXPECT_EQ(r.typeName, "Analysis.Turn");
  // The speech monitor writes "ModuleID" as an integer: no "ModuleID" follows.
  EXPECT_EQ(entryNames(r.message),
            (Names{"ObjectName", "Timestamp", "Vector", "Average", "Slope", "EndValue",
                   "EndTimestamp", "StartValue", "StartTimestamp", "MaxValue", "MaxOffset",
                   "MaxTimestamp", "MinValue", "MinOffset", "MinTimestamp"}));
  const DataMessage& m = r.message;
  EXPECT_STREQ(m.getString("ObjectName"), "Analysis");
  EXPECT_EQ(m.getInt("Timestamp"), 1273);
  EXPECT_STREQ(m.getString("Vector"), "Down_Below");
  EXPECT_DOUBLE_EQ(m.getDouble("Average"), 105.0);
  EXPECT_DOUBLE_EQ(m.getDouble("Slope"), 2.0);
  EXPECT_EQ(m.getInt("EndValue"), 90);
  EXPECT_EQ(m.getInt("EndTimestamp"), 1250);
  EXPECT_EQ(m.getInt("StartValue"), 120);
  EXPECT_EQ(m.getInt("StartTimestamp"), 1100);
  EXPECT_EQ(m.getInt("MaxValue"), 120);
  EXPECT_EQ(m.getInt("MaxOffset"), 15);
  EXPECT_EQ(m.getInt("MaxTimestamp"), 1100);
  EXPECT_EQ(m.getInt("MinValue"), 90);
  EXPECT_EQ(m.getInt("MinOffset"), 0);
  EXPECT_EQ(m.getInt("MinTimestamp"), 1250);

  const DataMessage& m2 = records[1].message;
  EXPECT_EQ(m2.getInt("Timestamp"), 2092);
  EXPECT_DOUBLE_EQ(m2.getDouble("Average"), 117.5);  // (4 x 105 + 4 x 130) / 8
  EXPECT_STREQ(m2.getString("Vector"), "Straight_Above");
}

// ---- AnalyzeTwo ----

constexpr const char* kTwoSystem = R"(
[[components]]
name = "two"
entry = "AnalyzeTwo"
[[components.triggers]]
name = "SpeechOn"
type = "Speech.On"
posts = [ { name = "PitchOverlappingStart", type = "Floor.OverlapStart" },
          { name = "PitchOverlappingStop", type = "Floor.OverlapStop" },
          { name = "PitchSilenceStart", type = "Floor.SilenceStart" },
          { name = "PitchSilenceStop", type = "Floor.SilenceStop" } ]
[[components.triggers]]
name = "SpeechOff"
type = "Speech.Off"
posts = [ { name = "PitchOverlappingStart", type = "Floor.OverlapStart" },
          { name = "PitchOverlappingStop", type = "Floor.OverlapStop" },
          { name = "PitchSilenceStart", type = "Floor.SilenceStart" },
          { name = "PitchSilenceStop", type = "Floor.SilenceStop" } ]
[[components.triggers]]
name = "SpeechPause"
type = "Speech.Pause"
posts = [ { name = "PitchOverlappingStart", type = "Floor.OverlapStart" },
          { name = "PitchOverlappingStop", type = "Floor.OverlapStop" },
          { name = "PitchSilenceStart", type = "Floor.SilenceStart" },
          { name = "PitchSilenceStop", type = "Floor.SilenceStop" } ]

[[components]]
name = "out"
entry = "sink"
[[components.triggers]]
name = "Floor"
type = "Floor.*"
)";

void expectSegment(const SinkRecord& r, const char* postName, const Names& names,
                   const char* category, std::int64_t start, std::int64_t end) {
  SCOPED_TRACE(postName);
  EXPECT_EQ(r.sender, "two");
  EXPECT_EQ(r.postName, postName);
  EXPECT_EQ(entryNames(r.message), names);
  EXPECT_STREQ(r.message.getString("ObjectName"), "Segment");
  EXPECT_STREQ(r.message.getString("Category"), category);
  EXPECT_EQ(r.message.getInt("StartTime"), start);
  EXPECT_EQ(r.message.getInt("EndTime"), end);
  EXPECT_EQ(r.message.getInt("Timestamp"), end);
}

void twoSpeakerTableScenario() {
  ::testing::internal::CaptureStdout();
  SinkLog log;
  std::unique_ptr<System> system = startSystem(kTwoSystem, log);
  ASSERT_NE(system, nullptr);
  const MessageType on = system->type("Speech.On");
  const MessageType off = system->type("Speech.Off");
  const MessageType pause = system->type("Speech.Pause");
  const Sample voiced[] = {{110, 0}, {112, 23}};

  system->inject(speechEvent(on, 1000, 1));
  ASSERT_TRUE(system->settle());
  EXPECT_EQ(log.size(), 0U);  // nothing: no open segment at load
  system->inject(speechEvent(on, 1400, 2));
  ASSERT_TRUE(system->settle());
  system->inject(speechOff(off, 1900, voiced, 2));
  ASSERT_TRUE(system->settle());
  system->inject(speechOff(off, 2500, voiced, 1));
  ASSERT_TRUE(system->settle());
  system->inject(speechEvent(on, 3100, 2));
  ASSERT_TRUE(system->settle());
  // A pause of a speaker who is already off changes nothing.
  system->inject(speechEvent(pause, 3600, 1));
  ASSERT_TRUE(system->settle());
  EXPECT_EQ(log.size(), 4U);
  // The same speaker resuming after a silence: " within".
  system->inject(speechOff(off, 4000, voiced, 2));
  ASSERT_TRUE(system->settle());
  system->inject(speechEvent(on, 4600, 2));
  ASSERT_TRUE(system->settle());
  system->stop();
  EXPECT_EQ(system->errorLines(), 0U);
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(linesWith(out, "AnalyzeTwo Exit").size(), 1U);

  const std::vector<SinkRecord> records = log.all();
  ASSERT_EQ(records.size(), 6U);
  const Names segment = {"ObjectName", "Type", "Category", "StartTime", "EndTime", "Timestamp"};
  Names categoryFirst = {"Category"};
  categoryFirst.insert(categoryFirst.end(), segment.begin(), segment.end());
  // The second "Category" write replaces the first in place.
  categoryFirst.erase(categoryFirst.begin() + 3);
  expectSegment(records[0], "PitchOverlappingStart", categoryFirst, "2", 1400, 1400);
  EXPECT_STREQ(records[0].message.getString("Type"), "Overlap");
  expectSegment(records[1], "PitchOverlappingStop", segment, "2Overlap", 1400, 1900);
  EXPECT_STREQ(records[1].message.getString("Type"), "Overlap");
  EXPECT_EQ(records[2].postName, "PitchSilenceStart");
  EXPECT_EQ(entryNames(records[2].message), Names{"Timestamp"});
  EXPECT_EQ(records[2].message.getInt("Timestamp"), 2500);
  expectSegment(records[3], "PitchSilenceStop", segment, "1 giving", 2500, 3100);
  EXPECT_STREQ(records[3].message.getString("Type"), "Silence");
  EXPECT_EQ(records[4].postName, "PitchSilenceStart");
  EXPECT_EQ(records[4].message.getInt("Timestamp"), 4000);
  expectSegment(records[5], "PitchSilenceStop", segment, "2 within", 4000, 4600);
}

TEST(AnalysisSystem, TwoSpeakerEventsGiveTheOverlapAndSilencePosts) {
  expectInFreshProcess(twoSpeakerTableScenario);
}

// A later run of AnalyzeTwo in the same process starts from the floor state
// and speakers the earlier run left, with no open segment.
void floorCarriesOverScenario() {
  ::testing::internal::CaptureStdout();
  for (int run = 0; run < 2; ++run) {
    SinkLog log;
    std::unique_ptr<System> system = startSystem(kTwoSystem, log);
    ASSERT_NE(system, nullptr);
    const MessageType on = system->type("Speech.On");
    if (run == 0) {
      system->inject(speechEvent(on, 1000, 1));  // speaker 1 holds the floor
      ASSERT_TRUE(system->settle());
      system->stop();
      EXPECT_EQ(log.size(), 0U);
      continue;
    }
    system->inject(speechEvent(on, 5000, 2));  // joins speaker 1 of the first run
    ASSERT_TRUE(system->settle());
    system->stop();
    const std::vector<SinkRecord> records = log.all();
    ASSERT_EQ(records.size(), 1U);
    expectSegment(records[0], "PitchOverlappingStart",
                  Names{"Category", "ObjectName", "Type", "StartTime", "EndTime", "Timestamp"}, "2",
                  5000, 5000);
  }
  EXPECT_EQ(linesWith(::testing::internal::GetCapturedStdout(), "AnalyzeTwo Exit").size(), 2U);
}

TEST(AnalysisSystem, TwoSpeakerFloorCarriesOverToTheNextRun) {
  expectInFreshProcess(floorCarriesOverScenario);
}

// ---- AnalyzeSingleContinuous ----

constexpr const char* kContinuousSystem = R"(
[[components]]
name = "continuous"
entry = "AnalyzeSingleContinuous"
[[components.triggers]]
name = "Speaking"
type = "Speech.Frame"
posts = [ { name = "Analysis", type = "Analysis.Stream" } ]
[[components.triggers]]
name = "SpeechOn"
type = "Speech.On"
posts = [ { name = "Analysis", type = "Analysis.Stream" } ]
[[components.triggers]]
name = "SpeechOff"
type = "Speech.Off"
posts = [ { name = "Analysis", type = "Analysis.Stream" } ]

[[components]]
name = "out"
entry = "sink"
[[components.triggers]]
name = "Analysis"
type = "Analysis.*"
)";

std::unique_ptr<DataMessage> pitchSample(const MessageType& type, std::int64_t pitch,
                                         std::int64_t time, const char* moduleId) {
  auto message = std::make_unique<DataMessage>();
  message->setType(type);
  message->setInt("pitch", pitch);
  message->setInt("time", time);
  message->setString("ModuleID", moduleId);
  return message;
}

TEST(AnalysisSystem, ContinuousSummaryFollowsAStopAndAQuietWait) {
  ::testing::internal::CaptureStdout();
  SinkLog log;
  std::unique_ptr<System> system = startSystem(kContinuousSystem, log);
  ASSERT_NE(system, nullptr);
  const MessageType frame = system->type("Speech.Frame");
  const MessageType off = system->type("Speech.Off");
  const Sample voiced[] = {{120, 1000}, {118, 1023}};

  system->inject(pitchSample(frame, 120, 1000, "7"));
  ASSERT_TRUE(system->settle());
  // Quiet waits while active send nothing.
  system->advanceTo(system->now() + 30'000);
  ASSERT_TRUE(system->settle());
  EXPECT_EQ(log.size(), 0U);
  // The speech monitor's "SpeechOff" has an integer "ModuleID": the table's
  // module id becomes empty. The summary follows a wait that ends without a
  // message: on the simulated clock that is the first advance past the
  // component's 1 ms time-out, never earlier.
  system->inject(speechOff(off, 1046, voiced, 7));
  ASSERT_TRUE(system->settle());
  EXPECT_EQ(log.size(), 0U);
  system->advanceTo(system->now() + 999);
  ASSERT_TRUE(system->settle());
  EXPECT_EQ(log.size(), 0U);
  system->advanceTo(system->now() + 1);
  ASSERT_TRUE(system->settle());
  EXPECT_EQ(log.size(), 1U);

  // Second turn: an off message with a text "ModuleID" names it.
  system->inject(pitchSample(frame, 95, 2000, "7"));
  ASSERT_TRUE(system->settle());
  auto textOff = std::make_unique<DataMessage>();
  textOff->setType(off);
  textOff->setString("ModuleID", "7");
  system->inject(std::move(textOff));
  ASSERT_TRUE(system->settle());
  EXPECT_EQ(log.size(), 1U);
  system->advanceTo(system->now() + 5'000);
  ASSERT_TRUE(system->settle());
  EXPECT_EQ(log.size(), 2U);
  system->stop();
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(system->errorLines(), 0U);

  const std::vector<SinkRecord> records = log.all();
  ASSERT_EQ(records.size(), 2U);
  const Names names = {"ID", "ObjectName", "Timestamp", "Vector", "Average", "Slope", "A"};
  for (const SinkRecord& r : records) {
    EXPECT_EQ(r.sender, "continuous");
    EXPECT_EQ(r.postName, "Analysis");
    EXPECT_EQ(entryNames(r.message), names);
    EXPECT_STREQ(r.message.getString("ObjectName"), "Analysis");
    EXPECT_EQ(r.message.getInt("Timestamp"), 0);
    EXPECT_STREQ(r.message.getString("Vector"), "");
    EXPECT_EQ(r.message.getDouble("Average"), 0.0);
    EXPECT_EQ(r.message.getDouble("Slope"), 0.0);
    EXPECT_EQ(r.message.getInt("A"), 0);
  }
  EXPECT_STREQ(records[0].message.getString("ID"), "");
  EXPECT_STREQ(records[1].message.getString("ID"), "7");
  EXPECT_EQ(linesWith(out, "**OFF**").size(), 2U);
  EXPECT_EQ(linesWith(out, "SEND ANALYSIS******").size(), 2U);
}

// ---- PitchTrackerDetector ----

constexpr const char* kDetectorSystem = R"(
[[components]]
name = "detector"
entry = "PitchTrackerDetector"
[components.parameters]
Threshold = 0.5
[[components.triggers]]
name = "AudioFrame"
type = "Audio.Frame"
posts = [ { name = "SpeakerChange", type = "Speaker.Change" } ]
[[components.triggers]]
name = "SpeechOn"
type = "Speech.On"
posts = [ { name = "SpeechOn", type = "Tagged.On" } ]
[[components.triggers]]
name = "AudioFrameCopy"
type = "Audio.Copy"
posts = [ { name = "AudioFrameCopy", type = "Tagged.Copy" } ]

[[components]]
name = "out"
entry = "sink"
[[components.triggers]]
name = "Speaker"
type = "Speaker.*"
[[components.triggers]]
name = "Tagged"
type = "Tagged.*"
)";

std::unique_ptr<DataMessage> metadataFrame(const MessageType& type, double metadata) {
  auto message = std::make_unique<DataMessage>();
  message->setType(type);
  const std::vector<std::uint8_t> samples(64, 0);
  message->setData("AudioDataFrame", samples);
  message->setDouble("Metadata", metadata);
  return message;
}

TEST(AnalysisSystem, DetectorAnnouncesSpeakerChangesAndTagsForwardedCopies) {
  SinkLog log;
  std::unique_ptr<System> system = startSystem(kDetectorSystem, log);
  ASSERT_NE(system, nullptr);
  const MessageType frame = system->type("Audio.Frame");
  const MessageType copyType = system->type("Audio.Copy");
  const MessageType on = system->type("Speech.On");

  auto step = [&](std::unique_ptr<DataMessage> message) {
    system->inject(std::move(message));
    return system->settle();
  };
  ASSERT_TRUE(step(speechEvent(on, 500, 1)));     // speaker unknown: no tag
  ASSERT_TRUE(step(metadataFrame(frame, 0.2)));   // 0.5 > 0.2: speaker 1
  ASSERT_TRUE(step(metadataFrame(frame, -0.3)));  // still 1: nothing
  auto tagged = speechEvent(on, 900, 2);
  tagged->setInt("CurrentSpeaker", 9);
  ASSERT_TRUE(step(std::move(tagged)));           // forwarded with 1
  ASSERT_TRUE(step(metadataFrame(frame, -0.5)));  // |v| = threshold: speaker 2
  auto integerMetadata = metadataFrame(frame, 0.0);
  integerMetadata->setInt("Metadata", 0);
  ASSERT_TRUE(step(std::move(integerMetadata)));    // not a double: nothing
  ASSERT_TRUE(step(metadataFrame(copyType, 0.1)));  // not "AudioFrame": forwarded
  ASSERT_TRUE(step(metadataFrame(frame, std::numeric_limits<double>::quiet_NaN())));  // 2
  ASSERT_TRUE(step(metadataFrame(frame, 0.1)));                                       // speaker 1
  system->stop();
  EXPECT_EQ(system->errorLines(), 0U);

  const std::vector<SinkRecord> records = log.all();
  ASSERT_EQ(records.size(), 6U);
  for (const SinkRecord& r : records) EXPECT_EQ(r.sender, "detector");

  EXPECT_EQ(records[0].postName, "SpeechOn");
  EXPECT_EQ(records[0].typeName, "Tagged.On");
  EXPECT_EQ(entryNames(records[0].message), (Names{"timestamp", "ModuleID"}));
  EXPECT_EQ(records[0].message.getInt("timestamp"), 500);
  EXPECT_EQ(records[0].message.getCreatedTime(), kSystemOrigin);

  const auto expectChange = [](const SinkRecord& r, std::int64_t speaker) {
    EXPECT_EQ(r.postName, "SpeakerChange");
    EXPECT_EQ(r.typeName, "Speaker.Change");
    EXPECT_EQ(entryNames(r.message), Names{"CurrentSpeaker"});
    EXPECT_EQ(r.message.getInt("CurrentSpeaker"), speaker);
  };
  expectChange(records[1], 1);
  EXPECT_EQ(records[2].postName, "SpeechOn");
  EXPECT_EQ(records[2].message.getInt("timestamp"), 900);
  EXPECT_EQ(records[2].message.getInt("CurrentSpeaker"), 1);
  expectChange(records[3], 2);
  EXPECT_EQ(records[4].postName, "AudioFrameCopy");
  EXPECT_EQ(records[4].typeName, "Tagged.Copy");
  EXPECT_EQ(records[4].message.getInt("CurrentSpeaker"), 2);
  EXPECT_DOUBLE_EQ(records[4].message.getDouble("Metadata"), 0.1);
  expectChange(records[5], 1);
}

// ---- Test (latency probe) ----

constexpr const char* kProbeSystem = R"(
[[components]]
name = "probe"
entry = "Test"
[components.parameters]
ModuleID = 3
[[components.triggers]]
name = "Startup"
type = "Host.Startup"
[[components.triggers]]
name = "Ping"
type = "Probe.Ping"
)";

TEST(AnalysisSystem, LatencyProbePrintsTypeNamesAndBothLatencies) {
  ::testing::internal::CaptureStdout();
  SinkLog log;
  std::unique_ptr<System> system = startSystem(kProbeSystem, log);
  ASSERT_NE(system, nullptr);
  const MessageType ping = system->type("Probe.Ping");
  const MessageType startup = system->type("Host.Startup");
  system->advanceTo(kSystemOrigin + 1'000'000);
  const Micros now = system->now();

  auto message = [](const MessageType& type, std::int64_t latency, Micros created) {
    auto m = std::make_unique<DataMessage>();
    m->setType(type);
    m->setInt("latency", latency);
    m->setCreatedTime(created);
    return m;
  };
  system->inject(message(ping, 40, now - 12'000));  // created 12 ms ago
  ASSERT_TRUE(system->settle());
  system->inject(message(startup, 7, now - 1'000));  // "Startup" prints nothing
  ASSERT_TRUE(system->settle());
  system->inject(message(ping, 5, now + 5'999));  // clock skew: negative
  ASSERT_TRUE(system->settle());
  auto bare = std::make_unique<DataMessage>();  // no creation time, no latency
  bare->setType(ping);
  bare->setCreatedTime(0);
  system->inject(std::move(bare));
  ASSERT_TRUE(system->settle());
  system->inject(message(ping, -1, now));  // low 32 bits, unsigned
  ASSERT_TRUE(system->settle());
  system->stop();
  const std::string out = ::testing::internal::GetCapturedStdout();

  std::vector<std::string> lines = linesWith(out, "latency");
  const std::vector<std::string> idLines = linesWith(out, ">> ");
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Probe.Ping: sampling latency: 40 routing latency: 12",
                       "Probe.Ping: sampling latency: 5 routing latency: -5",
                       "Probe.Ping: sampling latency: 0 routing latency: 0",
                       "Probe.Ping: sampling latency: 4294967295 routing latency: 0",
                   }));
  EXPECT_EQ(idLines, std::vector<std::string>(4, "3>> "));
  // Each latency line is followed at once by its id line.
  EXPECT_NE(out.find("routing latency: 12\n3>> \n"), std::string::npos);
  EXPECT_EQ(log.size(), 0U);
}

// Regression: the library kept following the simulated clock of a system
// that had been destroyed, so a later real-time system in the same process
// read a freed clock.
void realClockAfterSimulatedScenario() {
  {
    SinkLog log;
    std::unique_ptr<System> simulated = startSystem(kProbeSystem, log);
    ASSERT_NE(simulated, nullptr);
    ASSERT_TRUE(simulated->settle());
    simulated->stop();
  }
  host::ConfigResult parsed = host::parseConfig(kProbeSystem, "probe.toml");
  ASSERT_TRUE(std::holds_alternative<host::SystemConfig>(parsed));
  std::string error;
  std::unique_ptr<System> real =
      System::create(std::get<host::SystemConfig>(parsed), host::SystemOptions{}, error);
  ASSERT_NE(real, nullptr) << error;
  ::testing::internal::CaptureStdout();
  ASSERT_TRUE(real->start());
  auto ping = std::make_unique<DataMessage>();  // created now, on the real clock
  ping->setType(real->type("Probe.Ping"));
  real->inject(std::move(ping));
  EXPECT_TRUE(real->settle());
  real->stop();
  const std::vector<std::string> lines =
      linesWith(::testing::internal::GetCapturedStdout(), "routing latency: ");
  ASSERT_EQ(lines.size(), 1U);
  const long long routing = std::stoll(lines[0].substr(lines[0].find("routing latency: ") + 17));
  EXPECT_GE(routing, 0);
  EXPECT_LT(routing, 5000);
}

TEST(AnalysisSystem, RealTimeSystemAfterASimulatedOneUsesTheRealClock) {
  expectInFreshProcess(realClockAfterSimulatedScenario);
}

}  // namespace
}  // namespace vornix::testing
