// The name index and free-slot list behind setEntry must never change what a
// write produces: every record is compared byte for byte with the same write
// done by the plain entry walk.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "message_test_support.h"
#include "runtime/data_message.h"

namespace vornix {

// Switches a message to the plain walk for every write until its record is
// replaced by a copy.
struct DataMessageTestAccess {
  static void useWalkOnly(DataMessage& m) { m.indexRefused_ = true; }
  static bool hasIndex(const DataMessage& m) { return m.index_ != nullptr; }
};

namespace {

using test::Bytes;

Bytes bytesOf(const DataMessage& m) {
  const auto span = m.bytes();
  return Bytes(span.begin(), span.end());
}

// Names from a small alphabet, in varying case, so that overwrites,
// relocations and free-slot reuse are frequent.
const std::vector<std::string> kNames = {"a",           "B",   "c",
                                         "dd",          "Ee",  "f",
                                         "gg",          "HHH", "i",
                                         "jj",          "k",   "LL",
                                         "m",           "nnn", "o",
                                         "P",           "qq",  "r",
                                         "s",           "tt",  "uuuuuuuuuuuu",
                                         "V",           "w",   "x",
                                         "yy",          "zz",  "pitch_-|1|-_",
                                         "pitch_-|2|-_"};

std::string pickName(std::mt19937& rng) {
  std::string name = kNames[rng() % kNames.size()];
  if (rng() % 3 == 0) {
    for (char& c : name) {
      if (c >= 'a' && c <= 'z')
        c = static_cast<char>(c - 32);
      else if (c >= 'A' && c <= 'Z')
        c = static_cast<char>(c + 32);
    }
  }
  return name;
}

// One random write, applied the same way to `m`.
struct Write {
  int op = 0;
  std::string name;
  std::int64_t number = 0;
  Bytes data;
  bool nameFromRecord = false;

  bool applyTo(DataMessage& m) const {
    std::string ownName = name;
    const char* useName = ownName.c_str();
    if (nameFromRecord) {
      // The name of the first live entry, read in place from the record.
      m.forEachEntry([&](const EntryView& e) {
        useName = e.name.data();
        return false;
      });
    }
    switch (op) {
      case 0:
        return m.setInt(useName, number);
      case 1:
        return m.setDouble(useName, static_cast<double>(number) / 8.0);
      case 2: {
        const std::string text(data.size(), 't');
        return m.setString(useName, text.c_str());
      }
      default:
        return m.setData(useName, data);
    }
  }
};

Write randomWrite(std::mt19937& rng) {
  Write w;
  w.op = static_cast<int>(rng() % 4);
  w.name = pickName(rng);
  w.number = static_cast<std::int64_t>(rng());
  w.data.resize(rng() % 48);
  for (auto& b : w.data) b = static_cast<std::uint8_t>(rng());
  w.nameFromRecord = rng() % 25 == 0;
  return w;
}

// Applies `steps` random writes to `subject` and, at every step, the same
// write to (a) a fresh copy of the previous record written by the walk only
// and (b) a fresh copy that builds its index from scratch. All three records
// must be identical after every step.
void runDifferential(DataMessage subject, std::uint32_t seed, int steps) {
  std::mt19937 rng(seed);
  for (int step = 0; step < steps; ++step) {
    const Bytes before = bytesOf(subject);
    DataMessage walked(before);
    DataMessageTestAccess::useWalkOnly(walked);
    DataMessage rebuilt(before);

    const Write w = randomWrite(rng);
    const bool expected = w.applyTo(walked);
    ASSERT_EQ(w.applyTo(subject), expected) << "seed " << seed << " step " << step;
    ASSERT_EQ(w.applyTo(rebuilt), expected) << "seed " << seed << " step " << step;
    const Bytes want = bytesOf(walked);
    ASSERT_EQ(bytesOf(subject), want) << "seed " << seed << " step " << step << " name " << w.name;
    ASSERT_EQ(bytesOf(rebuilt), want) << "seed " << seed << " step " << step;

    // Now and then move or replace the subject: the index must follow the
    // record or be dropped.
    switch (rng() % 30) {
      case 0: {
        DataMessage moved(std::move(subject));
        subject = std::move(moved);
        break;
      }
      case 1:
      case 2: {
        // Assign a record that differs by a few more writes, by copy or move.
        DataMessage other(bytesOf(subject));
        DataMessageTestAccess::useWalkOnly(other);
        for (int i = 0; i < 3; ++i) randomWrite(rng).applyTo(other);
        if (rng() % 2 == 0) {
          subject = other;
        } else {
          subject = std::move(other);
        }
        break;
      }
      default:
        break;
    }
  }
}

TEST(MessageIndexTest, RandomWritesGiveTheSameBytesAsTheWalk) {
  for (std::uint32_t seed = 1; seed <= 2000; ++seed) {
    DataMessage m;
    m.setCreatedTime(0);
    runDifferential(std::move(m), seed, 60);
    if (HasFatalFailure()) return;
  }
}

TEST(MessageIndexTest, TheIndexIsBuiltForLargeRecordsAndUsedForThem) {
  DataMessage m;
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(m.setInt(i, "pitchvalue", i));
  EXPECT_TRUE(DataMessageTestAccess::hasIndex(m));
  for (int i = 0; i < 40; ++i) EXPECT_EQ(m.getInt(i, "pitchvalue"), i);
  EXPECT_EQ(m.userCount(), 40u);

  DataMessage copy(m);
  EXPECT_FALSE(DataMessageTestAccess::hasIndex(copy));
  DataMessage moved(std::move(m));
  EXPECT_TRUE(DataMessageTestAccess::hasIndex(moved));
}

// Records from elsewhere that the index cannot describe: the walk writes them
// (every duplicate given up, bytes after a damaged entry cut off), and the
// results still match it exactly.
TEST(MessageIndexTest, RecordsWithDuplicatesOrDamageAreWrittenAsByTheWalk) {
  Bytes withDuplicates = test::header();
  for (int i = 0; i < 12; ++i) {
    test::appendEntry(withDuplicates, "n" + std::to_string(i % 9), 0x50005, test::int64Bytes(i));
  }
  test::put32(withDuplicates, 172, 12);
  test::seal(withDuplicates);

  Bytes damaged = test::header();
  for (int i = 0; i < 12; ++i) {
    test::appendEntry(damaged, "c" + std::to_string(i), 0x50005, test::int64Bytes(i));
  }
  const std::size_t damagedAt = damaged.size();
  test::appendEntry(damaged, "x", 0x50005, test::int64Bytes(1));
  test::put32(damaged, damagedAt, 0xFFFF);  // runs past the record
  test::appendEntry(damaged, "after", 0x50005, test::int64Bytes(2));
  test::put32(damaged, 172, 14);
  test::seal(damaged);

  Bytes withFreeSlots = test::header();
  for (int i = 0; i < 14; ++i) {
    test::appendEntry(withFreeSlots, "s" + std::to_string(i), 0x50005,
                      Bytes(static_cast<std::size_t>(8 + 4 * i), 0),
                      i % 3 == 0 ? 0x10001u : 0x20002u);
  }
  test::put32(withFreeSlots, 172, 9);
  test::seal(withFreeSlots);

  std::uint32_t seed = 100;
  for (const Bytes* raw : {&withDuplicates, &damaged, &withFreeSlots}) {
    for (int round = 0; round < 10; ++round) {
      runDifferential(DataMessage(*raw), seed++, 60);
      if (HasFatalFailure()) return;
    }
  }
}

TEST(MessageIndexTest, ADuplicateInTheRecordIsGivenUpOnTheFirstWrite) {
  Bytes raw = test::header();
  for (int i = 0; i < 10; ++i)
    test::appendEntry(raw, "e" + std::to_string(i), 0x50005, test::int64Bytes(i));
  test::appendEntry(raw, "E3", 0x50005, test::int64Bytes(33));
  test::put32(raw, 172, 11);
  test::seal(raw);
  DataMessage m(raw);
  ASSERT_TRUE(m.setString("e3", "a text longer than eight bytes"));
  EXPECT_STREQ(m.getString("E3"), "a text longer than eight bytes");
  int live = 0;
  m.forEachEntry([&](const EntryView& e) {
    live += e.name == "e3" || e.name == "E3";
    return true;
  });
  EXPECT_EQ(live, 1);
}

}  // namespace
}  // namespace vornix
