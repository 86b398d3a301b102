#include "runtime/temporal_memory.h"

#include <gtest/gtest.h>

#include "runtime/sections/temporal_fixture.h"
#include "support/instance_objects.h"
#include "util/object_names.h"
#include "util/shared_memory.h"

namespace vornix {
namespace {

using test::liveMessage;
namespace tl = temporal_layout;

class TemporalMemoryTest : public test::TemporalFixture {};

TEST_F(TemporalMemoryTest, ExpiredMessagesAreRefused) {
  test::LogCapture log;
  std::uint64_t id = 0;
  EXPECT_FALSE(store->insertMessage(liveMessage(300, 0), id));
  DataMessage m = liveMessage(300, 5);
  m.setCreatedTime(currentTime() - 5);  // expiry == now
  EXPECT_FALSE(store->insertMessage(m, id));
  EXPECT_EQ(log.count("Could not add message to TemporalMemory, expired already"), 2U);
  m.setTtl(6);
  EXPECT_TRUE(store->insertMessage(m, id));
  EXPECT_EQ(log.lines().size(), 2U);
}

TEST_F(TemporalMemoryTest, MessageGoesToTheFirstBinNeedingFourBlocksOrLess) {
  struct Case {
    std::uint32_t size;
    std::uint32_t bin;
    std::uint32_t blocks;
  };
  std::uint32_t slot = 0;
  for (const Case c : {Case{1000, 0, 4}, Case{1100, 1, 2}, Case{30000, 2, 8}}) {
    const DataMessage m = liveMessage(c.size, 1'000'000);
    ASSERT_GT(m.size(), c.size - 16);  // the message is as large as asked
    ASSERT_LE(m.size(), c.size);
    const std::uint64_t id = insert(m);
    EXPECT_EQ(id & 0xFFFFFFFFU, slot);
    EXPECT_EQ((id >> 32) & 0xFFFFU, 1U);
    EXPECT_EQ(id >> 48, kTag);
    EXPECT_EQ(slotField<std::uint32_t>(slot, tl::kSlotBin), c.bin);
    EXPECT_EQ(slotField<std::uint32_t>(slot, tl::kSlotBlocks), c.blocks);
    const auto stored = section->readMessage(id);
    ASSERT_TRUE(stored);
    EXPECT_TRUE(std::equal(m.bytes().begin(), m.bytes().end(), stored->begin()));
    ++slot;
  }
  test::expectConsistent(totals());
}

TEST_F(TemporalMemoryTest, ExactLastRunIsUsedWithoutGrowing) {
  for (std::uint32_t i = 0; i < 4; ++i) {
    insert(liveMessage(1000, 1'000'000));
    EXPECT_EQ(slotField<std::uint32_t>(i, tl::kSlotFirstBlock), 4 * i);
  }
  const auto t = totals();
  EXPECT_EQ(t.serial, 1U);
  EXPECT_EQ(t.binBlocksInUse, 16U);
  test::expectConsistent(t);
}

TEST_F(TemporalMemoryTest, NoFreeSlotGrowsTheSlotsFourfold) {
  std::vector<std::uint64_t> ids;
  for (int i = 0; i < 8; ++i) ids.push_back(insert(liveMessage(300, 1'000'000, i)));
  test::LogCapture log;
  ids.push_back(insert(liveMessage(300, 1'000'000, 8)));
  const auto t = totals();
  EXPECT_EQ(t.slotCount, 40U);
  EXPECT_EQ(t.serial, 2U);
  // Bin 0 was full (8 messages of 2 blocks), so it grew along.
  EXPECT_EQ(log.count("Temporal Memory slots grown by: 32 and 1 bins storage by"), 1U);
  // The replaced section's name is gone (where the system can remove a name
  // ahead of the views that the host still has).
  if (test::namesAreRemovedAhead()) {
    EXPECT_EQ(openSharedMemory(familySectionName(SectionFamily::temporal, instance, 1)), nullptr);
  }
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const auto stored = section->readMessage(ids[i]);
    ASSERT_TRUE(stored) << i;
    EXPECT_EQ(DataMessage(*stored).getInt("tag"), static_cast<std::int64_t>(i));
  }
  test::expectConsistent(t);
}

TEST_F(TemporalMemoryTest, BinGrowAddsSlotsByTheirUse) {
  struct Case {
    std::uint32_t slots;
    std::uint32_t blocks;
    std::uint32_t slotsAfter;
    std::uint32_t blocksAfter;
  };
  // 200-byte messages take one 256-byte block; a grow of the message's bin
  // gives max(4 c, c + trunc(200 / 256 * 20)) blocks.
  for (const Case c : {Case{10, 4, 10, 19}, Case{5, 4, 15, 19}, Case{6, 5, 30, 20}}) {
    build({c.slots, {{256, c.blocks}}, 1 << 20, 0, 0});
    for (std::uint32_t i = 0; i <= c.blocks; ++i) insert(liveMessage(200, 1'000'000));
    const auto t = totals();
    EXPECT_EQ(t.slotCount, c.slotsAfter) << c.slots;
    EXPECT_EQ(t.slotsInUse, c.blocks + 1);
    std::uint32_t blockCount = 0;
    section->withSection([&](std::span<std::uint8_t> b) {
      const std::uint64_t bin =
          tl::kHeaderSize + (c.slotsAfter + 31) / 32 * 4 + c.slotsAfter * 56ULL;
      blockCount = bytes::loadOr<std::uint32_t>(b, bin + tl::kBinBlockCount, 0);
    });
    EXPECT_EQ(blockCount, c.blocksAfter) << c.slots;
    test::expectConsistent(t);
  }
}

TEST_F(TemporalMemoryTest, GrowPastTheMaximumLeavesTheStoreAsItWas) {
  build({8, {{256, 64}}, host::TemporalSection::sizeOf({8, {{256, 64}}, 0, 0, 0}), 0, 0});
  for (int i = 0; i < 8; ++i) insert(liveMessage(200, 1'000'000));
  const auto before = totals();
  test::LogCapture log;
  std::uint64_t id = 0;
  EXPECT_FALSE(store->insertMessage(liveMessage(200, 1'000'000), id));
  EXPECT_EQ(log.count("Temporal Memory hit maximum size"), 1U);
  EXPECT_EQ(log.count("Could not add message to TemporalMemory, slot resize error"), 1U);
  const auto after = totals();
  EXPECT_EQ(after.serial, 1U);
  EXPECT_EQ(after.sectionSize, before.sectionSize);
  EXPECT_EQ(after.slotsInUse, 8U);
}

TEST_F(TemporalMemoryTest, ReusedSlotGetsANewUseCounter) {
  const std::uint64_t first = insert(liveMessage(300, 10));
  clock.advance(10);  // the first expires exactly now
  const std::uint64_t second = insert(liveMessage(300, 10));
  EXPECT_EQ(first & 0xFFFFFFFFU, second & 0xFFFFFFFFU);
  EXPECT_NE(first, second);
  EXPECT_FALSE(section->readMessage(first));
  EXPECT_TRUE(section->readMessage(second));
  const auto t = totals();
  EXPECT_EQ(t.slotsInUse, 1U);
  test::expectConsistent(t);
}

TEST_F(TemporalMemoryTest, ExpiryScanWaitsForTheCheckWindow) {
  insert(liveMessage(300, 10));
  section->withSection([&](std::span<std::uint8_t> b) {
    bytes::store<std::uint64_t>(b, tl::kCheckTime, currentTime() - 100);
    bytes::store<std::uint64_t>(b, tl::kCheckSpan, 50);
  });
  clock.advance(20);
  insert(liveMessage(300, 10));
  EXPECT_EQ(totals().slotsInUse, 2U);  // now is past T + span: no scan
  section->withSection(
      [&](std::span<std::uint8_t> b) { bytes::store<std::uint64_t>(b, tl::kCheckTime, 0); });
  insert(liveMessage(300, 10));
  EXPECT_EQ(totals().slotsInUse, 2U);  // the first is freed, the third takes its slot
}

TEST_F(TemporalMemoryTest, InconsistentCountIsReportedOncePerInsertion) {
  const auto claim = [&](std::uint32_t inUse) {
    section->withSection([&](std::span<std::uint8_t> b) {
      bytes::store<std::uint32_t>(b, tl::kSlotsInUse, inUse);
      bytes::store<std::uint32_t>(b, tl::kHeaderSize, 0xFFFFFFFFU);  // every slot free
    });
  };
  test::LogCapture log;
  claim(3);
  insert(liveMessage(300, 1'000'000));
  EXPECT_EQ(log.count("TemporalMemory::checkSlots inconsistency, no slots found, but header "
                      "claims 3 slots in use..."),
            1U);
  claim(5);
  insert(liveMessage(300, 1'000'000));
  EXPECT_EQ(log.count("checkSlots inconsistency"), 2U);
}

TEST_F(TemporalMemoryTest, UnusableStoreFailsTheInsertion) {
  insert(liveMessage(300, 10));
  std::vector<std::uint8_t> good;
  section->withSection([&](std::span<std::uint8_t> b) { good.assign(b.begin(), b.end()); });
  const std::uint64_t bin1 = tl::kHeaderSize + 4 + 8 * 56 + 40 + 4 + 16 * 256;
  const auto corrupt = [&](const std::function<void(std::span<std::uint8_t>)>& damage) {
    section->withSection([&](std::span<std::uint8_t> b) {
      std::copy(good.begin(), good.end(), b.begin());
      damage(b);
    });
    std::uint64_t id = 0;
    return store->insertMessage(liveMessage(300, 1'000'000), id);
  };
  clock.advance(10);  // the stored message is due to expire
  EXPECT_FALSE(
      corrupt([&](auto b) { bytes::store<std::uint32_t>(b, bin1 + tl::kBinBlockSize, 0); }));
  EXPECT_FALSE(corrupt([&](auto b) { bytes::store<std::uint64_t>(b, bin1 + tl::kBinTotal, 40); }));
  EXPECT_FALSE(corrupt([&](auto b) {
    bytes::store<std::uint32_t>(b, tl::kHeaderSize + 4 + tl::kSlotBin, 3);  // only 3 bins
  }));
  EXPECT_FALSE(corrupt([&](auto b) {
    bytes::store<std::uint32_t>(b, tl::kHeaderSize + 4 + tl::kSlotFirstBlock, 15);  // 15 + 2 > 16
  }));
  EXPECT_FALSE(corrupt([&](auto b) { bytes::store<std::uint32_t>(b, tl::kSlotCount, 1U << 30); }));
  EXPECT_TRUE(corrupt([](auto) {}));
  test::expectConsistent(totals());
}

TEST_F(TemporalMemoryTest, ClientsFollowEachOthersGrowAndSurviveADeadSerial) {
  TemporalMemory other(section->owner(), 7);
  const std::uint64_t mine = insert(liveMessage(300, 1'000'000, 1));
  for (int i = 0; i < 8; ++i) insert(liveMessage(300, 1'000'000, 2));  // grows to serial 2
  std::uint64_t theirs = 0;
  ASSERT_TRUE(other.insertMessage(liveMessage(300, 1'000'000, 3), theirs));
  EXPECT_EQ(theirs >> 48, 7U);
  EXPECT_EQ(DataMessage(*section->readMessage(mine)).getInt("tag"), 1);
  EXPECT_EQ(DataMessage(*section->readMessage(theirs)).getInt("tag"), 3);

  // A grow that took serial 3 and could not create its section.
  {
    MutexHold hold(section->mutex(), 5000, nullptr);
    section->owner().nextSerial();
  }
  std::uint64_t id = 0;
  EXPECT_TRUE(other.insertMessage(liveMessage(300, 1'000'000, 4), id));
  EXPECT_TRUE(section->readMessage(id));
  // Serial 4 published with a new size but no section: a failure, not a
  // write into the replaced section.
  {
    MutexHold hold(section->mutex(), 5000, nullptr);
    section->owner().nextSerial();
    section->owner().setSize(1 << 22);
  }
  EXPECT_FALSE(other.insertMessage(liveMessage(300, 1'000'000, 5), id));
  EXPECT_FALSE(store->insertMessage(liveMessage(300, 1'000'000, 5), id));
  // Serial 2's section is current in fact but no longer named by the owner.
  EXPECT_TRUE(removeSharedMemory(familySectionName(SectionFamily::temporal, instance, 2)));
}

}  // namespace
}  // namespace vornix
