// Several processes on one process section and one temporal store: growth
// made by one is followed by the others through the serial, and a queue fed
// by 16 posters while a reader drains it delivers every message once, in
// order per poster. The children are forks that use the parent's own
// section objects and counters in anonymous shared memory, which only fork
// hands to another process. (A holder killed inside the section mutex is
// shown on every system in process_mutex_holder_test.cpp.)
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <random>
#include <thread>

#include "runtime/process_memory.h"
#include "runtime/sections/temporal_fixture.h"
#include "runtime/temporal_memory.h"
#include "util/object_names.h"
#include "util/shared_memory.h"

namespace vornix {
namespace {

using test::messageOfSize;
namespace pl = process_layout;

int waitChild(pid_t child) {
  int status = 0;
  if (waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status)
                           : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

class QueueProcessesTest : public test::ProcessFixture {};

TEST_F(QueueProcessesTest, ChildGrowsTheSectionAndTheParentFollows) {
  ASSERT_TRUE(client->addToMsgQ(0, messageOfSize(300, 1)));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ProcessMemory own(master->memory());
    _exit(own.addToMsgQ(0, messageOfSize(9000, 2)) ? 0 : 1);  // doubles queue and section
  }
  ASSERT_EQ(waitChild(child), 0);
  EXPECT_EQ(master->memory().getProcessShmemSerial(), 2U);
  ASSERT_TRUE(client->addToMsgQ(0, messageOfSize(300, 3)));
  EXPECT_EQ(client->mappedSerial(), 2U);
  host::QueueReader reader(master->memory(), 5);
  const auto records = reader.drain();
  ASSERT_TRUE(records);
  std::vector<std::int64_t> tags;
  for (const auto& r : *records) tags.push_back(DataMessage(r).getInt("tag"));
  EXPECT_EQ(tags, (std::vector<std::int64_t>{1, 2, 3}));
}

TEST_F(QueueProcessesTest, ReaderFollowsAGrowWhoseGrowerDiedHoldingTheMasterMutex) {
  // The reader maps serial 1; a child grows the section to serial 2 (the
  // unread record comes over) and dies holding the master mutex. The
  // reader's next serial read fails once; it reads again and follows,
  // rather than consume from the replaced section: each record comes once.
  host::QueueReader reader(master->memory(), 5);
  ASSERT_TRUE(reader.drain());
  ASSERT_TRUE(client->addToMsgQ(0, messageOfSize(300, 1)));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ProcessMemory own(master->memory());
    if (!own.addToMsgQ(0, messageOfSize(9000, 2))) _exit(1);
    _exit(master->mutex().enter(5000, nullptr) ? 0 : 2);  // dies holding it
  }
  ASSERT_EQ(waitChild(child), 0);
  std::vector<std::int64_t> tags;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (const auto records = reader.drain()) {
      for (const auto& r : *records) tags.push_back(DataMessage(r).getInt("tag"));
    }
  }
  EXPECT_EQ(tags, (std::vector<std::int64_t>{1, 2}));
}

// Two counters shared by the test's processes (an anonymous shared mapping
// made before fork), used through atomic_ref.
class SharedCounters {
 public:
  SharedCounters()
      : memory_(::mmap(nullptr, 2 * sizeof(std::int64_t), PROT_READ | PROT_WRITE,
                       MAP_SHARED | MAP_ANONYMOUS, -1, 0)) {}
  ~SharedCounters() {
    if (memory_ != MAP_FAILED) ::munmap(memory_, 2 * sizeof(std::int64_t));
  }
  SharedCounters(const SharedCounters&) = delete;
  SharedCounters& operator=(const SharedCounters&) = delete;
  bool valid() const { return memory_ != MAP_FAILED; }
  std::atomic_ref<std::int64_t> operator[](std::size_t i) {
    return std::atomic_ref<std::int64_t>(static_cast<std::int64_t*>(memory_)[i]);
  }

 private:
  void* memory_;
};

// 4 processes x 4 threads post 50,000 messages of about 250 B to 20 KB to one
// queue that starts with no data area at all, while this process drains it.
// Posters hold back while more than kBacklog messages are unread, so that the
// queue grows (from nothing to megabytes) without reaching the section limit
// on a machine where the reader gets little of the processor.
TEST(QueueReliability, EveryMessageArrivesOnceInOrderPerPoster) {
  constexpr int kProcesses = 4, kThreads = 4, kTotal = 50'000;
  constexpr int kPerPoster = kTotal / (kProcesses * kThreads);
  constexpr std::int64_t kBacklog = 1000;
  SharedCounters counters;  // [0] posted, [1] received
  ASSERT_TRUE(counters.valid());
  const std::uint16_t instance = test::uniqueInstanceId();
  auto master = host::MasterSection::create(instance);
  ASSERT_NE(master, nullptr);
  const std::string semaphore = queueSemaphoreName(instance, 0);
  auto section =
      host::ProcessSection::create(*master, pl::kQueuesStart + queue::kHeaderSize,
                                   {{0, {0, 0, 0, 0}}}, {{0, queue::kHeaderSize, semaphore}});
  ASSERT_NE(section, nullptr);
  host::QueueReader reader(master->memory(), 0);

  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ProcessMemory client(master->memory());
      std::atomic<int> failures{0};
      std::vector<std::thread> threads;
      for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
          std::mt19937 random(static_cast<unsigned>(p * 16 + t));
          // Every message carries its poster and number: the smallest is a little
          // above the bare 200-byte header.
          std::uniform_int_distribution<std::uint32_t> size(record::kHeaderSize + 1, 20'000);
          for (int i = 0; i < kPerPoster; ++i) {
            while (counters[0].load() - counters[1].load() > kBacklog) {
              std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            if (!client.addToMsgQ(0, messageOfSize(size(random), p * kThreads + t, i))) ++failures;
            counters[0].fetch_add(1);
          }
        });
      }
      for (auto& thread : threads) thread.join();
      _exit(failures.load() == 0 ? 0 : 1);
    }
    children.push_back(child);
  }

  std::map<std::int64_t, std::int64_t> next;  // poster -> next sequence expected
  int received = 0, outOfOrder = 0;
  std::uint64_t largestQueue = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (received < kTotal && std::chrono::steady_clock::now() < deadline) {
    reader.wait(20);
    const auto records = reader.drain();
    ASSERT_TRUE(records);
    for (const auto& r : *records) {
      const DataMessage m(r);
      std::int64_t& expected = next[m.getInt("tag")];
      if (m.getInt("seq") != expected && ++outOfOrder < 5) {
        ADD_FAILURE() << "poster " << m.getInt("tag") << " sent " << m.getInt("seq") << " where "
                      << expected << " was due";
      }
      expected = m.getInt("seq") + 1;
      ++received;
    }
    counters[1].store(received);
    const auto offset = reader.readU64(pl::kQueueTable);
    if (offset) largestQueue = std::max(largestQueue, reader.readU64(*offset).value_or(0));
  }
  for (const pid_t child : children) EXPECT_EQ(waitChild(child), 0);
  EXPECT_EQ(received, kTotal);
  EXPECT_EQ(outOfOrder, 0);
  EXPECT_EQ(next.size(), static_cast<std::size_t>(kProcesses * kThreads));
  EXPECT_GT(largestQueue, 20'000U);                         // the queue grew from nothing
  EXPECT_GT(master->memory().getProcessShmemSerial(), 1U);  // and the section with it
  EXPECT_FALSE(reader.drain()->size());
  std::printf("[ reliability ] %d messages, queue grew to %llu bytes, section serial %u\n",
              received, static_cast<unsigned long long>(largestQueue),
              master->memory().getProcessShmemSerial());
  section.reset();
  master.reset();
  EXPECT_EQ(test::leftoverObjects(instance), std::vector<std::string>{});
}

class TemporalProcessesTest : public test::TemporalFixture {};

TEST_F(TemporalProcessesTest, ChildGrowsTheStoreAndTheParentFollows) {
  setClockSource(nullptr);  // both processes on the real clock
  const std::uint64_t mine = insert(test::liveMessage(300, 60'000'000, 1));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto owner = host::SharedTemporalOwner::open(instance);
    if (!owner) _exit(2);
    TemporalMemory own(*owner, 9);
    std::uint64_t id = 0;
    for (int i = 0; i < 8; ++i) {
      if (!own.insertMessage(test::liveMessage(300, 60'000'000, 2), id)) _exit(1);
    }
    _exit(0);
  }
  ASSERT_EQ(waitChild(child), 0);
  const std::uint64_t after = insert(test::liveMessage(300, 60'000'000, 3));
  const auto t = totals();
  EXPECT_EQ(t.serial, 2U);
  EXPECT_EQ(t.slotCount, 40U);
  EXPECT_EQ(t.slotsInUse, 10U);
  EXPECT_EQ(DataMessage(*section->readMessage(mine)).getInt("tag"), 1);
  EXPECT_EQ(DataMessage(*section->readMessage(after)).getInt("tag"), 3);
  test::expectConsistent(t);
}

}  // namespace
}  // namespace vornix
