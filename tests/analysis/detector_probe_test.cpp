#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "analysis/latency_probe.h"
#include "analysis/speaker_change_detector.h"
#include "analysis_test_support.h"

namespace vornix {
namespace {

using testing::RecordingPoster;
using testing::RecordingWriter;

DataMessage frame(double metadata) {
  DataMessage m;
  m.setDouble("Metadata", metadata);
  return m;
}

TEST(SpeakerChangeDetector, ThresholdEdgeAndChanges) {
  RecordingPoster poster;
  SpeakerChangeDetector detector(0.5, poster);
  detector.onMessage("AudioFrame", frame(0.2));           // 0.5 > 0.2: speaker 1
  detector.onMessage("audioframe", frame(-0.3));          // still 1: nothing
  detector.onMessage("AUDIOFRAME", frame(-0.5));          // |v| == threshold: speaker 2
  detector.onMessage("AudioFrame", frame(std::nan("")));  // NaN: 2, unchanged
  ASSERT_EQ(poster.posts.size(), 2u);
  EXPECT_EQ(poster.posts[0].name, "SpeakerChange");
  EXPECT_EQ(poster.posts[0].message->getInt("CurrentSpeaker"), 1);
  EXPECT_EQ(testing::entryNames(*poster.posts[0].message),
            (std::vector<std::string>{"CurrentSpeaker"}));
  EXPECT_EQ(poster.posts[1].message->getInt("CurrentSpeaker"), 2);
  EXPECT_EQ(detector.currentSpeaker(), 2);
}

TEST(SpeakerChangeDetector, DefaultThresholdAndFramesWithoutDouble) {
  RecordingPoster poster;
  SpeakerChangeDetector detector(0.0, poster);
  DataMessage integerMetadata;
  integerMetadata.setInt("Metadata", 0);
  detector.onMessage("AudioFrame", integerMetadata);
  detector.onMessage("AudioFrame", DataMessage());
  EXPECT_TRUE(poster.posts.empty());
  EXPECT_EQ(detector.currentSpeaker(), 0);
  detector.onMessage("AudioFrame", frame(0.0));
  ASSERT_EQ(poster.posts.size(), 1u);
  EXPECT_EQ(poster.posts[0].message->getInt("CurrentSpeaker"), 2);
}

TEST(SpeakerChangeDetector, ForwardsCopiesUnderTheTriggerName) {
  RecordingPoster poster;
  SpeakerChangeDetector detector(1.0, poster);
  DataMessage original;
  original.setInt("CurrentSpeaker", 9);
  original.setString("Word", "hello");
  original.setCreatedTime(123456);
  const std::vector<std::uint8_t> before(original.bytes().begin(), original.bytes().end());

  detector.onMessage("AudioFrameExtra", original);  // longer name: forwarded
  ASSERT_EQ(poster.posts.size(), 1u);
  EXPECT_EQ(poster.posts[0].name, "AudioFrameExtra");
  const DataMessage& unknown = *poster.posts[0].message;
  EXPECT_EQ(unknown.getInt("CurrentSpeaker"), 9);  // speaker not known yet
  EXPECT_EQ(unknown.getCreatedTime(), 123456u);
  EXPECT_STREQ(unknown.getString("Word"), "hello");

  detector.onMessage("AudioFrame", frame(0.1));
  detector.onMessage("SpeechOn", original);
  detector.onMessage(nullptr, original);
  ASSERT_EQ(poster.posts.size(), 4u);
  EXPECT_EQ(poster.posts[2].name, "SpeechOn");
  EXPECT_EQ(poster.posts[2].message->getInt("CurrentSpeaker"), 1);
  EXPECT_EQ(poster.posts[3].name, "<null>");
  // The received message is only read.
  EXPECT_TRUE(
      std::equal(before.begin(), before.end(), original.bytes().begin(), original.bytes().end()));
}

TEST(RoutingLatency, PastFutureAndFarAway) {
  constexpr Micros now = 63'900'000'000'000'000ULL;
  EXPECT_EQ(routingLatencyMillis(0, now), 0);
  EXPECT_EQ(routingLatencyMillis(now - 12'000, now), 12);
  EXPECT_EQ(routingLatencyMillis(now - 12'999, now), 12);
  EXPECT_EQ(routingLatencyMillis(now + 1'999, now), -1);
  EXPECT_EQ(routingLatencyMillis(now + 500, now), 0);
  // About 40 minutes away: beyond what a 32-bit microsecond difference holds.
  EXPECT_EQ(routingLatencyMillis(now + 2'400'000'000ULL, now), -2'400'000);
  EXPECT_EQ(routingLatencyMillis(now - 2'400'000'000ULL, now), 2'400'000);
  // Further than the 32-bit millisecond range: clamped.
  EXPECT_EQ(routingLatencyMillis(1, now), std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(routingLatencyMillis(std::numeric_limits<Micros>::max(), 5),
            std::numeric_limits<std::int32_t>::min());
}

TEST(LatencyProbe, TwoLinesPerMessageAndNothingForStartup) {
  RecordingWriter out;
  std::vector<MessageType> named;
  LatencyProbe probe(
      3,
      [&](const MessageType& t) {
        named.push_back(t);
        return std::string("Audio.Frame");
      },
      out);
  constexpr Micros now = 63'900'000'000'000'000ULL;
  DataMessage m;
  MessageType type;
  type.levels = {7, 9};
  m.setType(type);
  m.setInt("latency", 40);
  m.setCreatedTime(now - 12'000);
  probe.onMessage("Startup", m, now);
  probe.onMessage("STARTUP", m, now);
  EXPECT_TRUE(out.text.empty());
  probe.onMessage("Anything", m, now);
  EXPECT_EQ(out.text, "Audio.Frame: sampling latency: 40 routing latency: 12\n3>> \n");
  ASSERT_EQ(named.size(), 1u);
  EXPECT_EQ(named[0], type);

  out.text.clear();
  DataMessage future;
  future.setInt("latency", -1);  // low 32 bits, unsigned
  future.setCreatedTime(now + 5'000);
  probe.onMessage("StartupLater", future, now);
  EXPECT_EQ(out.text, "Audio.Frame: sampling latency: 4294967295 routing latency: -5\n3>> \n");

  out.text.clear();
  DataMessage bare;
  bare.setCreatedTime(0);
  probe.onMessage(nullptr, bare, now);
  EXPECT_EQ(out.text, "Audio.Frame: sampling latency: 0 routing latency: 0\n3>> \n");
}

}  // namespace
}  // namespace vornix
