// Adoption of raw record bytes: current layout, older layout, refusals.
#include <gtest/gtest.h>

#include <cstring>

#include "message_test_support.h"
#include "runtime/data_message.h"

namespace vornix {
namespace {

using test::Bytes;
using test::LogCapture;

void expectEmptyUnstamped(const DataMessage& m) {
  ASSERT_TRUE(m.isValid());
  EXPECT_EQ(m.size(), 200u);
  EXPECT_EQ(m.version(), 10u);
  EXPECT_EQ(m.getCreatedTime(), 0u);
  EXPECT_EQ(m.userCount(), 0u);
  EXPECT_EQ(m.findEntry("A"), nullptr);
}

TEST(AdoptionTest, AValidRecordIsCopiedByteForByte) {
  DataMessage source;
  source.setInt("A", 11);
  source.setString("text", "hello");
  source.setChainInfo(5, 100, 0, 0, 2);
  Bytes raw(source.bytes().begin(), source.bytes().end());
  raw.resize(raw.size() + 64, 0xEE);  // bytes after the record are not part of it
  const DataMessage adopted(raw);
  ASSERT_EQ(adopted.size(), source.size());
  EXPECT_EQ(std::memcmp(adopted.record(), source.record(), source.size()), 0);
  EXPECT_NE(adopted.record(), raw.data());
  EXPECT_EQ(adopted.getInt("a"), 11);
}

TEST(AdoptionTest, UnsupportedVersionsAreLoggedAndRefused) {
  for (const std::uint16_t version : {std::uint16_t{9}, std::uint16_t{11}}) {
    LogCapture log;
    Bytes raw = test::header(200, version);
    test::put64(raw, 24, 12345);
    const DataMessage m(raw);
    expectEmptyUnstamped(m);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].text.find("*** DataMessage format version " + std::to_string(version) +
                                 " is not supported, only up to version 10 ***"),
              std::string::npos)
        << lines[0].text;
    EXPECT_EQ(lines[0].source, 0u);
    EXPECT_EQ(lines[0].category, 0u);
    EXPECT_EQ(lines[0].level, 0u);
  }
}

TEST(AdoptionTest, OtherKindsAndTooFewBytesGiveAnEmptyRecordSilently) {
  LogCapture log;
  Bytes logEntry = test::header(200);
  test::put32(logEntry, 4, 0x160016);
  expectEmptyUnstamped(DataMessage(logEntry));
  Bytes zeros(300, 0);
  expectEmptyUnstamped(DataMessage(zeros));
  expectEmptyUnstamped(DataMessage(std::span<const std::uint8_t>{}));
  const Bytes three{200, 0, 0};
  expectEmptyUnstamped(DataMessage(three));
  EXPECT_TRUE(log.lines().empty());
}

TEST(AdoptionTest, SizeWordBelowTheHeaderOrBeyondTheBytesIsRefusedWithALogLine) {
  struct Case {
    std::uint32_t kind;
    std::uint32_t sizeWord;
    std::size_t available;
  };
  const Case cases[] = {
      {0x290029, 199, 400},                                // below the header
      {0x290029, 0, 400},                                  //
      {0x290029, 401, 400},                                // beyond what is there
      {0x290029, 0xFFFFFFFFu, 400}, {0x290029, 250, 150},  // truncated mid-header
      {0x140014, 167, 400},                                // older layout shorter than its header
      {0x140014, 500, 400},                                //
  };
  for (const Case& c : cases) {
    LogCapture log;
    Bytes raw = test::header(0);
    raw.resize(c.available, 0);
    test::put32(raw, 0, c.sizeWord);
    test::put32(raw, 4, c.kind);
    expectEmptyUnstamped(DataMessage(raw));
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u) << c.sizeWord;
    EXPECT_NE(lines[0].text.find("*** DataMessage record of " + std::to_string(c.sizeWord) +
                                 " bytes refused: " + std::to_string(c.available) +
                                 " bytes available ***"),
              std::string::npos)
        << lines[0].text;
  }
}

TEST(AdoptionTest, CpuTimeCorrectionIsAppliedToTheCopyOnly) {
  Bytes raw = test::header();
  test::put32(raw, 176, 1001);  // stepCpuTime
  test::put32(raw, 180, 100);   // stepWallTime: 10 x 100 < 1001
  test::put32(raw, 184, 5000);  // chainCpuTime
  const Bytes before = raw;
  const DataMessage m(raw);
  EXPECT_EQ(m.stepCpuTime(), ~1001u);
  EXPECT_EQ(m.chainCpuTime(), ~5000u);
  EXPECT_EQ(m.stepWallTime(), 100u);
  EXPECT_EQ(raw, before);  // the source bytes are not ours to change

  test::put32(raw, 176, 1000);  // exactly 10 x: kept
  EXPECT_EQ(DataMessage(raw).stepCpuTime(), 1000u);

  // 10 x 500,000,000 overflows 32 bits; in 64 bits it is well above the CPU
  // time, so nothing is corrected.
  test::put32(raw, 176, 4'000'000'000u);
  test::put32(raw, 180, 500'000'000u);
  const DataMessage large(raw);
  EXPECT_EQ(large.stepCpuTime(), 4'000'000'000u);
  EXPECT_EQ(large.chainCpuTime(), 5000u);
}

TEST(AdoptionTest, OlderLayoutIsConvertedWithItsSizeNotItsUserCounter) {
  struct Move {
    std::size_t from, to, width;
  };
  const Move moves[] = {{8, 16, 8},    {16, 24, 8},    {24, 32, 8},   {32, 40, 8},   {40, 48, 2},
                        {42, 50, 2},   {48, 56, 8},    {56, 64, 2},   {58, 66, 1},   {60, 68, 4},
                        {64, 72, 4},   {68, 76, 32},   {100, 108, 4}, {104, 112, 2}, {112, 120, 8},
                        {120, 128, 8}, {128, 136, 32}, {160, 168, 4}, {164, 172, 4}};
  Bytes old(168, 0);
  for (std::size_t i = 8; i < 168; ++i)
    old[i] = static_cast<std::uint8_t>(i);  // a distinct pattern
  test::put32(old, 4, 0x140014);
  test::put32(old, 160, 3);  // userSize: a counter, deliberately wrong as a length
  test::appendEntry(old, "A", 0x50005, test::int64Bytes(-5));
  test::appendEntry(old, "Text", 0x20002, Bytes{'h', 'i', 0});
  test::seal(old);

  const DataMessage m(old);
  ASSERT_TRUE(m.isValid());
  EXPECT_EQ(m.size(), old.size() - 168 + 200);
  EXPECT_EQ(m.version(), 10u);
  for (const Move& move : moves) {
    EXPECT_EQ(std::memcmp(m.record() + move.to, old.data() + move.from, move.width), 0)
        << "old offset " << move.from;
  }
  EXPECT_EQ(m.userSize(), 3u);
  for (std::size_t i = 176; i < 200; ++i) EXPECT_EQ(m.record()[i], 0) << "offset " << i;
  EXPECT_EQ(m.getInt("a"), -5);
  EXPECT_STREQ(m.getString("TEXT"), "hi");

  Bytes bare(168, 0);
  test::put32(bare, 4, 0x140014);
  test::seal(bare);
  EXPECT_EQ(DataMessage(bare).size(), 200u);
}

}  // namespace
}  // namespace vornix
