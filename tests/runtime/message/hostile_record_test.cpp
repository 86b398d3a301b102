// Damaged records: every getter answers "absent", nothing reads outside the
// record, and a write never trusts a damaged value head.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "message_test_support.h"
#include "runtime/data_message.h"

namespace vornix {
namespace {

using test::Bytes;

void expectAllAbsent(const DataMessage& m, const char* name) {
  bool found = true;
  EXPECT_EQ(m.getInt(name, &found), 0);
  EXPECT_FALSE(found);
  EXPECT_EQ(m.getDouble(name, &found), 0.0);
  EXPECT_FALSE(found);
  EXPECT_FALSE(m.hasDouble(name));
  EXPECT_EQ(m.getString(name), nullptr);
  std::uint32_t length = 1;
  EXPECT_EQ(m.getData(name, length, &found), nullptr);
  EXPECT_FALSE(found);
}

std::vector<std::string> liveNames(const DataMessage& m) {
  std::vector<std::string> names;
  m.forEachEntry([&names, &m](const EntryView& e) {
    EXPECT_LE(e.offset + e.value.size(), m.size());
    names.emplace_back(e.name);
    return true;
  });
  return names;
}

// A record with one good entry "ok" followed by `tail`, sealed.
DataMessage adoptWithTail(const Bytes& tail) {
  Bytes raw = test::header();
  test::appendEntry(raw, "ok", 0x50005, test::int64Bytes(1));
  raw.insert(raw.end(), tail.begin(), tail.end());
  test::seal(raw);
  return DataMessage(raw);
}

TEST(HostileRecordTest, TheWalkEndsAtAnEntryThatDoesNotFitItsRecord) {
  // Entry sizes 0, below 17 and past the record; a name with no NUL inside
  // the entry; a name whose NUL leaves no room for the value head.
  std::vector<Bytes> tails;
  Bytes t(20, 'n');
  test::put32(t, 0, 0);
  tails.push_back(t);
  test::put32(t, 0, 16);
  tails.push_back(t);
  test::put32(t, 0, 21);
  test::put32(t, 4, 0x20002);
  tails.push_back(t);
  test::put32(t, 0, 20);  // "nnnn..." with no NUL within 20 bytes
  tails.push_back(t);
  Bytes late(20, 'n');
  test::put32(late, 0, 20);
  test::put32(late, 4, 0x20002);
  late[12] = 0;  // name of 4: needs 4 + 9 + 8 = 21 > 20
  tails.push_back(late);
  Bytes half{7, 0, 0};  // fewer than 8 bytes left
  tails.push_back(half);
  for (const Bytes& tail : tails) {
    const DataMessage m = adoptWithTail(tail);
    EXPECT_EQ(liveNames(m), std::vector<std::string>{"ok"});
    EXPECT_EQ(m.getInt("ok"), 1);
    expectAllAbsent(m, "nnnn");
    expectAllAbsent(m, "");
  }
}

TEST(HostileRecordTest, DamagedValueHeadsReadAsAbsent) {
  Bytes raw = test::header();
  test::appendEntry(raw, "small", 0x50005, test::int64Bytes(3));
  test::put32(raw, 200 + 8 + 6, 7);  // value size below 8
  const std::size_t past = raw.size();
  test::appendEntry(raw, "past", 0x60006, test::int64Bytes(3));
  test::put32(raw, past + 8 + 5, 17);                             // one byte past its entry
  test::appendEntry(raw, "short", 0x50005, Bytes{1, 2, 3, 4});    // an integer of 4 bytes
  test::appendEntry(raw, "text", 0x20002, Bytes{'a', 'b', 'c'});  // no terminator
  test::appendEntry(raw, "good", 0x20002, Bytes{'o', 'k', 0});
  test::seal(raw);
  const DataMessage m(raw);
  for (const char* name : {"small", "past", "short", "text"}) expectAllAbsent(m, name);
  EXPECT_STREQ(m.getString("good"), "ok");
  int damaged = 0;
  m.forEachEntry([&damaged](const EntryView& e) {
    if (e.kind == RecordKind{}) {
      ++damaged;
      EXPECT_TRUE(e.value.empty());
    }
    return true;
  });
  EXPECT_EQ(damaged, 3);  // "small", "past" and the 4-byte integer "short"
}

TEST(HostileRecordTest, AWriteOverADamagedValueRelocatesInsteadOfTrustingIt) {
  Bytes raw = test::header();
  test::appendEntry(raw, "v", 0x50005, test::int64Bytes(3));
  test::put32(raw, 200 + 8 + 2, 0xFFFFFFF0u);  // claims a huge value
  test::put32(raw, 168, 26);
  test::put32(raw, 172, 1);
  test::seal(raw);
  DataMessage m(raw);
  ASSERT_TRUE(m.setString("v", "a text that would not fit the entry"));
  EXPECT_STREQ(m.getString("V"), "a text that would not fit the entry");
  EXPECT_EQ(bytes::loadAt<std::uint32_t>(m.record() + 204), 0x10001u);
  EXPECT_EQ(m.userCount(), 1u);
}

TEST(HostileRecordTest, CountersNeverWrapBelowZero) {
  Bytes raw = test::header();
  test::appendEntry(raw, "v", 0x50005, test::int64Bytes(3));
  test::seal(raw);  // userSize and userCount left at 0
  DataMessage m(raw);
  ASSERT_TRUE(m.setString("v", "longer than eight bytes"));
  EXPECT_EQ(m.userCount(), 1u);
  EXPECT_EQ(m.userSize(), 1u + 24u + 17u);
}

TEST(HostileRecordTest, AnAppendAfterADamagedEntryCutsTheUnreachableTailOff) {
  Bytes tail(40, 'z');
  test::put32(tail, 0, 5);  // an entry of 5 bytes ends the walk
  const DataMessage adopted = adoptWithTail(tail);
  DataMessage m(adopted);
  ASSERT_TRUE(m.setInt("later", 9));
  EXPECT_EQ(m.getInt("later"), 9);
  EXPECT_EQ(m.getInt("ok"), 1);
  EXPECT_EQ(m.size(), 200u + 27u + 5u + 25u);
  EXPECT_EQ(liveNames(m), (std::vector<std::string>{"ok", "later"}));
}

TEST(HostileRecordTest, ARelocatingWriteGivesUpEveryCopyOfItsName) {
  Bytes raw = test::header();
  test::appendEntry(raw, "free", 0x20002, Bytes(30, 'f'), 0x10001);
  test::appendEntry(raw, "dup", 0x50005, test::int64Bytes(1));
  test::appendEntry(raw, "DUP", 0x50005, test::int64Bytes(2));
  test::put32(raw, 172, 2);
  test::seal(raw);
  DataMessage m(raw);
  ASSERT_TRUE(m.setString("Dup", "longer than eight"));  // reuses the free slot at 200
  EXPECT_EQ(m.findEntry("dup"), m.record() + 200);
  EXPECT_STREQ(m.getString("dup"), "longer than eight");
  EXPECT_EQ(liveNames(m), std::vector<std::string>{"Dup"});
  EXPECT_EQ(m.userCount(), 1u);
}

}  // namespace
}  // namespace vornix
