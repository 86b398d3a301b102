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
  Bytes old(168, 0);
  test::put32(old, 4, 0x140014);
  test::put64(old, 8, 0x0102030405060708ull);  // memoryId
  test::put64(old, 16, 777);                   // createdTime
  test::put64(old, 24, 778);                   // sentTime
  test::put64(old, 32, 0xAAAA);                // host field
  test::put16(old, 40, 0x4040);
  test::put16(old, 42, 0x4242);
  test::put64(old, 48, 999);  // ttl
  test::put16(old, 56, 0x5656);
  old[58] = 1;  // dropFlags
  test::put32(old, 60, 61);
  test::put32(old, 64, 65);
  test::put16(old, 68, 7);  // type level 0
  test::put16(old, 70, 8);
  test::put32(old, 100, 0xBEEF);  // postTag
  test::put16(old, 104, 0x1044);
  test::put64(old, 112, 0x1112);
  test::put64(old, 120, 0x1120);
  test::put16(old, 128, 1);  // context: control
  test::put16(old, 130, 2);
  test::put32(old, 160, 3);  // userSize: a counter, deliberately wrong as a length
  test::put32(old, 164, 2);  // userCount
  test::appendEntry(old, "A", 0x50005, test::int64Bytes(-5));
  test::appendEntry(old, "Text", 0x20002, Bytes{'h', 'i', 0});
  test::seal(old);

  const DataMessage m(old);
  ASSERT_TRUE(m.isValid());
  EXPECT_EQ(m.size(), old.size() - 168 + 200);
  EXPECT_EQ(m.version(), 10u);
  EXPECT_EQ(m.memoryId(), 0x0102030405060708ull);
  EXPECT_EQ(m.getCreatedTime(), 777u);
  EXPECT_EQ(m.sentTime(), 778u);
  EXPECT_EQ(bytes::loadAt<std::uint64_t>(m.record() + 40), 0xAAAAu);
  EXPECT_EQ(bytes::loadAt<std::uint16_t>(m.record() + 48), 0x4040u);
  EXPECT_EQ(bytes::loadAt<std::uint16_t>(m.record() + 50), 0x4242u);
  EXPECT_EQ(m.ttl(), 999u);
  EXPECT_EQ(bytes::loadAt<std::uint16_t>(m.record() + 64), 0x5656u);
  EXPECT_EQ(m.dropFlags(), 1u);
  EXPECT_EQ(m.fromId(), 61u);
  EXPECT_EQ(m.toId(), 65u);
  EXPECT_EQ(m.getType().levels[0], 7u);
  EXPECT_EQ(m.getType().levels[1], 8u);
  EXPECT_EQ(m.postTag(), 0xBEEFu);
  EXPECT_EQ(bytes::loadAt<std::uint16_t>(m.record() + 112), 0x1044u);
  EXPECT_EQ(bytes::loadAt<std::uint64_t>(m.record() + 120), 0x1112u);
  EXPECT_EQ(bytes::loadAt<std::uint64_t>(m.record() + 128), 0x1120u);
  EXPECT_TRUE(m.getContext().isControl());
  EXPECT_EQ(m.userSize(), 3u);
  EXPECT_EQ(m.userCount(), 2u);
  EXPECT_EQ(m.chainLength(), 0u);
  EXPECT_EQ(m.getInt("a"), -5);
  EXPECT_STREQ(m.getString("TEXT"), "hi");

  Bytes bare(168, 0);
  test::put32(bare, 4, 0x140014);
  test::seal(bare);
  const DataMessage empty(bare);
  EXPECT_EQ(empty.size(), 200u);
}

}  // namespace
}  // namespace vornix
