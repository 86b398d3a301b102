// The host's audio source driven step by step: its settings, frames of one
// channel with the last one padded with silence, and the frames' times.
#include "host/audio_source.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/cli_support.h"
#include "host/config.h"
#include "util/bytes.h"

namespace loquant::test {
namespace {

using vornix::host::AudioSource;
using vornix::host::AudioSourceSettings;
using vornix::host::ComponentConfig;
using vornix::host::ParameterSpec;
using vornix::host::SystemConfig;

SystemConfig withSource(std::vector<ParameterSpec> parameters) {
  SystemConfig config;
  ComponentConfig sink;
  sink.name = "out";
  sink.entry = "sink";
  ComponentConfig source;
  source.name = "mic";
  source.entry = "source";
  source.line = 7;
  source.parameters = std::move(parameters);
  config.components = {sink, source};
  return config;
}

TEST(AudioSourceSettingsTest, ReadsParametersAndRefusesBadOnes) {
  AudioSourceSettings settings;
  std::string error;
  SystemConfig good = withSource({{"File", std::string("a.wav")},
                                  {"Target", std::string("out")},
                                  {"BufferSize", std::int64_t{256}}});
  ASSERT_TRUE(vornix::host::readAudioSourceSettings(good, good.components[1], settings, error))
      << error;
  EXPECT_EQ(settings.file, "a.wav");
  EXPECT_EQ(settings.channel, 1U);  // the default
  EXPECT_EQ(settings.bufferSize, 256U);
  EXPECT_EQ(settings.line, 7);
  EXPECT_FALSE(settings.targetRate);  // the sink reads no rate
  good.components[0].parameters = {{"SamplingFrequency", std::int64_t{16000}}};
  ASSERT_TRUE(vornix::host::readAudioSourceSettings(good, good.components[1], settings, error));
  EXPECT_EQ(settings.targetRate, 16000);

  const std::vector<std::pair<std::vector<ParameterSpec>, std::string>> bad = {
      {{{"Target", std::string("out")}, {"BufferSize", std::int64_t{256}}}, "File"},
      {{{"File", std::string("a.wav")}, {"BufferSize", std::int64_t{256}}}, "Target"},
      {{{"File", std::string("a.wav")},
        {"Target", std::string("mic")},
        {"BufferSize", std::int64_t{256}}},
       "Target"},
      {{{"File", std::string("a.wav")}, {"Target", std::string("out")}}, "BufferSize"},
      {{{"File", std::string("a.wav")},
        {"Target", std::string("out")},
        {"BufferSize", std::string("256")}},
       "BufferSize"},
      {{{"File", std::string("a.wav")},
        {"Target", std::string("out")},
        {"BufferSize", std::int64_t{1}}},
       "BufferSize"},
      {{{"File", std::string("a.wav")},
        {"Target", std::string("out")},
        {"BufferSize", std::int64_t{256}},
        {"Channel", std::int64_t{0}}},
       "Channel"},
  };
  for (const auto& [parameters, named] : bad) {
    SystemConfig config = withSource(parameters);
    error.clear();
    EXPECT_FALSE(
        vornix::host::readAudioSourceSettings(config, config.components[1], settings, error));
    EXPECT_THAT(error, ::testing::HasSubstr(named));
    EXPECT_THAT(error, ::testing::HasSubstr("'mic'"));
  }
}

class SteppedSource : public ::testing::Test {
 protected:
  // 1000 stereo frames at 8 kHz: left counts up from 1, right down from -1.
  void SetUp() override {
    std::vector<std::int16_t> left(1000), right(1000);
    for (int i = 0; i < 1000; ++i) {
      left[static_cast<std::size_t>(i)] = static_cast<std::int16_t>(i + 1);
      right[static_cast<std::size_t>(i)] = static_cast<std::int16_t>(-i - 1);
    }
    writeWave(dir_ / "ramp.wav", 8000, {left, right});
    settings_.name = "mic";
    settings_.file = (dir_ / "ramp.wav").string();
    settings_.channel = 2;
    settings_.target = "out";
    settings_.bufferSize = 256;
  }
  ScratchDir dir_;
  AudioSourceSettings settings_;
};

TEST_F(SteppedSource, FramesOfOneChannelWithTheLastPaddedWithSilence) {
  std::string error;
  std::unique_ptr<AudioSource> source = AudioSource::open(settings_, error);
  ASSERT_NE(source, nullptr) << error;
  EXPECT_EQ(source->rate(), 8000U);
  std::vector<std::int16_t> frame(256);
  std::vector<std::int16_t> all;
  while (source->nextSamples(frame)) all.insert(all.end(), frame.begin(), frame.end());
  ASSERT_EQ(all.size(), 4U * 256U);  // 1000 samples: three whole frames and 232 more
  EXPECT_EQ(source->frames(), 4U);
  EXPECT_TRUE(source->ended());
  EXPECT_FALSE(source->failed());
  EXPECT_FALSE(source->truncated());
  EXPECT_EQ(source->framesRead(), 1000U);
  for (std::size_t i = 0; i < 1000; ++i) ASSERT_EQ(all[i], -static_cast<int>(i) - 1) << i;
  for (std::size_t i = 1000; i < all.size(); ++i) ASSERT_EQ(all[i], 0) << i;
  EXPECT_FALSE(source->nextSamples(frame));
  EXPECT_EQ(source->nextFrame(vornix::MessageType{}, 1), nullptr);
}

TEST_F(SteppedSource, FrameMessagesAndTimes) {
  std::string error;
  settings_.channel = 1;
  std::unique_ptr<AudioSource> source = AudioSource::open(settings_, error);
  ASSERT_NE(source, nullptr) << error;
  vornix::MessageType type;
  type.levels[0] = 7;
  type.levels[1] = 9;
  std::unique_ptr<vornix::DataMessage> message = source->nextFrame(type, 42);
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(message->getType(), type);
  EXPECT_EQ(message->toId(), 42U);
  std::uint32_t length = 0;
  const std::uint8_t* data = message->getData("AudioDataFrame", length);
  ASSERT_NE(data, nullptr);
  ASSERT_EQ(length, 512U);
  const std::span<const std::uint8_t> bytes(data, length);
  EXPECT_EQ(vornix::bytes::loadOr<std::int16_t>(bytes, 0, 0), 1);
  EXPECT_EQ(vornix::bytes::loadOr<std::int16_t>(bytes, 510, 0), 256);
  // 256 samples at 8 kHz are 32 ms; offsets are exact, not accumulated.
  EXPECT_EQ(source->frameOffset(0), 0U);
  EXPECT_EQ(source->frameOffset(1), 32'000U);
  EXPECT_EQ(source->frameOffset(1'000'000), 32'000'000'000ULL);
  // Frames at rates that do not divide: floor of the exact time.
  settings_.bufferSize = 3;
  std::unique_ptr<AudioSource> odd = AudioSource::open(settings_, error);
  ASSERT_NE(odd, nullptr);
  EXPECT_EQ(odd->frameOffset(1), 375U);  // 3 / 8000 s
  EXPECT_EQ(odd->frameOffset((1ULL << 40) - 1), ((1ULL << 40) - 1) * 3'000'000ULL / 8000ULL);
}

TEST_F(SteppedSource, ACutShortFileEndsAsTruncated) {
  // 44 header bytes and 300 of the 1000 stereo frames.
  writeFile(dir_ / "cut.wav", readFile(dir_ / "ramp.wav").substr(0, 44 + 4 * 300));
  settings_.file = (dir_ / "cut.wav").string();
  std::string error;
  std::unique_ptr<AudioSource> source = AudioSource::open(settings_, error);
  ASSERT_NE(source, nullptr) << error;
  EXPECT_EQ(source->declaredFrames(), 1000U);
  std::vector<std::int16_t> frame(256);
  while (source->nextSamples(frame)) {
    EXPECT_FALSE(source->truncated() && !source->ended());
  }
  EXPECT_EQ(source->frames(), 2U);
  EXPECT_EQ(source->framesRead(), 300U);
  EXPECT_TRUE(source->truncated());
  EXPECT_FALSE(source->failed());
}

TEST_F(SteppedSource, OpenRefusesMissingFilesAndChannels) {
  std::string error;
  settings_.channel = 3;
  EXPECT_EQ(AudioSource::open(settings_, error), nullptr);
  EXPECT_THAT(error, ::testing::HasSubstr("has 2 channels"));
  settings_.channel = 1;
  settings_.file = (dir_ / "gone.wav").string();
  EXPECT_EQ(AudioSource::open(settings_, error), nullptr);
  EXPECT_THAT(error, ::testing::HasSubstr("no such file"));
  writeFile(dir_ / "junk.wav", "RIFF....WAVEjunk");
  settings_.file = (dir_ / "junk.wav").string();
  EXPECT_EQ(AudioSource::open(settings_, error), nullptr);
  EXPECT_THAT(error, ::testing::HasSubstr("junk.wav"));
}

// A target told another rate than the recording's would analyse every frame
// at the wrong time scale: refused at open, with both rates.
TEST_F(SteppedSource, OpenRefusesARecordingOfAnotherRateThanItsTarget) {
  std::string error;
  settings_.targetRate = 16000;
  EXPECT_EQ(AudioSource::open(settings_, error), nullptr);
  EXPECT_THAT(error, ::testing::HasSubstr("sampled at 8000 Hz, but source 'mic' plays into "
                                          "'out', whose SamplingFrequency is 16000"));
  settings_.targetRate = 8000;
  EXPECT_NE(AudioSource::open(settings_, error), nullptr) << error;
}

}  // namespace
}  // namespace loquant::test
