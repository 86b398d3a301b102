// The limited copy: byte copies under the limit, trimmed copies over it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "message_test_support.h"
#include "runtime/data_message.h"

namespace vornix {
namespace {

struct Seen {
  std::string name;
  RecordKind kind;
  std::uint64_t value8;  // the 8-byte value when there is one
};

std::vector<Seen> entries(const DataMessage& m) {
  std::vector<Seen> seen;
  m.forEachEntry([&seen](const EntryView& e) {
    std::uint64_t v = 0;
    if (e.value.size() == 8) v = bytes::loadAt<std::uint64_t>(e.value.data());
    seen.push_back({std::string(e.name), e.kind, v});
    return true;
  });
  return seen;
}

TEST(CopyLimitedTest, AMessageWithinTheLimitIsCopiedByteForByte) {
  DataMessage m;
  m.setInt("a", 1);
  m.setString("b", "text");
  m.setTtl(5);
  for (const std::uint32_t limit : {m.size(), m.size() + 1, 4096u}) {
    const DataMessage copy(m, limit);
    ASSERT_EQ(copy.size(), m.size());
    EXPECT_EQ(std::memcmp(copy.record(), m.record(), m.size()), 0);
  }
}

TEST(CopyLimitedTest, ALargeMessageIsTrimmedBelowTheLimit) {
  DataMessage m;
  MessageType type;
  type.levels[0] = 12;
  m.setType(type);
  for (int i = 0; i < 35; ++i) {
    m.setString(("text" + std::to_string(i)).c_str(), std::string(200, 'x').c_str());
  }
  m.setInt("count", 42);
  m.setDouble("ratio", 0.25);
  const std::vector<std::uint8_t> blob(2000, 7);
  m.setData("blob", blob);
  ASSERT_GE(m.size(), 10'000u);
  ASSERT_EQ(m.userCount(), 38u);

  const DataMessage copy(m, 4096);
  EXPECT_LT(copy.size(), 4096u);
  EXPECT_EQ(copy.getType(), type);
  EXPECT_EQ(std::memcmp(copy.record() + 8, m.record() + 8, 160), 0);  // header carried

  const auto seen = entries(copy);
  ASSERT_GE(seen.size(), 6u);
  EXPECT_EQ(seen[0].name, "OS");
  EXPECT_EQ(seen[0].kind, RecordKind::kTrimRecord);
  EXPECT_EQ(seen[0].value8, m.size());
  EXPECT_EQ(seen[1].name, "US");
  EXPECT_EQ(seen[1].value8, m.userSize());
  EXPECT_EQ(seen[2].name, "UC");
  EXPECT_EQ(seen[2].value8, 38u);
  // Small values first, in record order, then as many texts as fit.
  EXPECT_EQ(seen[3].name, "count");
  EXPECT_EQ(copy.getInt("count"), 42);
  EXPECT_EQ(seen[4].name, "ratio");
  EXPECT_EQ(copy.getDouble("ratio"), 0.25);
  EXPECT_EQ(seen[5].name, "blob");
  EXPECT_EQ(seen[5].kind, RecordKind::kDataOmitted);
  EXPECT_EQ(seen[5].value8, 2000u);
  EXPECT_STREQ(copy.getString("text0"), std::string(200, 'x').c_str());

  std::size_t whole = 0, omitted = 0;
  for (const Seen& s : seen) {
    if (s.kind == RecordKind::kText) ++whole;
    if (s.kind == RecordKind::kTextOmitted) {
      ++omitted;
      EXPECT_EQ(s.value8, 201u);
    }
  }
  EXPECT_GT(whole, 0u);
  // Every source entry is accounted for: written, abbreviated or counted.
  EXPECT_EQ(copy.userCount(), 3u + 38u);
  EXPECT_GE(copy.userSize(), 81u);
  EXPECT_EQ(seen.size(), 3u + 3u + whole + omitted);
}

TEST(CopyLimitedTest, ANestedMessageBecomesADataOmittedLength) {
  DataMessage inner;
  inner.setInt("x", 1);
  DataMessage m;
  m.setEntry("inner", inner.record(), inner.size(), RecordKind::kMessage);
  m.setString("pad", std::string(600, 'p').c_str());
  const DataMessage copy(m, 400);
  EXPECT_LT(copy.size(), 400u);
  bool seenInner = false;
  for (const Seen& s : entries(copy)) {
    if (s.name != "inner") continue;
    seenInner = true;
    EXPECT_EQ(s.kind, RecordKind::kDataOmitted);
    EXPECT_EQ(s.value8, inner.size());
  }
  EXPECT_TRUE(seenInner);
}

TEST(CopyLimitedTest, SourceEntriesNamedLikeTrimRecordsDoNotOverwriteThem) {
  DataMessage m;
  m.setInt("os", 1);
  m.setInt("uc", 2);
  m.setString("pad", std::string(600, 'p').c_str());
  const DataMessage copy(m, 500);
  const auto seen = entries(copy);
  ASSERT_GE(seen.size(), 5u);
  EXPECT_EQ(seen[0].kind, RecordKind::kTrimRecord);
  EXPECT_EQ(seen[0].value8, m.size());
  EXPECT_EQ(seen[2].kind, RecordKind::kTrimRecord);
  EXPECT_EQ(seen[3].name, "os");
  EXPECT_EQ(seen[3].kind, RecordKind::kInteger);
}

TEST(CopyLimitedTest, TightLimitsKeepTheHeaderAlone) {
  DataMessage m;
  m.setString("pad", std::string(600, 'p').c_str());
  // No room for the trim records: the header with the source's counters.
  for (const std::uint32_t limit : {201u, 280u, 281u}) {
    const DataMessage tight(m, limit);
    EXPECT_EQ(tight.size(), 200u) << limit;
    EXPECT_EQ(tight.userCount(), 1u);
    EXPECT_EQ(tight.userSize(), m.userSize());
  }
  // A limit below the header is taken as 200.
  const DataMessage tiny(m, 10);
  EXPECT_EQ(tiny.size(), 200u);
  // Room for the trim records only: the text is counted, not written.
  const DataMessage trims(m, 282);
  EXPECT_EQ(trims.size(), 281u);
  EXPECT_EQ(trims.userCount(), 4u);
  EXPECT_EQ(trims.userSize(), 81u + 3u + 17u + 601u);
  // Room for a text-omitted entry but not the text.
  const DataMessage abbreviated(m, 320);
  const auto seen = entries(abbreviated);
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[3].kind, RecordKind::kTextOmitted);
  EXPECT_EQ(seen[3].value8, 601u);
}

TEST(CopyLimitedTest, ACopyOfNothingIsAnEmptyUnstampedRecord) {
  DataMessage gone;
  DataMessage taker(std::move(gone));
  const DataMessage copy(gone, 4096);  // NOLINT(bugprone-use-after-move)
  ASSERT_TRUE(copy.isValid());
  EXPECT_EQ(copy.size(), 200u);
  EXPECT_EQ(copy.getCreatedTime(), 0u);
}

}  // namespace
}  // namespace vornix
