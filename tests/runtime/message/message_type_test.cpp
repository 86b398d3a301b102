// Message types: wire bytes, matching and printable names.
#include "runtime/message_type.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace vornix {
namespace {

MessageType typeOf(std::initializer_list<std::uint16_t> levels) {
  MessageType t;
  std::size_t i = 0;
  for (const auto level : levels) t.levels[i++] = level;
  return t;
}

LevelNameLookup names(std::map<std::uint16_t, std::string> table) {
  return [table = std::move(table)](std::uint16_t level, std::string& name) {
    const auto it = table.find(level);
    if (it == table.end()) return false;
    name = it->second;
    return true;
  };
}

TEST(MessageTypeTest, WireBytesAreLittleEndianLevels) {
  const MessageType t = typeOf({0x0102, 0xFFFF, 3});
  std::array<std::uint8_t, 32> raw{};
  t.toBytes(raw);
  EXPECT_EQ(raw[0], 0x02);
  EXPECT_EQ(raw[1], 0x01);
  EXPECT_EQ(raw[2], 0xFF);
  EXPECT_EQ(raw[4], 3);
  EXPECT_EQ(MessageType::fromBytes(raw), t);
  const auto control = controlType();
  EXPECT_TRUE(control.isControl());
  EXPECT_EQ(control, typeOf({1, 10297}));
}

TEST(MessageTypeTest, MatchingHonoursTheWildcardOnEitherSide) {
  EXPECT_TRUE(typeMatches(typeOf({5, 6}), typeOf({5, 6})));
  EXPECT_TRUE(typeMatches(typeOf({5, 6}), typeOf({5, 0xFFFF})));
  EXPECT_TRUE(typeMatches(typeOf({5, 0xFFFF}), typeOf({5, 6})));
  EXPECT_FALSE(typeMatches(typeOf({5, 6}), typeOf({5, 7})));
  EXPECT_FALSE(typeMatches(typeOf({5, 6}), typeOf({5})));
  EXPECT_FALSE(typeMatches(typeOf({}), typeOf({})));
  MessageType any;
  any.levels.fill(0xFFFF);
  EXPECT_FALSE(typeMatches(typeOf({}), any));
  EXPECT_TRUE(typeMatches(typeOf({9}), any));
}

TEST(MessageTypeTest, PrintableNames) {
  const auto lookup = names({{7, "Audio"}, {9, "Frame"}, {3, "never used"}});
  EXPECT_EQ(typeName(typeOf({}), lookup), "NOTYPE");
  EXPECT_EQ(typeName(typeOf({1, 3, 4}), lookup), "ZelControlMessage 3.4");
  EXPECT_EQ(typeName(controlType(), nullptr), "ZelControlMessage 10297.0");
  EXPECT_EQ(typeName(typeOf({7, 0xFFFF, 9}), lookup), "Audio.*.Frame");
  EXPECT_EQ(typeName(typeOf({7, 0, 9}), lookup), "Audio");
  EXPECT_EQ(typeName(typeOf({7, 8, 9}), lookup), "Audio..Frame");  // 8 has no name
  EXPECT_EQ(typeName(typeOf({7, 9}), nullptr), ".");
  EXPECT_EQ(levelName(0, lookup), "-");
  EXPECT_EQ(levelName(0xFFFF, lookup), "*");
  EXPECT_EQ(levelName(8, lookup), "");
}

TEST(MessageTypeTest, SixteenLevelsPrintSixteenNamesAndStop) {
  MessageType t;
  for (std::size_t i = 0; i < MessageType::kLevels; ++i)
    t.levels[i] = static_cast<std::uint16_t>(i + 2);
  int calls = 0;
  const LevelNameLookup lookup = [&calls](std::uint16_t level, std::string& name) {
    ++calls;
    name = "L" + std::to_string(level);
    return true;
  };
  EXPECT_EQ(typeName(t, lookup), "L2.L3.L4.L5.L6.L7.L8.L9.L10.L11.L12.L13.L14.L15.L16.L17");
  EXPECT_EQ(calls, 16);
}

TEST(MessageTypeTest, OverlongLevelNamesAreCutToTheLookupBuffer) {
  const auto lookup = names({{5, std::string(400, 'n')}});
  EXPECT_EQ(levelName(5, lookup).size(), 255u);
}

}  // namespace
}  // namespace vornix
