// Processes killed (SIGKILL) at random points while they append to a message
// queue, insert into the temporal store and update process statistics. After
// every kill the surviving process must go on working, every message whose
// append had returned must be in the queue exactly once and in order, every
// stored message whose insertion had returned must read back, the counters
// may differ by at most the one operation that was cut short, and a process
// attaching afterwards must work.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/master_section.h"
#include "host/process_section.h"
#include "host/temporal_section.h"
#include "reliability/fork_support_posix.h"
#include "runtime/data_message.h"
#include "runtime/message_queue.h"
#include "runtime/process_memory.h"
#include "runtime/temporal_memory.h"
#include "util/clock.h"
#include "util/format.h"
#include "util/log.h"
#include "util/mutex.h"
#include "util/object_names.h"
#include "util/shared_memory.h"

namespace vornix {
namespace {

namespace pl = process_layout;

constexpr int kKills = 100;
// Far more work than the latest kill point (1.5 ms) needs, so that the kill
// lands inside it on a fast machine too (a child's step takes a few µs).
constexpr int kStepsPerChild = 4000;
constexpr std::uint32_t kMaxInserts = 512;
constexpr std::uint16_t kTag = 0x77;
constexpr std::uint64_t kQueueId = 5, kStatsProcess = 1;

// What a child reports after each operation returned; read by the parent
// after the kill.
struct Progress {
  std::atomic<int> started{0};
  std::atomic<std::int64_t> appended{-1};  // sequence of the last append that returned true
  std::atomic<std::uint32_t> inserts{0};
  std::atomic<std::uint64_t> ids[kMaxInserts];
  std::atomic<std::int64_t> idSeqs[kMaxInserts];
  std::atomic<std::uint64_t> statsDone{0};
};

DataMessage numbered(std::int64_t seq, std::uint32_t pad) {
  DataMessage m;
  m.setInt("seq", seq);
  m.setData("pad", std::vector<std::uint8_t>(pad, static_cast<std::uint8_t>(seq)));
  return m;
}

DataMessage stored(std::int64_t seq, std::uint32_t pad) {
  DataMessage m = numbered(seq, pad);
  m.setCreatedTime(currentTime());
  m.setTtl(30'000'000);
  return m;
}

// A section operation may fail once right after a kill: the waiter that finds
// the dead holder's mutex reports it abandoned and frees it.
bool twice(const std::function<bool()>& operation) {
  return operation() || operation();
}

class KilledProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Abandoned-mutex and growth lines are expected here.
    setLogLineSink([](std::uint32_t, std::uint8_t, std::uint8_t, std::string_view) {});
    ASSERT_TRUE(progress);
    master = host::MasterSection::create(instance);
    ASSERT_NE(master, nullptr);
    const std::uint64_t queueSize = queue::kHeaderSize + 16384;
    section =
        host::ProcessSection::create(*master, pl::kQueuesStart + 2 * queueSize + 4096,
                                     {{0, {0, kQueueId, 0, 0}}, {1, {0, 6, 0, 0}}},
                                     {{kQueueId, queueSize, queueSemaphoreName(instance, kQueueId)},
                                      {6, queueSize, queueSemaphoreName(instance, 6)}});
    ASSERT_NE(section, nullptr);
    temporal =
        host::TemporalSection::create(instance, {16, {{512, 64}, {4096, 8}}, 64 << 20, 0, 0});
    ASSERT_NE(temporal, nullptr);
    process = std::make_unique<ProcessMemory>(master->memory());
    store = std::make_unique<TemporalMemory>(temporal->owner(), kTag);
    reader = std::make_unique<host::QueueReader>(master->memory(), kQueueId);
  }

  void TearDown() override {
    reader.reset();
    store.reset();
    process.reset();
    temporal.reset();
    section.reset();
    master.reset();
    // A grow cut short by a kill may leave its new section unpublished; the
    // next start of the instance clears such names, as this does.
    for (const SectionFamily family : {SectionFamily::process, SectionFamily::temporal}) {
      removeNamedObjectsWithPrefix(sectionFullName(familySectionPrefix(family, instance)));
    }
    removeNamedMutex(masterMutexName(instance));
    EXPECT_TRUE(test::objectsOfInstance(instance).empty());
    setLogLineSink({});
  }

  // Runs in the forked child: appends, inserts and statistics from `firstSeq`
  // on, reporting each operation after it returned. Never returns.
  [[noreturn]] void childWork(std::int64_t firstSeq, int steps) {
    ProcessMemory own(master->memory());
    const auto owner = host::SharedTemporalOwner::open(instance);
    if (!owner) _exit(2);
    TemporalMemory ownStore(*owner, kTag);
    progress->started = 1;
    for (int k = 0; k < steps; ++k) {
      const std::int64_t seq = firstSeq + k;
      const auto pad = static_cast<std::uint32_t>(100 + (seq * 37) % 250);
      const DataMessage m = numbered(seq, pad);
      if (!twice([&] { return own.addToMsgQ(0, m); })) _exit(3);
      progress->appended = seq;
      std::uint64_t id = 0;
      if (!twice([&] { return ownStore.insertMessage(stored(seq, pad), id); })) _exit(4);
      const std::uint32_t n = progress->inserts.load();
      if (n < kMaxInserts) {
        progress->ids[n] = id;
        progress->idSeqs[n] = seq;
        progress->inserts = n + 1;
      }
      if (!twice([&] { return own.addToProcessStats(kStatsProcess, &m, nullptr); })) _exit(5);
      ++progress->statsDone;
    }
    _exit(0);
  }

  std::vector<std::int64_t> drainSeqs() {
    std::optional<std::vector<std::vector<std::uint8_t>>> records = reader->drain();
    if (!records) records = reader->drain();
    EXPECT_TRUE(records.has_value());
    std::vector<std::int64_t> seqs;
    if (!records) return seqs;
    for (const auto& r : *records) {
      const DataMessage m(r);
      bool found = false;
      const std::int64_t seq = m.getInt("seq", &found);
      EXPECT_TRUE(m.isValid() && found);
      seqs.push_back(seq);
    }
    return seqs;
  }

  std::uint64_t statsCount() {
    const std::uint64_t at = pl::kRecords + kStatsProcess * pl::kRecordSize + pl::kInputCount;
    std::optional<std::uint64_t> count = reader->readU64(at);
    if (!count) count = reader->readU64(at);
    EXPECT_TRUE(count.has_value());
    return count.value_or(0);
  }

  // Header counters minus the sums over slots and bins; a kill may move each
  // difference by the one insertion it cut short.
  std::array<std::int64_t, 3> storeDrift() {
    std::optional<host::TemporalTotals> t = temporal->totals();
    if (!t) t = temporal->totals();
    EXPECT_TRUE(t.has_value());
    if (!t) return {};
    return {
        static_cast<std::int64_t>(t->slotsInUse) - static_cast<std::int64_t>(t->usedSlots),
        static_cast<std::int64_t>(t->binBlocksInUse) - static_cast<std::int64_t>(t->blocksInSlots),
        static_cast<std::int64_t>(t->binBlocksInUse) -
            static_cast<std::int64_t>(t->clearBlockBits)};
  }

  std::uint16_t instance = test::reliabilityInstance();
  test::SharedAcrossFork<Progress> progress;
  std::unique_ptr<host::MasterSection> master;
  std::unique_ptr<host::ProcessSection> section;
  std::unique_ptr<host::TemporalSection> temporal;
  std::unique_ptr<ProcessMemory> process;
  std::unique_ptr<TemporalMemory> store;
  std::unique_ptr<host::QueueReader> reader;
};

TEST_F(KilledProcessTest, HundredRandomKillsLoseNoReturnedAppendAndLeaveTheSurvivorsWorking) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("random seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delayUs(0, 1500);

  std::int64_t next = 0;
  std::uint64_t statsBase = statsCount();
  int killedInside = 0;
  for (int round = 0; round < kKills; ++round) {
    SCOPED_TRACE("kill " + std::to_string(round));
    progress->started = 0;
    progress->appended = -1;
    progress->inserts = 0;
    progress->statsDone = 0;
    const auto driftBefore = storeDrift();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) childWork(next, kStepsPerChild);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (progress->started.load() == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
    ::kill(child, SIGKILL);
    const int status = test::waitChild(child);
    ASSERT_TRUE(status == 128 + SIGKILL || status == 0) << "child status " << status;
    killedInside += status == 128 + SIGKILL ? 1 : 0;

    // Every append that returned is there, once, in order; at most the one
    // cut short follows it.
    const std::vector<std::int64_t> seqs = drainSeqs();
    const std::int64_t appended = progress->appended.load();
    for (std::size_t i = 0; i < seqs.size(); ++i) {
      ASSERT_EQ(seqs[i], next + static_cast<std::int64_t>(i)) << "lost or repeated message";
    }
    const std::int64_t last = next + static_cast<std::int64_t>(seqs.size()) - 1;
    ASSERT_GE(last, appended) << "a message whose append had returned is missing";
    ASSERT_LE(last, std::max(appended, next - 1) + 1) << "a message appears that was never posted";
    next = last + 1;

    // Every insertion that returned reads back.
    for (std::uint32_t i = 0; i < progress->inserts.load(); ++i) {
      std::optional<std::vector<std::uint8_t>> bytes = temporal->readMessage(progress->ids[i]);
      if (!bytes) bytes = temporal->readMessage(progress->ids[i]);
      ASSERT_TRUE(bytes.has_value()) << "stored message " << i << " lost";
      EXPECT_EQ(DataMessage(*bytes).getInt("seq"), progress->idSeqs[i].load());
    }
    // The insertion cut short moves a counter by at most its own share: one
    // slot, and the blocks of one message (a message takes at most 4 blocks
    // of the bin it goes to; these sizes never need the last bin's more).
    const auto driftAfter = storeDrift();
    constexpr std::array<std::int64_t, 3> kOneInsertion = {1, 4, 4};
    for (std::size_t i = 0; i < driftAfter.size(); ++i) {
      EXPECT_LE(std::llabs(driftAfter[i] - driftBefore[i]), kOneInsertion[i])
          << "store counter " << i;
    }

    // Statistics: every update that returned, plus at most the one cut short.
    const std::uint64_t count = statsCount();
    EXPECT_GE(count, statsBase + progress->statsDone.load());
    EXPECT_LE(count, statsBase + progress->statsDone.load() + 1);
    statsBase = count;

    // The survivor goes on working.
    ASSERT_TRUE(twice([&] { return process->addToMsgQ(0, numbered(next, 64)); }));
    std::uint64_t id = 0;
    ASSERT_TRUE(twice([&] { return store->insertMessage(stored(next, 64), id); }));
    ASSERT_EQ(drainSeqs(), std::vector<std::int64_t>{next});
    ++next;

    // Now and then a new process attaches and works to the end.
    if (round % 10 == 9) {
      progress->started = 0;
      const pid_t fresh = fork();
      ASSERT_GE(fresh, 0);
      if (fresh == 0) childWork(next, 5);
      ASSERT_EQ(test::waitChild(fresh), 0);
      std::vector<std::int64_t> expected;
      for (std::int64_t s = next; s < next + 5; ++s) expected.push_back(s);
      ASSERT_EQ(drainSeqs(), expected);
      next += 5;
      statsBase = statsCount();
    }
  }
  // Most kills must have landed inside the work, or the test proves little.
  EXPECT_GE(killedInside, kKills * 9 / 10);
  RecordProperty("killed_inside", killedInside);
}

}  // namespace
}  // namespace vornix
