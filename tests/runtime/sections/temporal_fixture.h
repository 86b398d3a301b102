// Helpers of the temporal-store tests: a settable clock, a store fixture and
// the check that the header's counters equal the sums over slots and bins.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "host/temporal_section.h"
#include "runtime/sections/process_fixture.h"
#include "runtime/temporal_memory.h"
#include "util/clock.h"

namespace vornix::test {

class SettableClock final : public ClockSource {
 public:
  Micros now() override { return now_.load(); }
  void set(Micros t) { now_.store(t); }
  void advance(Micros d) { now_.fetch_add(d); }

 private:
  std::atomic<Micros> now_{kUnixEpochMicros + 1'700'000'000'000'000ULL};
};

inline void expectConsistent(const host::TemporalTotals& t) {
  EXPECT_EQ(t.slotsInUse, t.usedSlots);
  EXPECT_EQ(t.bytesInUse, t.allocatedInSlots);
  EXPECT_EQ(t.bytesInUse, t.binBytesInUse);
  EXPECT_EQ(t.binBlocksInUse, t.blocksInSlots);
  EXPECT_EQ(t.binBlocksInUse, t.clearBlockBits);
}

// A message of about `size` bytes that lives `ttl` microseconds from now.
inline DataMessage liveMessage(std::uint32_t size, std::uint64_t ttl, std::int64_t tag = 0) {
  DataMessage m = messageOfSize(size, tag);
  m.setCreatedTime(currentTime());
  m.setTtl(ttl);
  return m;
}

class TemporalFixture : public ::testing::Test {
 protected:
  static constexpr std::uint16_t kTag = 0x1234;

  void SetUp() override {
    setClockSource(&clock);
    build({8, {{256, 16}, {1024, 8}, {4096, 16}}, 4 << 20, 0, 0});
  }
  void build(const host::TemporalLayout& layout) {
    store.reset();
    section.reset();
    section = host::TemporalSection::create(instance, layout);
    ASSERT_NE(section, nullptr);
    store = std::make_unique<TemporalMemory>(section->owner(), kTag);
  }
  void TearDown() override {
    store.reset();
    section.reset();
    setClockSource(nullptr);
    EXPECT_EQ(leftoverObjects(instance), std::vector<std::string>{});
  }

  std::uint64_t insert(const DataMessage& m) {
    std::uint64_t id = 0;
    EXPECT_TRUE(store->insertMessage(m, id));
    return id;
  }
  // A field of the slot with `index` in the current section.
  template <class T>
  T slotField(std::uint32_t index, std::uint64_t field) {
    T value{};
    section->withSection([&](std::span<std::uint8_t> b) {
      const std::uint64_t bitmapBytes =
          bytes::loadOr<std::uint32_t>(b, temporal_layout::kSlotBitmapBytes, 0);
      bytes::load<T>(b, temporal_layout::kHeaderSize + bitmapBytes + index * 56ULL + field, value);
    });
    return value;
  }
  host::TemporalTotals totals() {
    const auto t = section->totals();
    EXPECT_TRUE(t);
    return t ? *t : host::TemporalTotals{};
  }

  SettableClock clock;
  std::uint16_t instance = uniqueInstanceId();
  std::unique_ptr<host::TemporalSection> section;
  std::unique_ptr<TemporalMemory> store;
};

}  // namespace vornix::test
