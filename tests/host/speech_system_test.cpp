// A configured system end to end on the real runtime: the library's Runtime
// component analyses generated audio on the simulated clock and a sink sees
// its speech events.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "host/config.h"
#include "host/system.h"
#include "support/instance_objects.h"
#include "test_audio.h"

namespace vornix::host {
namespace {

constexpr const char* kSpeechSystem = R"(
[[components]]
name = "mic"
entry = "Runtime"
process = 1
[components.parameters]
BufferSize = 1024
SamplingFrequency = 44100
AmplitudeThreshold = 0.75
NoiseThreshold = 5.0
ModuleID = 1
PitchMonitorWindow = 200
PitchLowPass = 400
PitchHighPass = 30
PitchDeltaConstraint = 50
PauseThreshold = 500
SegmentIntervalThreshold = 300
HumDurationThreshold = 2000
HumPitchThreshold = 2
SpeechOnDelay = 0
[[components.triggers]]
name = "AudioFrame"
type = "Audio.Frame"
posts = [ { name = "SpeechOn", type = "Speech.On" },
          { name = "SpeechOff", type = "Speech.Off" },
          { name = "SpeechPause", type = "Speech.Pause" } ]

[[components]]
name = "out"
entry = "sink"
[[components.triggers]]
name = "Speech"
type = "Speech.*"
)";

constexpr Micros kOrigin = 1'800'000'000'000'000ULL;  // a whole millisecond

Micros frameTime(std::uint64_t k) {
  return kOrigin + k * 1024ULL * 1'000'000ULL / 44100ULL;
}
std::int64_t frameMs(std::uint64_t k) {
  return static_cast<std::int64_t>(frameTime(k) / 1000U);
}

// The objects of the instance that outlive its stop (test::leftAfterStop).
std::vector<std::string> objectsOfInstance(std::uint16_t instance) {
  return test::leftAfterStop(instance);
}

TEST(SpeechSystem, ToneBurstGivesSpeechOnOffAndPauseAtFrameTimes) {
  ConfigResult parsed = parseConfig(kSpeechSystem, "speech.toml");
  ASSERT_TRUE(std::holds_alternative<SystemConfig>(parsed)) << std::get<ConfigError>(parsed).text();
  SystemOptions options;
  options.simulatedClock = true;
  options.clockStart = kOrigin;
  std::string error;
  std::uint16_t instance = 0;
  std::vector<SinkRecord> records;
  {
    std::unique_ptr<System> system = System::create(std::get<SystemConfig>(parsed), options, error);
    ASSERT_NE(system, nullptr) << error;
    instance = system->instanceId();
    system->onSink([&](SinkRecord&& r) { records.push_back(std::move(r)); });
    ASSERT_TRUE(system->start());
    const MessageType frameType = system->type("Audio.Frame");
    // Frames 20 to 63 hold a 220 Hz tone; the rest is silence.
    for (std::uint64_t k = 0; k < 130; ++k) {
      system->advanceTo(frameTime(k));
      const bool tone = k >= 20 && k < 64;
      system->inject(testing::frameMessage(
          frameType, testing::toneFrame(1024, 220.0, tone ? 8000.0 : 0.0, k * 1024)));
      ASSERT_TRUE(system->settle()) << "frame " << k;
    }
    system->stop();
    EXPECT_EQ(system->errorLines(), 0U);
  }
  EXPECT_EQ(objectsOfInstance(instance), std::vector<std::string>{});

  ASSERT_EQ(records.size(), 3U);
  EXPECT_EQ(records[0].postName, "SpeechOn");
  EXPECT_EQ(records[0].sender, "mic");
  EXPECT_EQ(records[0].message.getInt("timestamp"), frameMs(20));
  EXPECT_EQ(records[0].message.getInt("ModuleID"), 1);

  // Silence begins at frame 64; the first frame 300 ms later ends the turn.
  std::uint64_t offFrame = 64;
  while (frameMs(offFrame) - frameMs(64) < 300) ++offFrame;
  EXPECT_EQ(records[1].postName, "SpeechOff");
  EXPECT_EQ(records[1].message.getInt("timestamp"), frameMs(64));
  EXPECT_EQ(records[1].message.getInt("PitchCount"), 44);
  EXPECT_EQ(records[1].message.getCreatedTime(), frameTime(offFrame));
  bool found = false;
  const double pitch = records[1].message.getDouble(10, "pitchvalue", &found);
  EXPECT_TRUE(found);
  EXPECT_NEAR(pitch, 110.0, 3.0);  // the tracker reports half the fundamental
  EXPECT_EQ(std::string(records[1].message.getString("PitchView")).size(), 44U);

  std::uint64_t pauseFrame = offFrame;
  while (frameMs(pauseFrame) - frameMs(offFrame) < 500) ++pauseFrame;
  EXPECT_EQ(records[2].postName, "SpeechPause");
  EXPECT_EQ(records[2].message.getInt("timestamp"), frameMs(pauseFrame));
}

}  // namespace
}  // namespace vornix::host
