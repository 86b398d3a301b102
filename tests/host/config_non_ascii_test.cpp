// The TOML parser's white-space test reached undefined behaviour on the code
// points U+00A1-U+0499 and U+FB26-U+FEFE wherever it looked for white space
// (found by fuzzing: "é = 1", a table header holding "Ҏ", "0\"\"\"+ﻟ", and
// U+FB3F after a table, which the first range U+FB86-U+FEFE had missed).
// Such a character outside a text is now refused as the parser's own error
// with its line; inside "..." texts and comments it reads as itself; a '...'
// text, which takes no escapes, refuses it with a line of its own.
#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "host/config.h"

namespace vornix::host {
namespace {

constexpr const char* kHead = "[[components]]\nname = \"x\"\nentry = \"sink\"\n";

TEST(ConfigNonAscii, CharacterTheParserCannotTestOutsideATextIsAnErrorOnItsLine) {
  for (const char* tail : {"\xC3\xA9 = 1\n",
                           "[components.par\xD2\x8E"
                           "ameters]\n",
                           "x = 0\"\"\"+\xEF\xBB\x9F \n", "process = 1\xC2\xA1\n",
                           "process = 1\xEF\xAC\xBF\n", "process = 1\xEF\xAC\xA6\n"}) {
    const ConfigResult result = parseConfig(std::string(kHead) + tail, "odd.toml");
    ASSERT_TRUE(std::holds_alternative<ConfigError>(result)) << tail;
    EXPECT_EQ(std::get<ConfigError>(result).line, 4) << tail;
  }
}

TEST(ConfigNonAscii, TextsAndCommentsKeepTheirCharacters) {
  const std::string text =
      "# caf\xC3\xA9 \xD2\x8E\n"
      "[[components]]\n"
      "name = \"caf\xC3\xA9 \\\" \xD2\x8E\"\n"
      "entry = 'sink' # \xC2\xA1\n"
      "[components.parameters]\n"
      "Note = \"\"\"\n\xEF\xBB\x9F \\\n  x\"\"\"\n"
      "Raw = '''\xE2\x98\x83'''\n";
  const ConfigResult result = parseConfig(text, "texts.toml");
  ASSERT_TRUE(std::holds_alternative<SystemConfig>(result)) << std::get<ConfigError>(result).text();
  const SystemConfig& config = std::get<SystemConfig>(result);
  ASSERT_EQ(config.components.size(), 1U);
  EXPECT_EQ(config.components[0].name, "caf\xC3\xA9 \" \xD2\x8E");
  const auto& parameters = config.components[0].parameters;
  ASSERT_EQ(parameters.size(), 2U);
  for (const auto& p : parameters) {
    const auto* value = std::get_if<std::string>(&p.value);
    ASSERT_NE(value, nullptr) << p.name;
    EXPECT_EQ(*value,
              p.name == "Note" ? std::string("\xEF\xBB\x9F x") : std::string("\xE2\x98\x83"));
  }
}

TEST(ConfigNonAscii, LiteralTextCannotHoldSuchACharacter) {
  const ConfigResult result = parseConfig(
      std::string(kHead) + "[components.parameters]\nFile = 'caf\xC3\xA9.wav'\n", "l.toml");
  ASSERT_TRUE(std::holds_alternative<ConfigError>(result));
  const ConfigError& error = std::get<ConfigError>(result);
  EXPECT_EQ(error.line, 5);
  EXPECT_NE(error.reason.find("U+00E9"), std::string::npos);
}

}  // namespace
}  // namespace vornix::host
