// Speech detection chained into conversation analysis through the host
// stand-in on the simulated clock: two Runtime components, one per channel of
// generated two-speaker audio, feed an AnalyzeSingle per speaker and one
// AnalyzeTwo, and a sink sees every speech event and every analysis post.
//
// The audio: tone bursts per channel with a planned overlap, a silence that
// another speaker ends (" giving") and one that the same speaker ends
// (" within"). Each channel's frame is addressed to its own Runtime and the
// system settles after each one, in channel order, so that the order of
// events is the same on every run.
//
// The Runtime state and the analysis state live in the loaded library for
// the whole process and carry over from run to run (by design): the
// scenario runs in a fresh process (see system_scenario.h).
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "host/system.h"
#include "system_scenario.h"
#include "test_audio.h"

namespace vornix::testing {
namespace {

using host::SinkRecord;
using host::System;

// Per channel: the Runtime's speech parameters and its three posts, typed by
// speaker ("Left.Speech.On", ...) so that each speaker's single-speaker
// analysis gets only that speaker's turns.
std::string speechComponent(const std::string& name, int moduleId, const std::string& level) {
  return "[[components]]\nname = \"" + name + "\"\nentry = \"Runtime\"\n" +
         "[components.parameters]\nBufferSize = 1024\nSamplingFrequency = 44100\n"
         "AmplitudeThreshold = 0.75\nNoiseThreshold = 5.0\nModuleID = " +
         std::to_string(moduleId) +
         "\nPitchMonitorWindow = 200\nPitchLowPass = 400\nPitchHighPass = 30\n"
         "PitchDeltaConstraint = 50\nPauseThreshold = 500\nSegmentIntervalThreshold = 300\n"
         "HumDurationThreshold = 2000\nHumPitchThreshold = 2\nSpeechOnDelay = 0\n"
         "[[components.triggers]]\nname = \"AudioFrame\"\ntype = \"Audio.Frame\"\n"
         "posts = [ { name = \"SpeechOn\", type = \"" +
         level + ".Speech.On\" },\n          { name = \"SpeechOff\", type = \"" + level +
         ".Speech.Off\" },\n          { name = \"SpeechPause\", type = \"" + level +
         ".Speech.Pause\" } ]\n\n";
}

std::string singleComponent(const std::string& name, const std::string& level) {
  return "[[components]]\nname = \"" + name + "\"\nentry = \"AnalyzeSingle\"\n" +
         "[[components.triggers]]\nname = \"SpeechOff\"\ntype = \"" + level + ".Speech.Off\"\n" +
         "posts = [ { name = \"Analysis\", type = \"Analysis." + level + "\" } ]\n\n";
}

// AnalyzeTwo hears every speaker's events ("*" is one level); each of its
// triggers carries the four floor posts.
std::string floorComponent() {
  std::string text = "[[components]]\nname = \"two\"\nentry = \"AnalyzeTwo\"\n";
  for (const char* event : {"On", "Off", "Pause"}) {
    text += std::string("[[components.triggers]]\nname = \"Speech") + event +
            "\"\ntype = \"*.Speech." + event + "\"\n" +
            "posts = [ { name = \"PitchOverlappingStart\", type = \"Floor.Overlap\" },\n"
            "          { name = \"PitchOverlappingStop\", type = \"Floor.Overlap\" },\n"
            "          { name = \"PitchSilenceStart\", type = \"Floor.Silence\" },\n"
            "          { name = \"PitchSilenceStop\", type = \"Floor.Silence\" } ]\n";
  }
  return text + "\n";
}

std::string chainSystem() {
  return speechComponent("left", 1, "Left") + speechComponent("right", 2, "Right") +
         singleComponent("singleLeft", "Left") + singleComponent("singleRight", "Right") +
         floorComponent() +
         "[[components]]\nname = \"out\"\nentry = \"sink\"\n"
         "[[components.triggers]]\nname = \"Speech\"\ntype = \"*.Speech.*\"\n"
         "[[components.triggers]]\nname = \"Analysis\"\ntype = \"Analysis.*\"\n"
         "[[components.triggers]]\nname = \"Floor\"\ntype = \"Floor.*\"\n";
}

constexpr std::uint64_t kFrame = 1024;
Micros frameTime(std::uint64_t k) {
  return kSystemOrigin + k * kFrame * 1'000'000ULL / 44100ULL;
}
std::int64_t frameMs(std::uint64_t k) {
  return static_cast<std::int64_t>(frameTime(k) / 1000U);
}

// The plan, in frames of 1024 samples. Left speaks [10, 60), [140, 180) and
// [230, 260); right speaks [50, 100). So: an overlap over [50, 60); a silence
// from 100 that left ends at 140 (" giving"); a silence from 180 that left
// ends at 230 (" within"); a last silence from 260.
struct Burst {
  std::uint64_t from, to;
};
constexpr Burst kLeft[] = {{10, 60}, {140, 180}, {230, 260}};
constexpr Burst kRight[] = {{50, 100}};
constexpr std::uint64_t kFrames = 300;

bool inBurst(std::span<const Burst> bursts, std::uint64_t k) {
  for (const Burst& b : bursts) {
    if (k >= b.from && k < b.to) return true;
  }
  return false;
}

// The first frame at which a silence begun at frame `start` has lasted
// `thresholdMs`: where the speech monitor posts "SpeechOff" (300 ms) or
// "SpeechPause" (500 ms after that).
std::uint64_t framesLater(std::uint64_t start, std::int64_t thresholdMs) {
  std::uint64_t k = start;
  while (frameMs(k) - frameMs(start) < thresholdMs) ++k;
  return k;
}

std::vector<SinkRecord> fromSender(const std::vector<SinkRecord>& records, const char* sender) {
  std::vector<SinkRecord> out;
  for (const SinkRecord& r : records) {
    if (r.sender == sender) out.push_back(r);
  }
  return out;
}

struct Expected {
  const char* postName;
  std::int64_t timestamp;
};

void expectSpeechEvents(const std::vector<SinkRecord>& records, const char* sender,
                        std::int64_t moduleId, const std::vector<Expected>& expected) {
  SCOPED_TRACE(sender);
  const std::vector<SinkRecord> events = fromSender(records, sender);
  ASSERT_EQ(events.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(events[i].postName, expected[i].postName);
    EXPECT_EQ(events[i].message.getInt("timestamp"), expected[i].timestamp);
    EXPECT_EQ(events[i].message.getInt("ModuleID"), moduleId);
  }
}

// Each turn's summary: stamped with the turn's end, ending on the turn's
// last voiced frame near the tracker's pitch for the tone.
void expectTurnSummaries(const std::vector<SinkRecord>& records, const char* sender,
                         std::span<const Burst> turns, double pitch) {
  SCOPED_TRACE(sender);
  const std::vector<SinkRecord> summaries = fromSender(records, sender);
  ASSERT_EQ(summaries.size(), turns.size());
  for (std::size_t i = 0; i < turns.size(); ++i) {
    SCOPED_TRACE(i);
    const DataMessage& m = summaries[i].message;
    EXPECT_EQ(summaries[i].postName, "Analysis");
    EXPECT_STREQ(m.getString("ObjectName"), "Analysis");
    EXPECT_EQ(m.getInt("Timestamp"), frameMs(turns[i].to));
    EXPECT_EQ(m.getInt("EndTimestamp"), frameMs(turns[i].to - 1));
    EXPECT_NEAR(static_cast<double>(m.getInt("EndValue")), pitch, 3.0);
    EXPECT_NEAR(m.getDouble("Average"), pitch, 3.0);
    // A steady tone: no fall or rise worth a direction, and its end at the mean.
    EXPECT_STREQ(m.getString("Vector"), "Straight_At");
  }
}

void expectSegment(const SinkRecord& r, const char* postName, const char* type,
                   const char* category, std::int64_t start, std::int64_t end) {
  SCOPED_TRACE(postName);
  EXPECT_EQ(r.postName, postName);
  EXPECT_STREQ(r.message.getString("Type"), type);
  EXPECT_STREQ(r.message.getString("Category"), category);
  EXPECT_EQ(r.message.getInt("StartTime"), start);
  EXPECT_EQ(r.message.getInt("EndTime"), end);
  EXPECT_EQ(r.message.getInt("Timestamp"), end);
}

void twoSpeakerChainScenario() {
  SinkLog log;
  std::unique_ptr<System> system = startSystem(chainSystem().c_str(), log);
  ASSERT_NE(system, nullptr);
  const MessageType frameType = system->type("Audio.Frame");
  const std::uint32_t left = system->componentId("left");
  const std::uint32_t right = system->componentId("right");
  ASSERT_NE(left, 0U);
  ASSERT_NE(right, 0U);

  for (std::uint64_t k = 0; k < kFrames; ++k) {
    system->advanceTo(frameTime(k));
    const struct {
      std::uint32_t to;
      double hz;
      bool tone;
    } channels[] = {{left, 220.0, inBurst(kLeft, k)}, {right, 330.0, inBurst(kRight, k)}};
    for (const auto& channel : channels) {
      std::unique_ptr<DataMessage> frame = frameMessage(
          frameType, toneFrame(kFrame, channel.hz, channel.tone ? 8000.0 : 0.0, k * kFrame));
      frame->setToId(channel.to);
      system->inject(std::move(frame));
      ASSERT_TRUE(system->settle()) << "frame " << k;
    }
  }
  system->stop();
  EXPECT_EQ(system->errorLines(), 0U);
  const std::vector<SinkRecord> records = log.all();

  // Speech events per speaker: on at the first tone frame, off stamped with
  // the first silent frame, pause 500 ms after the off was posted.
  // (The plan leaves every pause before the speaker's next burst.)
  auto turnEvents = [](std::span<const Burst> bursts) {
    std::vector<Expected> out;
    for (std::size_t i = 0; i < bursts.size(); ++i) {
      out.push_back({"SpeechOn", frameMs(bursts[i].from)});
      out.push_back({"SpeechOff", frameMs(bursts[i].to)});
      const std::uint64_t pauseFrame = framesLater(framesLater(bursts[i].to, 300), 500);
      EXPECT_TRUE(i + 1 == bursts.size() || pauseFrame < bursts[i + 1].from);
      EXPECT_LT(pauseFrame, kFrames);
      out.push_back({"SpeechPause", frameMs(pauseFrame)});
    }
    return out;
  };
  expectSpeechEvents(records, "left", 1, turnEvents(kLeft));
  expectSpeechEvents(records, "right", 2, turnEvents(kRight));

  // The speech-off messages that the other system tests inject have the
  // entries of a real one, in the same order.
  for (const SinkRecord& r : fromSender(records, "right")) {
    if (r.postName != "SpeechOff") continue;
    std::vector<Sample> samples;
    for (std::int64_t i = 0; i < r.message.getInt("PitchCount"); ++i) {
      samples.push_back({r.message.getDouble(i, "pitchvalue"), r.message.getInt(i, "pitchtime")});
    }
    EXPECT_EQ(samples.size(), kRight[0].to - kRight[0].from);
    const std::unique_ptr<DataMessage> shaped =
        speechOff(r.message.getType(), r.message.getInt("timestamp"), samples, 2);
    EXPECT_EQ(entryNames(*shaped), entryNames(r.message));
    EXPECT_STREQ(shaped->getString("PitchView"), r.message.getString("PitchView"));
    EXPECT_EQ(shaped->getInt("Duration"), r.message.getInt("Duration"));
  }

  // One summary per turn; the tracker reports half the tone's frequency.
  expectTurnSummaries(records, "singleLeft", kLeft, 110.0);
  expectTurnSummaries(records, "singleRight", kRight, 165.0);

  // The floor: the overlap [50, 60) opened by right, the silence right left
  // and left took (" giving"), the silence left left and resumed (" within"),
  // and the final silence.
  const std::vector<SinkRecord> floor = fromSender(records, "two");
  ASSERT_EQ(floor.size(), 7U);
  expectSegment(floor[0], "PitchOverlappingStart", "Overlap", "2", frameMs(50), frameMs(50));
  expectSegment(floor[1], "PitchOverlappingStop", "Overlap", "2Overlap", frameMs(50), frameMs(60));
  EXPECT_EQ(floor[2].postName, "PitchSilenceStart");
  EXPECT_EQ(floor[2].message.getInt("Timestamp"), frameMs(100));
  expectSegment(floor[3], "PitchSilenceStop", "Silence", "2 giving", frameMs(100), frameMs(140));
  EXPECT_EQ(floor[4].postName, "PitchSilenceStart");
  EXPECT_EQ(floor[4].message.getInt("Timestamp"), frameMs(180));
  expectSegment(floor[5], "PitchSilenceStop", "Silence", "1 within", frameMs(180), frameMs(230));
  EXPECT_EQ(floor[6].postName, "PitchSilenceStart");
  EXPECT_EQ(floor[6].message.getInt("Timestamp"), frameMs(260));
}

TEST(ChainSystem, TwoSpeakerAudioGivesSpeechEventsTurnSummariesAndFloorPosts) {
  expectInFreshProcess(twoSpeakerChainScenario);
}

}  // namespace
}  // namespace vornix::testing
