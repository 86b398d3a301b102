// A bad configuration is refused with the file, the line and the reason.
#include <gtest/gtest.h>

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
