#include "util/text.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

namespace vornix {
namespace {

TEST(CopyText, CopiesWholeCutsOrRefuses) {
  char buffer[8];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(copyText(buffer, "abcdef", 4, false), 0U);
  EXPECT_EQ(buffer[0], 'x') << "a refused copy leaves the buffer untouched";

  EXPECT_EQ(copyText(buffer, "abcdef", 4, true), 3U);
  EXPECT_STREQ(buffer, "abc");

  EXPECT_EQ(copyText(buffer, "abcdef", 7, false), 6U);
  EXPECT_STREQ(buffer, "abcdef");

  EXPECT_EQ(copyText(buffer, "", 1, false), 0U);
  EXPECT_STREQ(buffer, "");
}

TEST(CopyText, MissingArgumentsCopyNothing) {
  char buffer[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(copyText(nullptr, "abc", 4, true), 0U);
  EXPECT_EQ(copyText(buffer, nullptr, 4, true), 0U);
  EXPECT_EQ(copyText(buffer, "abc", 0, true), 0U);
  EXPECT_EQ(buffer[0], 'x');
  // A limit of one leaves room for the terminator only.
  EXPECT_EQ(copyText(buffer, "abc", 1, true), 0U);
  EXPECT_STREQ(buffer, "");
}

TEST(Substring, InclusiveRangeAndEmptyCases) {
  EXPECT_EQ(substring("abcdef", 1, 3), "bcd");
  EXPECT_EQ(substring("abcdef", 4, 100), "ef");
  EXPECT_EQ(substring("abcdef", 3, 3), "");
  EXPECT_EQ(substring("abcdef", 3, 4), "de");
  EXPECT_EQ(substring("abcdef", 6, 9), "") << "first beyond the last character";
  EXPECT_EQ(substring("abcdef", 4, 2), "");
  EXPECT_EQ(substring("abcdef", -2, 2), "") << "a negative first never reads before the text";
  EXPECT_EQ(substring("", 0, 5), "");
  EXPECT_EQ(substring(nullptr, 0, 5), "");
  EXPECT_EQ(substring("abcdef", 0, INT32_MAX), "abcdef");
}

TEST(ParseNumbers, WholeTextOrPiece) {
  EXPECT_EQ(parseInteger(" 42xyz", 0, 0), 42);
  EXPECT_EQ(parseReal("abc", 0, 0), 0.0);
  EXPECT_DOUBLE_EQ(parseReal("-2.5e1 rest", 0, 0), -25.0);
  EXPECT_EQ(parseInteger("x12345", 1, 3), 123);
  EXPECT_DOUBLE_EQ(parseReal("x1.25y", 1, 4), 1.25);
  EXPECT_EQ(parseInteger("12345", 3, 1), 0) << "last before first";
  EXPECT_EQ(parseInteger(nullptr, 0, 0), 0);
  EXPECT_EQ(parseReal(nullptr, 0, 0), 0.0);
}

TEST(ParseNumbers, IntegersClampAtTheLimits) {
  EXPECT_EQ(parseInteger("99999999999999999999", 0, 0), INT64_MAX);
  EXPECT_EQ(parseInteger("-99999999999999999999", 0, 0), INT64_MIN);
  EXPECT_EQ(parseInteger("0x1F", 0, 0), 0) << "base 10 only";
}

TEST(Trim, RemovesControlBytesAndSpacesOnly) {
  EXPECT_EQ(trim("  \t abc def\r\n"), "abc def");
  EXPECT_EQ(trim(""), "");
  EXPECT_EQ(trim(" \x01\x1f "), "");
  // Bytes of 128 and above are text, not blanks: UTF-8 letters survive.
  EXPECT_EQ(trim("Jos\xc3\xa9"), "Jos\xc3\xa9");
  EXPECT_EQ(trim("abc\xc8"), "abc\xc8");
  EXPECT_EQ(trim("\x7f"
                 "a"),
            "\x7f"
            "a")
      << "DEL (127) is not blank";
}

TEST(Split, PiecesEmptiesAndTrimming) {
  using Pieces = std::vector<std::string>;
  EXPECT_EQ(split("a||||b||", "||", false, true), (Pieces{"a", "b"}));
  EXPECT_EQ(split("a||||b||", "||", true, true), (Pieces{"a", "", "b"}));
  EXPECT_EQ(split("||a", "||", true, false), (Pieces{"", "a"}));
  EXPECT_EQ(split(" a || b ", "||", false, false), (Pieces{" a ", " b "}));
  EXPECT_EQ(split(" a ||  || b ", "||", false, true), (Pieces{"a", "", "b"}))
      << "a piece that trims to nothing is still kept";
  EXPECT_EQ(split("abc", "||", false, false), (Pieces{"abc"}));
  EXPECT_EQ(split("aaa", "aa", true, false), (Pieces{"", "a"})) << "occurrences do not overlap";
  EXPECT_TRUE(split("", "||", true, true).empty());
}

TEST(Split, EmptySeparatorGivesTheWholeText) {
  using Pieces = std::vector<std::string>;
  EXPECT_EQ(split(" a|b ", "", false, false), (Pieces{" a|b "}));
  EXPECT_EQ(split(" a|b ", "", false, true), (Pieces{"a|b"}));
  EXPECT_TRUE(split("", "", true, false).empty());
}

TEST(FindNoCase, FindsFirstMatchIgnoringCase) {
  EXPECT_EQ(findNoCase("SpeechOn", "speech"), 0U);
  EXPECT_EQ(findNoCase("the SPEECHOFF", "SpeechOff"), 4U);
  EXPECT_EQ(findNoCase("pause", "pauses"), std::nullopt);
  EXPECT_EQ(findNoCase("onon", "ON"), 0U);
  EXPECT_EQ(findNoCase("x@", "`"), 1U) << "bit 0x20 pairs the at sign with the grave accent";
}

TEST(FindNoCase, MissingOrEmptyArgumentsAndLimits) {
  EXPECT_EQ(findNoCase(nullptr, "a"), std::nullopt);
  EXPECT_EQ(findNoCase("abc", nullptr), std::nullopt);
  EXPECT_EQ(findNoCase("", "a"), std::nullopt);
  EXPECT_EQ(findNoCase("abc", ""), std::nullopt);
  EXPECT_EQ(findNoCase("abcOFF", "off", 6), 3U);
  EXPECT_EQ(findNoCase("abcOFF", "off", 5), std::nullopt) << "the match must end within the limit";
  EXPECT_EQ(findNoCase("ab", "ab", 100), 0U) << "a limit beyond the text stops at its end";
  // The text's terminator (0 | 0x20 == ' ' | 0x20) never matches a space.
  EXPECT_EQ(findNoCase("ab", "b "), std::nullopt);
}

TEST(EqualsNoCase, AsciiLettersOnly) {
  EXPECT_TRUE(equalsNoCase("AudioFrame", "audioframe"));
  EXPECT_TRUE(equalsNoCase("", ""));
  EXPECT_FALSE(equalsNoCase("abc", "abcd"));
  EXPECT_FALSE(equalsNoCase("@", "`")) << "no bit-0x20 folding of non-letters";
  EXPECT_FALSE(equalsNoCase("\xc3\xa9", "\xc3\x89")) << "bytes above 127 compare exactly";
}

}  // namespace
}  // namespace vornix
