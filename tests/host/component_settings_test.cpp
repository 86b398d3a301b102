// The settings of built-in components as every one of them reads them: one
// wording for a missing, mistyped or out-of-range parameter, and a Target
// that must be another component.
#include "host/component_settings.h"

#include <gtest/gtest.h>

namespace vornix::host {
namespace {

SystemConfig twoComponents() {
  SystemConfig config;
  ComponentConfig source;
  source.name = "mic";
  source.parameters = {{"Device", std::string("front")},
                       {"Empty", std::string()},
                       {"Channel", std::int64_t{3}},
                       {"Rate", 2.5}};
  ComponentConfig speaker;
  speaker.name = "speaker1";
  speaker.parameters = {{"SamplingFrequency", std::int64_t{16000}}, {"Gain", 1.5}};
  config.components = {source, speaker};
  return config;
}

TEST(ComponentSettings, ReadsTextAndIntegersWithFallbacksAndSaysWhatIsWrong) {
  const SystemConfig config = twoComponents();
  const ComponentSettings read(config.components[0], "capture");
  std::string text;
  std::int64_t number = 0;
  std::string error;
  ASSERT_TRUE(read.text("Device", std::nullopt, text, error));
  EXPECT_EQ(text, "front");
  ASSERT_TRUE(read.text("Missing", std::string("default"), text, error));
  EXPECT_EQ(text, "default");
  EXPECT_FALSE(read.text("Missing", std::nullopt, text, error));
  EXPECT_EQ(error, "capture 'mic' needs the parameter Missing");
  EXPECT_FALSE(read.text("Empty", std::string("x"), text, error));
  EXPECT_EQ(error, "capture 'mic': Empty must be a non-empty text");
  EXPECT_FALSE(read.text("Channel", std::nullopt, text, error));

  ASSERT_TRUE(read.integer("Channel", 1, 64, std::nullopt, number, error));
  EXPECT_EQ(number, 3);
  ASSERT_TRUE(read.integer("BufferSize", 2, 100, 7, number, error));
  EXPECT_EQ(number, 7);
  EXPECT_FALSE(read.integer("BufferSize", 2, 100, std::nullopt, number, error));
  EXPECT_EQ(error, "capture 'mic' needs the parameter BufferSize");
  EXPECT_FALSE(read.integer("Channel", 4, 64, 1, number, error));
  EXPECT_EQ(error, "capture 'mic': Channel must be a whole number from 4 to 64");
  EXPECT_FALSE(read.integer("Rate", 1, 10, 1, number, error)) << "a real is not an integer";
}

TEST(ComponentSettings, TargetIsAnotherComponentAndItsRateIsAnIntegerOnly) {
  const SystemConfig config = twoComponents();
  const ComponentSettings read(config.components[0], "source");
  std::string error;
  const ComponentConfig* target = read.target(config, "speaker1", error);
  ASSERT_NE(target, nullptr);
  EXPECT_EQ(ComponentSettings::integerOf(*target, "SamplingFrequency"), 16000);
  EXPECT_EQ(ComponentSettings::integerOf(*target, "Gain"), std::nullopt);
  EXPECT_EQ(ComponentSettings::integerOf(*target, "Absent"), std::nullopt);
  EXPECT_EQ(read.target(config, "mic", error), nullptr);
  EXPECT_EQ(error, "source 'mic': Target 'mic' is not another component");
  EXPECT_EQ(read.target(config, "nobody", error), nullptr);
}

}  // namespace
}  // namespace vornix::host
