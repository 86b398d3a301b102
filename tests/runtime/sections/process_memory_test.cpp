#include "runtime/process_memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "host/owned_section.h"
#include "runtime/sections/process_fixture.h"
#include "util/object_names.h"
#include "util/shared_memory.h"

namespace vornix {
namespace {

using test::messageOfSize;
namespace pl = process_layout;

// Appends straight into a 1000-byte data area to pin the ring rules with
// exact record sizes.
class QueueRingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bytes::store<std::uint64_t>(buffer, queue::kSize, buffer.size());
    bytes::store<std::uint32_t>(buffer, queue::kId, 7);
    bytes::store<std::uint32_t>(buffer, queue::kCounter, 0);
  }
  std::vector<std::uint8_t> record(std::uint32_t length, std::uint8_t fill) {
    std::vector<std::uint8_t> r(length, fill);
    bytes::store<std::uint32_t>(r, 0, length);
    return r;
  }
  void ring(std::uint64_t r, std::uint64_t w, std::uint64_t g) {
    bytes::store<std::uint64_t>(buffer, queue::kRead, r);
    bytes::store<std::uint64_t>(buffer, queue::kWrite, w);
    bytes::store<std::uint64_t>(buffer, queue::kGap, g);
  }
  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(queue::kHeaderSize + 1000, 0xEE);
};

TEST_F(QueueRingTest, EmptyQueueTakesTheRecordAtZero) {
  ring(0, 0, 0);
  ASSERT_EQ(queue::append(buffer, record(500, 1)), queue::AppendResult::kAppended);
  const auto s = queue::readState(buffer);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->read, 0U);
  EXPECT_EQ(s->write, 500U);
  EXPECT_EQ(buffer[queue::kHeaderSize], 500 & 0xFF);
  EXPECT_EQ(bytes::loadOr<std::uint32_t>(buffer, queue::kCounter, 0), 1U);
}

TEST_F(QueueRingTest, WrapZeroesTheTailAndKeepsItAsGap) {
  ring(600, 900, 0);
  ASSERT_EQ(queue::append(buffer, record(200, 3)), queue::AppendResult::kAppended);
  const auto s = queue::readState(buffer);
  EXPECT_EQ(s->gap, 100U);
  EXPECT_EQ(s->write, 200U);
  EXPECT_EQ(s->read, 600U);
  for (std::size_t i = 900; i < 1000; ++i) ASSERT_EQ(buffer[queue::kHeaderSize + i], 0);
  EXPECT_EQ(buffer[queue::kHeaderSize + 1], 0);  // size word 200 = 0xC8 0x00 ...
  EXPECT_EQ(buffer[queue::kHeaderSize + 4], 3);
}

TEST_F(QueueRingTest, FreeGapMustBeStrictlyLarger) {
  ring(300, 200, 0);
  const auto before = buffer;
  EXPECT_EQ(queue::append(buffer, record(100, 4)), queue::AppendResult::kNoRoom);
  EXPECT_EQ(buffer, before);
  EXPECT_EQ(queue::append(buffer, record(99, 4)), queue::AppendResult::kAppended);
  // Wrapping needs R strictly above the record too.
  ring(200, 900, 0);
  EXPECT_EQ(queue::append(buffer, record(200, 5)), queue::AppendResult::kNoRoom);
}

TEST_F(QueueRingTest, CorruptHeadersAreRefused) {
  ring(1001, 0, 0);  // R past the data area
  EXPECT_EQ(queue::append(buffer, record(10, 1)), queue::AppendResult::kCorrupt);
  ring(950, 100, 100);  // R inside the gap behind a wrap
  EXPECT_EQ(queue::append(buffer, record(10, 1)), queue::AppendResult::kCorrupt);
  ring(0, 0, 0);
  bytes::store<std::uint64_t>(buffer, queue::kSize, 303);  // smaller than its header
  EXPECT_EQ(queue::append(buffer, record(10, 1)), queue::AppendResult::kCorrupt);
  bytes::store<std::uint64_t>(buffer, queue::kSize, buffer.size() + 1);  // past the bytes
  EXPECT_EQ(queue::append(buffer, record(10, 1)), queue::AppendResult::kCorrupt);
  std::memset(buffer.data() + queue::kSemaphoreName, 'x', queue::kSemaphoreNameWidth);
  EXPECT_TRUE(queue::semaphoreName(buffer).empty());  // no terminator within its field
}

TEST_F(QueueRingTest, ReaderFollowsTheWrap) {
  ring(0, 0, 0);
  for (std::uint8_t i = 1; i <= 4; ++i) {
    ASSERT_EQ(queue::append(buffer, record(200, i)), queue::AppendResult::kAppended);
  }
  bool corrupt = false;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(queue::consume(buffer, *queue::peek(buffer, corrupt)));
  // R = 600, W = 800: this one wraps (200 left, R = 600 > 300).
  ASSERT_EQ(queue::append(buffer, record(300, 9)), queue::AppendResult::kAppended);
  std::vector<std::uint8_t> seen;
  while (auto next = queue::peek(buffer, corrupt)) {
    seen.push_back(buffer[static_cast<std::size_t>(queue::kHeaderSize + next->offset + 4)]);
    ASSERT_TRUE(queue::consume(buffer, *next));
  }
  EXPECT_FALSE(corrupt);
  EXPECT_EQ(seen, (std::vector<std::uint8_t>{4, 9}));
  const auto s = queue::readState(buffer);
  EXPECT_EQ(s->read, s->write);
  EXPECT_EQ(s->gap, 0U);
}

class ProcessMemoryTest : public test::ProcessFixture {
 protected:
  std::vector<std::vector<std::uint8_t>> drain(std::uint32_t queueId) {
    host::QueueReader reader(master->memory(), queueId);
    auto records = reader.drain();
    EXPECT_TRUE(records);
    return records ? *records : std::vector<std::vector<std::uint8_t>>{};
  }
};

TEST_F(ProcessMemoryTest, AppendCopiesTheRecordAndWakesTheReader) {
  const DataMessage m = messageOfSize(500, 1, 1);
  host::QueueReader reader(master->memory(), 5);
  ASSERT_TRUE(client->addToMsgQ(0, m));
  EXPECT_TRUE(reader.wait(0));
  EXPECT_FALSE(reader.wait(0));  // one release per message
  const auto records = reader.drain();
  ASSERT_TRUE(records);
  ASSERT_EQ(records->size(), 1U);
  EXPECT_TRUE(std::equal(m.bytes().begin(), m.bytes().end(), (*records)[0].begin()));
  const auto q = queueBytes(5);
  EXPECT_EQ(bytes::loadOr<std::uint32_t>(q, queue::kCounter, 0), 1U);
  EXPECT_EQ(client->mappedSerial(), 1U);
}

TEST_F(ProcessMemoryTest, RefusesWhatCannotBeDelivered) {
  const DataMessage m = messageOfSize(300);
  EXPECT_FALSE(client->addToMsgQ(2, m));   // slot not in use
  EXPECT_FALSE(client->addToMsgQ(64, m));  // past the process table
  {
    MutexHold hold(section->mutex(), 5000, nullptr);
    auto b = section->initialBytes();
    // Process 1 lists a queue id that the table does not hold.
    bytes::store<std::uint16_t>(b, pl::kRecords + pl::kRecordSize + pl::kQueueIds + 2, 9);
    // Queue 5: the table offset runs past the used end.
    bytes::store<std::uint64_t>(b, pl::kQueueTable + 5 * 8, b.size() - 100);
  }
  EXPECT_FALSE(client->addToMsgQ(1, m));
  EXPECT_FALSE(client->addToMsgQ(0, m));
}

TEST_F(ProcessMemoryTest, QueueWithoutItsSemaphoreGetsNothing) {
  {
    MutexHold hold(section->mutex(), 5000, nullptr);
    std::memset(queueBytes(5).data() + queue::kSemaphoreName, 'q', queue::kSemaphoreNameWidth);
  }
  EXPECT_FALSE(client->addToMsgQ(0, messageOfSize(300)));
  const auto s = queue::readState(queueBytes(5));
  EXPECT_EQ(s->write, 0U);
  EXPECT_EQ(bytes::loadOr<std::uint32_t>(queueBytes(5), queue::kCounter, 0), 0U);
}

TEST_F(ProcessMemoryTest, DeliveryHoldsWhenTheSemaphoreIsFull) {
  // The semaphore's maximum is 100: the 101st release is refused, the record
  // is delivered all the same.
  const DataMessage m = messageOfSize(200);
  setRing(2, 0, 0, 0);
  for (int i = 0; i < 101; ++i) {
    ASSERT_TRUE(client->addToMsgQ(1, m)) << i;
    if (i % 4 == 3) drain(2);
  }
  EXPECT_EQ(bytes::loadOr<std::uint32_t>(queueBytes(2), queue::kCounter, 0), 101U);
}

TEST_F(ProcessMemoryTest, FullQueueDoublesAndKeepsTheOrder) {
  // R = 400, W = 200 after a wrap, G = 0: a 200-byte record does not fit in
  // the 200-byte gap, so queue 5 is doubled first; queue 2, whose id is lower
  // but which lies behind it, moves up intact. The move is made in a copy
  // published under the next serial: the section it started from keeps every
  // byte (a writer killed part way leaves it whole).
  const DataMessage empty;  // 200 bytes
  ASSERT_EQ(empty.size(), 200U);
  const DataMessage neighbour = messageOfSize(300, 77);
  ASSERT_TRUE(client->addToMsgQ(1, neighbour));
  {
    MutexHold hold(section->mutex(), 5000, nullptr);
    auto data = queueBytes(5).subspan(queue::kHeaderSize, 1000);
    for (std::uint64_t at : {400U, 600U, 800U, 0U}) {
      std::memcpy(data.data() + at, empty.record(), 200);
      data[static_cast<std::size_t>(at + 199)] =
          static_cast<std::uint8_t>(at / 100);  // marks the order
    }
  }
  setRing(5, 400, 200, 0);
  const std::uint64_t offset2 =
      *host::QueueReader(master->memory(), 2).readU64(pl::kQueueTable + 16);
  std::uint8_t* first = openSharedMemory(familySectionName(SectionFamily::process, instance, 1));
  ASSERT_NE(first, nullptr);
  const auto length = static_cast<std::size_t>(mappedLength(first));
  const std::vector<std::uint8_t> before(first, first + length);
  ASSERT_TRUE(client->addToMsgQ(0, empty));
  EXPECT_EQ(client->mappedSerial(), 2U);
  EXPECT_EQ(master->memory().getProcessShmemSerial(), 2U);
  EXPECT_TRUE(std::equal(before.begin(), before.end(), first));
  closeSharedMemory(first, length);
  host::QueueReader reader(master->memory(), 5);
  EXPECT_EQ(*reader.readU64(pl::kQueueTable + 40) + 2 * kQueueSize, offset2 + kQueueSize);
  EXPECT_EQ(*reader.readU64(pl::kQueueTable + 16), offset2 + kQueueSize);
  const auto records = reader.drain();
  ASSERT_TRUE(records);
  std::vector<int> order;
  for (const auto& r : *records) order.push_back(r[199]);
  EXPECT_EQ(order, (std::vector<int>{4, 6, 8, 0, 0}));
  const auto moved = drain(2);
  ASSERT_EQ(moved.size(), 1U);
  EXPECT_TRUE(std::equal(neighbour.bytes().begin(), neighbour.bytes().end(), moved[0].begin()));
}

TEST_F(ProcessMemoryTest, SectionDoublesWhenAQueueCannotGrowInside) {
  // Statistics written before the grow must come over with the records (the
  // grow copies only what the old section ever wrote).
  const DataMessage small = messageOfSize(300, 9);
  ASSERT_TRUE(client->addToProcessStats(0, &small, &small));
  const DataMessage big = messageOfSize(6000, 1);
  ASSERT_TRUE(client->addToMsgQ(0, big));
  EXPECT_EQ(client->mappedSerial(), 2U);
  EXPECT_EQ(master->memory().getProcessShmemSerial(), 2U);
  EXPECT_EQ(master->memory().getProcessShmemSize(),
            2 * (pl::kQueuesStart + 2 * kQueueSize + kSlack));
  // The first section's name is gone (where the system can remove a name
  // ahead of its views); the host's own view of it still works.
  if (test::namesAreRemovedAhead()) {
    EXPECT_EQ(openSharedMemory(familySectionName(SectionFamily::process, instance, 1)), nullptr);
  }
  const auto records = drain(5);
  ASSERT_EQ(records.size(), 1U);
  EXPECT_EQ(records[0].size(), big.size());
  std::uint8_t* grown = openSharedMemory(familySectionName(SectionFamily::process, instance, 2));
  ASSERT_NE(grown, nullptr);
  const auto before = section->initialBytes();
  EXPECT_TRUE(std::equal(before.begin() + pl::kRecords, before.begin() + pl::kQueueTable,
                         grown + pl::kRecords));
  EXPECT_EQ(bytes::loadAt<std::uint64_t>(grown + pl::kRecords + pl::kInputCount), 1U);
  closeSharedMemory(grown, mappedLength(grown));
}

// The host's writers start from zero bytes whatever a crashed owner left
// under the name.
TEST(OwnedSectionTest, WhatIsFoundUnderTheNameIsCleared) {
  const std::string name = formatString("LoquantOwnedTest_%u", unsigned{test::uniqueInstanceId()});
  std::uint8_t* left = createSharedMemory(name, 10000);
  ASSERT_NE(left, nullptr);
  std::fill(left, left + 10000, std::uint8_t{0xEE});
  {
    const auto owned = host::OwnedSection::create(name, 9000);
    ASSERT_TRUE(owned);
    const auto b = owned->bytes();
    EXPECT_EQ(bytes::loadAt<std::uint64_t>(b.data()), 9000U);
    EXPECT_TRUE(std::all_of(b.begin() + 8, b.end(), [](std::uint8_t x) { return x == 0; }));
  }
  closeSharedMemory(left, mappedLength(left));
  removeSharedMemory(name);
}

TEST_F(ProcessMemoryTest, GrowBeyondTheLimitIsDenied) {
  ASSERT_TRUE(client->open());
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(client->resize(200'000'000));
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "Memory Error: Process Memory requested size 190.73 MB denied...\n");
  EXPECT_EQ(master->memory().getProcessShmemSerial(), 1U);
  EXPECT_FALSE(client->resize(1000));  // never below the current size
  EXPECT_EQ(master->memory().getProcessShmemSerial(), 1U);
}

TEST_F(ProcessMemoryTest, StatisticsKeepTenNewestFirst) {
  ASSERT_TRUE(client->addToProcessStats(0, nullptr, nullptr));
  EXPECT_FALSE(client->addToProcessStats(3, nullptr, nullptr));
  for (int i = 0; i < 12; ++i) {
    const DataMessage in = messageOfSize(300, i);
    ASSERT_TRUE(client->addToProcessStats(0, &in, nullptr));
  }
  const DataMessage large = messageOfSize(9000, 99);
  ASSERT_TRUE(client->addToProcessStats(0, nullptr, &large));
  host::QueueReader reader(master->memory(), 5);
  const std::uint64_t rec = pl::kRecords;
  EXPECT_EQ(*reader.readU64(rec + pl::kInputCount), 12U);
  EXPECT_EQ(*reader.readU64(rec + pl::kInputBytes), 12U * messageOfSize(300).size());
  EXPECT_EQ(*reader.readU64(rec + pl::kOutputCount), 1U);
  EXPECT_EQ(*reader.readU64(rec + pl::kOutputBytes), large.size());
  EXPECT_NE(*reader.readU64(rec + pl::kStatsTime), 0U);
  for (std::uint64_t slot = 0; slot < 10; ++slot) {
    const auto bytes = *reader.readBytes(rec + pl::kInputHistory + slot * 4096U, 4096);
    EXPECT_EQ(DataMessage(bytes).getInt("tag"), 11 - static_cast<std::int64_t>(slot));
  }
  const auto out = *reader.readBytes(rec + pl::kOutputHistory, 4096);
  const DataMessage stored(out);
  EXPECT_TRUE(stored.isValid());
  EXPECT_LT(stored.size(), 4096U);
}

TEST_F(ProcessMemoryTest, FailedOpenReleasesTheMutex) {
  // No section under the published serial: open fails and must not keep the
  // mutex, or every other participant would time out.
  ASSERT_TRUE(master->publishProcess(40, 1 << 20));
  test::LogCapture log;
  EXPECT_FALSE(client->addToMsgQ(0, messageOfSize(300)));
  EXPECT_EQ(log.count("Cannot open shared memory: " +
                      familySectionPrefix(SectionFamily::process, instance)),
            1U);
  bool taken = false;
  std::thread other([&] {
    Mutex same(familyMutexName(SectionFamily::process, instance));
    taken = same.enter(0, nullptr);
    if (taken) same.leave();
  });
  other.join();
  EXPECT_TRUE(taken);
  ASSERT_TRUE(master->publishProcess(1, pl::kQueuesStart + 2 * kQueueSize + kSlack));
}

TEST_F(ProcessMemoryTest, SerialWithoutSectionKeepsTheCurrentView) {
  ASSERT_TRUE(client->addToMsgQ(0, messageOfSize(300, 1)));
  const std::uint64_t size = master->memory().getProcessShmemSize();
  // A grow took serial 2 and failed to create its section: size unchanged.
  ASSERT_EQ(master->memory().incrementProcessShmemSerial(), 2U);
  EXPECT_TRUE(client->addToMsgQ(0, messageOfSize(300, 2)));
  EXPECT_EQ(client->mappedSerial(), 1U);
  // Serial 3 was published with a new size: its section should exist. Not
  // finding it is a failure, not a reason to write into a dead section.
  ASSERT_TRUE(master->publishProcess(3, size * 2));
  test::LogCapture log;
  EXPECT_FALSE(client->addToMsgQ(0, messageOfSize(300, 3)));
  EXPECT_EQ(log.count("Cannot open shared memory"), 1U);
  // It appears with a wrong mark: still a failure ("Cannot verify").
  auto replacement =
      host::OwnedSection::create(familySectionName(SectionFamily::process, instance, 3), size * 2);
  ASSERT_TRUE(replacement);
  EXPECT_FALSE(client->addToMsgQ(0, messageOfSize(300, 3)));
  EXPECT_EQ(log.count("Cannot verify shared memory"), 1U);
  // Once it is right, the next operation adopts it.
  {
    MutexHold hold(section->mutex(), 5000, nullptr);
    std::memcpy(replacement->bytes().data() + 8, section->initialBytes().data() + 8,
                static_cast<std::size_t>(size - 8));
  }
  EXPECT_TRUE(client->addToMsgQ(0, messageOfSize(300, 4)));
  EXPECT_EQ(client->mappedSerial(), 3U);
  host::QueueReader reader(master->memory(), 5);
  const auto records = reader.drain();
  ASSERT_TRUE(records);
  std::vector<std::int64_t> tags;
  for (const auto& r : *records) tags.push_back(DataMessage(r).getInt("tag"));
  EXPECT_EQ(tags, (std::vector<std::int64_t>{1, 2, 4}));
}

}  // namespace
}  // namespace vornix
