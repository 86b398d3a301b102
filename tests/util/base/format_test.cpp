#include "util/format.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "util/os.h"

namespace vornix {
namespace {

struct FreeText {
  void operator()(char* text) const noexcept { std::free(text); }
};

// Reaches the va_list forms with formats the compiler's check would refuse
// as literals (an empty format).
std::string stringViaList(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::string out = formatStringV(format, arguments);
  va_end(arguments);
  return out;
}

FormattedText textViaList(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  FormattedText out = formatTextV(format, arguments);
  va_end(arguments);
  return out;
}

TEST(FormatText, WholeTextOfAnyLength) {
  const std::string longPiece(10'000, 'q');
  const FormattedText text = formatText("<%s|%d>", longPiece.c_str(), 7);
  const std::unique_ptr<char, FreeText> owner(text.text);
  ASSERT_NE(text.text, nullptr);
  EXPECT_EQ(text.length, longPiece.size() + 4);
  EXPECT_EQ(std::string(text.text), "<" + longPiece + "|7>");
}

TEST(FormatText, EmptyFormatOrResultGivesNull) {
  const FormattedText emptyResult = formatText("%s", "");
  EXPECT_EQ(emptyResult.text, nullptr);
  EXPECT_EQ(emptyResult.length, 0U);
  const FormattedText emptyFormat = textViaList("");
  EXPECT_EQ(emptyFormat.text, nullptr);
  EXPECT_EQ(emptyFormat.length, 0U);
  EXPECT_EQ(textViaList(nullptr).text, nullptr);
}

TEST(FormatString, FormatsAndHandlesEmptyFormat) {
  EXPECT_EQ(formatString("%s=%u", "count", 12U), "count=12");
  EXPECT_EQ(stringViaList(""), "");
  EXPECT_EQ(stringViaList(nullptr), "");
  EXPECT_EQ(formatString("%s", ""), "");
  const std::string longPiece(5'000, 'z');
  EXPECT_EQ(formatString("%s!", longPiece.c_str()), longPiece + "!");
}

TEST(FormatInto, FitsOrFailsCleanly) {
  char buffer[8];
  EXPECT_EQ(formatInto(buffer, sizeof buffer, "%d-%d", 12, 34), 5);
  EXPECT_STREQ(buffer, "12-34");
  EXPECT_EQ(formatInto(buffer, sizeof buffer, "%s", "1234567"), 7);
  EXPECT_EQ(formatInto(buffer, sizeof buffer, "%s", "12345678"), -1) << "no room for the NUL";
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(formatInto(nullptr, 0, "%d", 1), -1);
}

TEST(ByteSizeText, UnitsTakeOverAt512) {
  EXPECT_EQ(byteSizeText(0), "0.00 B");
  EXPECT_EQ(byteSizeText(511), "511.00 B");
  EXPECT_EQ(byteSizeText(512), "0.50 KB");
  EXPECT_EQ(byteSizeText(600), "0.59 KB");
  EXPECT_EQ(byteSizeText(524'288), "0.50 MB");
  EXPECT_EQ(byteSizeText(1'000'000), "0.95 MB");
  EXPECT_EQ(byteSizeText(10'000'000'000.0), "9.31 GB");
  EXPECT_EQ(byteSizeText(549'755'813'888.0), "0.50 TB");
  // Far beyond 64 characters: the text still comes out whole.
  const std::string huge = byteSizeText(1e300);
  EXPECT_EQ(huge.substr(0, 7), "9094947");
  EXPECT_GT(huge.size(), 250U);
  EXPECT_EQ(huge.substr(huge.size() - 3), " TB");
}

TEST(ErrorText, CodeWithoutSystemTextIsNamedWithLineBreak) {
  EXPECT_EQ(os::errorText(987'654), "Unknown error 987654\n");
  EXPECT_EQ(os::errorText(-3), "Unknown error -3\n");
}

}  // namespace
}  // namespace vornix
