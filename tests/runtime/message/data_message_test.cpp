// Entries, header fields and the growth of a message record.
#include "runtime/data_message.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "message_test_support.h"

namespace vornix {
namespace {

TEST(DataMessageTest, NewRecordIsTheBareHeader) {
  const Micros before = currentTime();
  DataMessage m;
  ASSERT_TRUE(m.isValid());
  EXPECT_EQ(m.size(), 200u);
  EXPECT_EQ(m.bytes().size(), 200u);
  EXPECT_EQ(bytes::loadAt<std::uint32_t>(m.record() + 4), 0x290029u);
  EXPECT_EQ(m.version(), 10u);
  EXPECT_EQ(m.userCount(), 0u);
  EXPECT_EQ(m.userSize(), 0u);
  EXPECT_GE(m.getCreatedTime(), before);
  EXPECT_TRUE(m.getType().empty());
  // Everything else is zero, host fields included.
  for (std::size_t i = 32; i < 200; ++i) EXPECT_EQ(m.record()[i], 0) << "offset " << i;
}

TEST(DataMessageTest, IntegerEntryAGivesTheDocumentedSizesAndOverwritesInPlace) {
  DataMessage m;
  ASSERT_TRUE(m.setInt("A", 5));
  EXPECT_EQ(m.size(), 226u);
  EXPECT_EQ(m.userCount(), 1u);
  EXPECT_EQ(m.userSize(), 26u);
  ASSERT_TRUE(m.setInt("A", -77));
  EXPECT_EQ(m.size(), 226u);
  EXPECT_EQ(m.userCount(), 1u);
  EXPECT_EQ(m.userSize(), 26u);
  EXPECT_EQ(m.getInt("A"), -77);
}

TEST(DataMessageTest, ALongerTextRelocatesAndTheFreeSlotIsReused) {
  DataMessage m;
  ASSERT_TRUE(m.setString("T", "abc"));  // entry size 1 + 4 + 17 = 22
  ASSERT_EQ(m.size(), 222u);
  ASSERT_TRUE(m.setString("T", "abcdefgh"));  // 9 bytes with the NUL: no room in 12
  EXPECT_EQ(m.userCount(), 1u);
  EXPECT_EQ(m.userSize(), 27u);  // 22 given up, 27 written
  EXPECT_EQ(m.size(), 222u + 27u);
  EXPECT_STREQ(m.getString("T"), "abcdefgh");
  EXPECT_EQ(bytes::loadAt<std::uint32_t>(m.record() + 204), 0x10001u);  // old slot is free

  ASSERT_TRUE(m.setString("U", "xy"));  // needs 21: fits the 22-byte slot
  EXPECT_EQ(m.size(), 249u);
  EXPECT_EQ(m.findEntry("U"), m.record() + 200);
  EXPECT_EQ(bytes::loadAt<std::uint32_t>(m.record() + 200), 22u);  // keeps the slot's size
  EXPECT_STREQ(m.getString("U"), "xy");
  EXPECT_EQ(m.userCount(), 2u);

  std::vector<std::string> names;
  m.forEachEntry([&names](const EntryView& e) {
    names.emplace_back(e.name);
    return true;
  });
  EXPECT_EQ(names, (std::vector<std::string>{"U", "T"}));
}

TEST(DataMessageTest, GettersRefuseAnotherKindRatherThanConvert) {
  DataMessage m;
  ASSERT_TRUE(m.setDouble("D", 2.5));
  bool found = true;
  EXPECT_EQ(m.getInt("D", &found), 0);
  EXPECT_FALSE(found);
  EXPECT_TRUE(m.hasDouble("D"));
  EXPECT_EQ(m.getDouble("D", &found), 2.5);
  EXPECT_TRUE(found);
  EXPECT_EQ(m.getString("D"), nullptr);
  std::uint32_t length = 99;
  EXPECT_EQ(m.getData("D", length), nullptr);
  EXPECT_EQ(length, 0u);
  ASSERT_TRUE(m.setInt("I", 1));
  EXPECT_FALSE(m.hasDouble("I"));
  EXPECT_FALSE(m.hasDouble("missing"));
  EXPECT_EQ(m.getDouble("missing", &found), 0.0);
  EXPECT_FALSE(found);
}

TEST(DataMessageTest, NamesMatchWithoutRegardToCase) {
  DataMessage m;
  ASSERT_TRUE(m.setString("Name", "value"));
  EXPECT_STREQ(m.getString("NAME"), "value");
  EXPECT_STREQ(m.getString("name"), "value");
  EXPECT_EQ(m.getString("Nam"), nullptr);
  EXPECT_EQ(m.getString("Names"), nullptr);
  ASSERT_TRUE(m.setString("nAME", "other"));  // the same entry
  EXPECT_EQ(m.userCount(), 1u);
  EXPECT_STREQ(m.getString("Name"), "other");
}

TEST(DataMessageTest, IndexedNamesCarryTheIndex) {
  EXPECT_EQ(DataMessage::indexedName("x", -1), "x_-|-1|-_");
  EXPECT_EQ(DataMessage::indexedName("Pitch", 3), "Pitch_-|3|-_");
  EXPECT_EQ(DataMessage::indexedName("p", INT64_MIN), "p_-|-9223372036854775808|-_");
  DataMessage m;
  ASSERT_TRUE(m.setInt(3, "Pitch", 30));
  ASSERT_TRUE(m.setDouble(-1, "x", 0.5));
  EXPECT_EQ(m.getInt("pitch_-|3|-_"), 30);
  EXPECT_EQ(m.getInt(3, "PITCH"), 30);
  bool found = true;
  EXPECT_EQ(m.getInt(4, "Pitch", &found), 0);
  EXPECT_FALSE(found);
  EXPECT_EQ(m.getDouble(-1, "x"), 0.5);
  EXPECT_FALSE(m.setInt(1, nullptr, 1));
  EXPECT_EQ(m.getInt(1, nullptr, &found), 0);
  EXPECT_FALSE(found);
}

TEST(DataMessageTest, TextAndDataValues) {
  DataMessage m;
  EXPECT_FALSE(m.setString(nullptr, "x"));
  EXPECT_FALSE(m.setString("x", nullptr));
  ASSERT_TRUE(m.setString("empty", ""));
  EXPECT_STREQ(m.getString("empty"), "");
  const std::vector<std::uint8_t> data{1, 2, 0, 4, 5};
  ASSERT_TRUE(m.setData("blob", data));
  std::uint32_t length = 0;
  bool found = false;
  const std::uint8_t* p = m.getData("BLOB", length, &found);
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(found);
  EXPECT_EQ(std::vector<std::uint8_t>(p, p + length), data);
  ASSERT_TRUE(m.setData("none", {}));
  EXPECT_NE(m.getData("none", length, &found), nullptr);
  EXPECT_EQ(length, 0u);
  EXPECT_TRUE(found);
  EXPECT_FALSE(m.setEntry("bad", nullptr, 4, RecordKind::kData));
  EXPECT_FALSE(m.setEntry(nullptr, "abc", 3, RecordKind::kData));
}

TEST(DataMessageTest, WritesMayTakeTheirBytesFromTheSameRecord) {
  DataMessage m;
  ASSERT_TRUE(m.setString("source", "a text long enough to move things around"));
  // The value and the name both point into the record, which grows.
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(m.setString(("copy" + std::to_string(i)).c_str(), m.getString("source")));
  }
  EXPECT_STREQ(m.getString("copy49"), "a text long enough to move things around");
  std::string firstName;
  m.forEachEntry([&](const EntryView& e) {
    firstName = std::string(e.name);
    return false;
  });
  const char* nameInRecord = reinterpret_cast<const char*>(m.findEntry("source") + 8);
  ASSERT_TRUE(m.setString(nameInRecord, "a longer text that must relocate the entry, yes"));
  EXPECT_STREQ(m.getString("source"), "a longer text that must relocate the entry, yes");
  EXPECT_EQ(firstName, "source");
}

TEST(DataMessageTest, HeaderFieldsAndChainInfo) {
  DataMessage m;
  ASSERT_TRUE(m.setMemoryId(0x1122334455667788ull));
  ASSERT_TRUE(m.setCreatedTime(42));
  ASSERT_TRUE(m.setSentTime(43));
  ASSERT_TRUE(m.setTtl(44));
  ASSERT_TRUE(m.setDropFlags(1));
  ASSERT_TRUE(m.setFromId(7));
  ASSERT_TRUE(m.setToId(8));
  ASSERT_TRUE(m.setPostTag(9));
  MessageType type;
  type.levels = {3, 4, 5};
  ASSERT_TRUE(m.setType(type));
  ASSERT_TRUE(m.setContext(controlType()));
  ASSERT_TRUE(m.setChainInfo(10, 20, 0xFFFFFFFFu, 5, 3));
  EXPECT_EQ(bytes::loadAt<std::uint64_t>(m.record() + 16), 0x1122334455667788ull);
  EXPECT_EQ(m.getCreatedTime(), 42u);
  EXPECT_EQ(m.sentTime(), 43u);
  EXPECT_EQ(m.ttl(), 44u);
  EXPECT_EQ(m.record()[66], 1);
  EXPECT_EQ(m.fromId(), 7u);
  EXPECT_EQ(bytes::loadAt<std::uint32_t>(m.record() + 72), 8u);
  EXPECT_EQ(bytes::loadAt<std::uint32_t>(m.record() + 108), 9u);
  EXPECT_EQ(bytes::loadAt<std::uint16_t>(m.record() + 78), 4u);
  EXPECT_EQ(m.getType(), type);
  EXPECT_EQ(bytes::loadAt<std::uint16_t>(m.record() + 138), 10297u);
  EXPECT_EQ(m.getContext(), controlType());
  EXPECT_EQ(m.stepCpuTime(), 10u);
  EXPECT_EQ(m.stepWallTime(), 20u);
  EXPECT_EQ(m.chainCpuTime(), 9u);  // wraps around at 32 bits
  EXPECT_EQ(m.chainWallTime(), 25u);
  EXPECT_EQ(m.chainLength(), 3u);
}

TEST(DataMessageTest, CopiesOwnTheirBytesAndMovedFromMessagesRefuse) {
  DataMessage a;
  ASSERT_TRUE(a.setInt("n", 1));
  DataMessage b(a);
  ASSERT_TRUE(b.setInt("n", 2));
  EXPECT_EQ(a.getInt("n"), 1);
  EXPECT_EQ(b.getInt("n"), 2);
  b = a;
  EXPECT_EQ(b.getInt("n"), 1);
  EXPECT_NE(a.record(), b.record());

  DataMessage c(std::move(a));
  EXPECT_EQ(c.getInt("n"), 1);
  EXPECT_EQ(a.record(), nullptr);  // NOLINT(bugprone-use-after-move): the documented state
  EXPECT_FALSE(a.isValid());
  EXPECT_EQ(a.size(), 0u);
  EXPECT_TRUE(a.bytes().empty());
  EXPECT_FALSE(a.setInt("n", 3));
  EXPECT_FALSE(a.setCreatedTime(1));
  EXPECT_EQ(a.findEntry("n"), nullptr);
  EXPECT_TRUE(a.getType().empty());
  DataMessage d(a);
  EXPECT_EQ(d.record(), nullptr);
  c = std::move(b);
  EXPECT_EQ(c.getInt("n"), 1);
}

TEST(DataMessageTest, ManyAppendedEntriesKeepTheSizeWordExact) {
  DataMessage m;
  std::uint64_t expected = 200;
  for (int i = 0; i < 1000; ++i) {
    const std::string name = "entry" + std::to_string(i);
    ASSERT_TRUE(m.setInt(name.c_str(), i));
    expected += name.size() + 25;
  }
  EXPECT_EQ(m.size(), expected);
  EXPECT_EQ(m.userCount(), 1000u);
  EXPECT_EQ(m.userSize(), expected - 200);
  EXPECT_EQ(m.getInt("ENTRY999"), 999);
  EXPECT_EQ(m.getInt("entry0"), 0);
  DataMessage copy(m);  // copies exactly size() bytes
  EXPECT_EQ(copy.size(), m.size());
  EXPECT_EQ(std::memcmp(copy.record(), m.record(), m.size()), 0);
}

}  // namespace
}  // namespace vornix
