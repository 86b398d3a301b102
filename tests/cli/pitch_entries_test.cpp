// The pitch list of a "SpeechOff" message read in one walk of its record
// finds exactly what the entry-by-entry lookups find: the first live entry of
// each name, without regard to case, of the right kind, up to the first gap.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

// Part of the command, not of a library the suite links: compiled in here.
#include "../../cli/pitch_entries.cpp"  // NOLINT(bugprone-suspicious-include)

namespace loquant::test {
namespace {

using cli::IndexedPitch;
using cli::readPitchList;
using vornix::DataMessage;

// What the lookups by name give, entry by entry: the reference.
std::vector<IndexedPitch> byLookups(const DataMessage& m, std::int64_t count) {
  std::vector<IndexedPitch> list;
  for (std::int64_t i = 0; i < count; ++i) {
    bool hasValue = false, hasTime = false;
    const double hz = m.getDouble(i, "pitchvalue", &hasValue);
    const std::int64_t ms = m.getInt(i, "pitchtime", &hasTime);
    if (!hasValue || !hasTime) break;
    list.push_back({ms, hz});
  }
  return list;
}

void expectSame(const std::vector<IndexedPitch>& a, const std::vector<IndexedPitch>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].timeMs, b[i].timeMs) << i;
    EXPECT_EQ(a[i].hz, b[i].hz) << i;
  }
}

TEST(PitchList, OneWalkFindsWhatTheLookupsFind) {
  DataMessage m;
  // Written out of order, times before values, and one name in capitals.
  for (std::int64_t i = 11; i >= 0; --i) m.setInt(i, "pitchtime", 1000 + 10 * i);
  for (std::int64_t i = 0; i < 12; ++i) {
    m.setDouble(i, i == 4 ? "PitchValue" : "pitchvalue", 100.0 + static_cast<double>(i));
  }
  const std::vector<IndexedPitch> all = readPitchList(m, 12);
  ASSERT_EQ(all.size(), 12U);
  EXPECT_EQ(all[4].hz, 104.0);
  EXPECT_EQ(all[11].timeMs, 1110);
  expectSame(all, byLookups(m, 12));
  expectSame(readPitchList(m, 5), byLookups(m, 5));  // the count limits the list
  EXPECT_TRUE(readPitchList(m, 0).empty());
  EXPECT_TRUE(readPitchList(m, -3).empty());
}

TEST(PitchList, StopsAtTheFirstGapOrUnusableEntryAndTrustsNoCount) {
  DataMessage m;
  for (std::int64_t i = 0; i < 8; ++i) {
    m.setDouble(i, "pitchvalue", 120.0);
    m.setInt(i, "pitchtime", i);
  }
  // Index 5's value is a text now: the lookup of a real finds none there.
  m.setString(DataMessage::indexedName("pitchvalue", 5).c_str(), "high");
  // Names that only look indexed are not entries of the list.
  m.setDouble("pitchvalue_-|03|-_", 1.0);
  m.setDouble("pitchvalue_-|3|-_x", 1.0);
  const std::vector<IndexedPitch> list = readPitchList(m, 8);
  EXPECT_EQ(list.size(), 5U);
  expectSame(list, byLookups(m, 8));
  // A count far beyond what the record holds is bounded by the record.
  EXPECT_EQ(readPitchList(m, INT64_MAX).size(), 5U);
}

}  // namespace
}  // namespace loquant::test
