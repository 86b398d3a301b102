// A bad configuration is refused with the file, the line and the reason.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "host/config.h"

namespace vornix::host {
namespace {

ConfigError refused(const std::string& text) {
  ConfigResult result = parseConfig(text, "sys.toml");
  EXPECT_TRUE(std::holds_alternative<ConfigError>(result)) << text;
  return std::holds_alternative<ConfigError>(result) ? std::get<ConfigError>(result)
                                                     : ConfigError{};
}

constexpr const char* kMic = "[[components]]\nname = \"mic\"\nentry = \"Runtime\"\n";

TEST(ConfigErrors, NameFileLineAndReason) {
  struct Case {
    std::string text;
    int line;
    std::string reason;  // a part of the reason
  };
  const Case cases[] = {
      {std::string(kMic) + "process = = 2\n", 4, ""},
      {std::string(kMic) + "colour = \"red\"\n", 4, "unknown key 'colour' in a component"},
      {"[[components]]\nentry = \"Runtime\"\n", 1, "a component needs 'name'"},
      {std::string(kMic) +
           "[[components.triggers]]\nname = \"F\"\ntype = \"Audio.Frame\"\n"
           "posts = [ { name = \"On\", type = \"Speech.On\", target = \"nobody\" } ]\n",
       1, "names an unknown target 'nobody'"},
      {std::string(kMic) + "[[components.triggers]]\nname = \"F\"\ntype = \"Audio.Frame\"\n"
                           "posts = [ { name = \"On\", type = \"Speech.On\", content = [ [\"I\", "
                           "\"Count\", \"twelve\"] ] } ]\n",
       7, "content value 'twelve' is not a whole number"},
      {std::string(kMic) + "[[components.triggers]]\nname = \"F\"\ntype = \"Audio.Frame\"\n"
                           "posts = [ { name = \"On\", type = \"Speech.On\", content = [ [\"X\", "
                           "\"a\", \"b\"] ] } ]\n",
       7, "content type 'X' must be S, I or F"},
      {std::string(kMic) + kMic, 4, "component name 'mic' is used twice"},
      {std::string(kMic) + "[components.parameters]\nBufferSize = 372\n"
                           "PitchMonitorWindow = 2147483647\n",
       6, "PitchMonitorWindow 2147483647 is over its limit of 1048576 pitch values"},
      {std::string(kMic) + "[components.parameters]\nBufferSize = 1048577\n", 5,
       "BufferSize 1048577 is over its limit of 1048576 samples"},
  };
  for (const Case& c : cases) {
    const ConfigError error = refused(c.text);
    EXPECT_EQ(error.file, "sys.toml");
    EXPECT_EQ(error.line, c.line) << c.text;
    EXPECT_NE(error.reason.find(c.reason), std::string::npos) << error.reason;
    EXPECT_EQ(error.text().rfind("sys.toml:" + std::to_string(c.line) + ": ", 0), 0U)
        << error.text();
  }
}

TEST(ConfigErrors, MissingFileNamesItsPath) {
  ConfigResult result = loadConfig("/nonexistent/dir/sys.toml");
  ASSERT_TRUE(std::holds_alternative<ConfigError>(result));
  EXPECT_EQ(
      std::get<ConfigError>(result).text().rfind("/nonexistent/dir/sys.toml: cannot be read", 0),
      0U);
}

// Nothing past the limit is read: a device that never ends, a file one byte
// too large and a recording are refused before parsing.
TEST(ConfigErrors, OversizedFilesDevicesAndRecordingsAreRefused) {
  const auto reasonOf = [](const std::string& path) {
    ConfigResult result = loadConfig(path);
    return std::holds_alternative<ConfigError>(result) ? std::get<ConfigError>(result).text()
                                                       : std::string("loaded");
  };
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      ("loquant-config-" + std::to_string(std::hash<std::string>{}(
                               ::testing::UnitTest::GetInstance()->current_test_info()->name())));
  std::filesystem::create_directories(dir);
  const auto write = [&](const char* name, const std::string& text) {
    std::ofstream(dir / name, std::ios::binary) << text;
    return (dir / name).string();
  };
  std::string large(kMaximumConfigBytes + 1U, ' ');
  EXPECT_NE(reasonOf(write("large.toml", large)).find("is larger than 1048576 bytes"),
            std::string::npos);
  large.pop_back();
  EXPECT_NE(reasonOf(write("limit.toml", large)).find("needs at least one"), std::string::npos);
  EXPECT_NE(reasonOf(write("talk.wav", "RIFF\x24\x08\x00\x00WAVEfmt ")).find("is a recording"),
            std::string::npos);
#ifndef _WIN32
  EXPECT_NE(reasonOf("/dev/zero").find("/dev/zero: is larger than"), std::string::npos);
#endif
  std::filesystem::remove_all(dir);
}

TEST(ConfigReading, ParametersTriggersAndPosts) {
  const std::string text = std::string(kMic) +
                           "process = 2\n[components.parameters]\nBufferSize = 512\nGain = 0.5\n"
                           "Mode = { items = [\"a\", \"b\"], current = 1 }\n"
                           "[[components.triggers]]\nname = \"F\"\ntype = \"Audio.*\"\n"
                           "posts = [ { name = \"On\", type = \"Speech.On\", ttl = 5, drop = true, "
                           "content = [ [\"S\", \"Label\", \"on\"] ] } ]\n";
  ConfigResult result = parseConfig(text, "ok.toml");
  ASSERT_TRUE(std::holds_alternative<SystemConfig>(result)) << std::get<ConfigError>(result).text();
  const SystemConfig& config = std::get<SystemConfig>(result);
  ASSERT_EQ(config.components.size(), 1U);
  const ComponentConfig& mic = config.components[0];
  EXPECT_EQ(mic.process, 2U);
  EXPECT_EQ(mic.parameters.size(), 3U);
  ASSERT_EQ(mic.triggers.size(), 1U);
  EXPECT_EQ(mic.triggers[0].pattern, (TypePath{"Audio", "*"}));
  ASSERT_EQ(mic.triggers[0].posts.size(), 1U);
  const PostConfig& post = mic.triggers[0].posts[0];
  EXPECT_EQ(post.ttl, 5U);
  EXPECT_TRUE(post.drop);
  ASSERT_EQ(post.content.size(), 1U);
  EXPECT_EQ(post.content[0].value, "on");
}

}  // namespace
}  // namespace vornix::host
