// A non-ASCII character where the TOML parser expects a key, a value or white
// space used to reach undefined behaviour inside the parser (found by
// fuzzing: "é = 1"). Such a file is refused with its line; non-ASCII texts
// and comments stay accepted.
#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "host/config.h"

namespace vornix::host {
namespace {

constexpr const char* kHead = "[[components]]\nname = \"x\"\nentry = \"sink\"\n";

TEST(ConfigNonAscii, StrayNonAsciiCharacterIsRefusedWithItsLine) {
  for (const char* tail : {"\xC3\xA9 = 1\n",
                           "[components.par\xD2\x8E"
                           "ameters]\n",
                           "ttl = 1\xC2\xA0\n"}) {
    const ConfigResult result = parseConfig(std::string(kHead) + tail, "odd.toml");
    ASSERT_TRUE(std::holds_alternative<ConfigError>(result)) << tail;
    const ConfigError& error = std::get<ConfigError>(result);
    EXPECT_EQ(error.line, 4) << tail;
    EXPECT_NE(error.reason.find("non-ASCII"), std::string::npos);
  }
}

TEST(ConfigNonAscii, NonAsciiInsideTextsAndCommentsIsAccepted) {
  const std::string text =
      "# caf\xC3\xA9 \xD2\x8E\n"
      "[[components]]\n"
      "name = \"caf\xC3\xA9 \\\" \xD2\x8E\"\n"
      "entry = 'sink' # \xC2\xA0\n"
      "[components.parameters]\n"
      "Note = \"\"\"\n\xD2\x8E \\\n \"\"\"\"\"\n"
      "Raw = '''\xC3\xA9'''\n";
  const ConfigResult result = parseConfig(text, "texts.toml");
  ASSERT_TRUE(std::holds_alternative<SystemConfig>(result)) << std::get<ConfigError>(result).text();
  const SystemConfig& config = std::get<SystemConfig>(result);
  ASSERT_EQ(config.components.size(), 1U);
  EXPECT_EQ(config.components[0].name, "caf\xC3\xA9 \" \xD2\x8E");
  EXPECT_EQ(config.components[0].parameters.size(), 2U);
}

}  // namespace
}  // namespace vornix::host
