// A writer killed at any instruction of a queue append: the append runs with
// the processor's trap flag set, and after every instruction the queue's bytes
// are recorded when they changed. Each recorded state is what a SIGKILL at
// that instruction would leave to the reader (stores that retired stay
// written), so each must read as the queue before the append or the queue
// after it: never corrupt, never with consumed records shown again.
//
// Regressions: an empty queue whose read offset R was not 0 was reset by
// storing R = 0 before W, which showed the consumed records from 0 to the old
// W as unread; a wrapping append stored W before the gap G, which made the
// tail run over zeroed bytes.
#include <gtest/gtest.h>
#include <signal.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "runtime/message_queue.h"
#include "util/bytes.h"

// ThreadSanitizer's runtime does not survive being single-stepped (it faults
// inside its own signal handling); the test has one thread, so the other
// builds cover it.
#if defined(__SANITIZE_THREAD__)
#define LOQUANT_STEPPING_SUPPORTED 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define LOQUANT_STEPPING_SUPPORTED 0
#endif
#endif
#if !defined(LOQUANT_STEPPING_SUPPORTED) && defined(__x86_64__)
#define LOQUANT_STEPPING_SUPPORTED 1
#elif !defined(LOQUANT_STEPPING_SUPPORTED)
#define LOQUANT_STEPPING_SUPPORTED 0
#endif

namespace vornix {
namespace {

constexpr std::size_t kCapacity = 512;
constexpr std::size_t kQueueBytes = queue::kHeaderSize + kCapacity;
constexpr std::size_t kMaxStates = 1024;

using Record = std::vector<std::uint8_t>;
using QueueBytes = std::array<std::uint8_t, kQueueBytes>;

// Filled by the trap handler; static so the handler needs no allocation.
struct Trace {
  alignas(8) QueueBytes queue{};
  std::array<QueueBytes, kMaxStates> states{};
  std::size_t count = 0;
  bool overflow = false;
};
Trace trace;

extern "C" void recordStep(int, siginfo_t*, void*) {
  if (trace.count > 0 &&
      std::memcmp(trace.states[trace.count - 1].data(), trace.queue.data(), kQueueBytes) == 0) {
    return;
  }
  if (trace.count == kMaxStates) {
    trace.overflow = true;
    return;
  }
  std::memcpy(trace.states[trace.count++].data(), trace.queue.data(), kQueueBytes);
}

// Runs one append with the trap flag set (x86-64); the states are in `trace`.
[[gnu::noinline]] queue::AppendResult tracedAppend(std::span<const std::uint8_t> record) {
  trace.count = 0;
  trace.overflow = false;
  recordStep(0, nullptr, nullptr);
  // Below the red zone: the flags are pushed under 128 bytes the compiler
  // may be using.
#if defined(__x86_64__)
  asm volatile("sub $128, %%rsp\n\tpushfq\n\torq $0x100, (%%rsp)\n\tpopfq\n\tadd $128, %%rsp" ::
                   : "memory", "cc");
#endif
  const queue::AppendResult result = queue::append(trace.queue, record);
#if defined(__x86_64__)
  asm volatile("sub $128, %%rsp\n\tpushfq\n\tandq $-257, (%%rsp)\n\tpopfq\n\tadd $128, %%rsp" ::
                   : "memory", "cc");
#endif
  recordStep(0, nullptr, nullptr);
  return result;
}

Record makeRecord(std::uint32_t length, std::uint8_t tag) {
  Record r(length, tag);
  bytes::storeAt<std::uint32_t>(r.data(), length);
  return r;
}

// Every unread record, or empty when the reader finds the queue corrupt.
std::optional<std::vector<Record>> readAll(QueueBytes copy) {
  std::vector<Record> records;
  for (int guard = 0; guard < 64; ++guard) {
    bool corrupt = false;
    const auto next = queue::peek(copy, corrupt);
    if (corrupt) return std::nullopt;
    if (!next) return records;
    const std::uint8_t* at = copy.data() + queue::kHeaderSize + next->offset;
    records.emplace_back(at, at + next->length);
    if (!queue::consume(copy, *next)) return std::nullopt;
  }
  return std::nullopt;
}

class QueueAppendStepsTest : public ::testing::Test {
 protected:
  void SetUp() override {
#if !LOQUANT_STEPPING_SUPPORTED
    GTEST_SKIP() << "single-stepping needs the x86-64 trap flag, without ThreadSanitizer";
#endif
    trace.queue.fill(0);
    bytes::storeAt<std::uint64_t>(trace.queue.data() + queue::kSize, kQueueBytes);
    struct sigaction action {};
    action.sa_sigaction = recordStep;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(::sigaction(SIGTRAP, &action, &previous_), 0);
  }
  void TearDown() override {
    ::sigaction(SIGTRAP, &previous_, nullptr);
  }

  void append(const Record& r) {
    ASSERT_EQ(queue::append(trace.queue, r), queue::AppendResult::kAppended);
  }
  void consumeOne() {
    bool corrupt = false;
    const auto next = queue::peek(trace.queue, corrupt);
    ASSERT_TRUE(next.has_value());
    ASSERT_TRUE(queue::consume(trace.queue, *next));
  }
  std::uint64_t field(std::uint64_t at) const {
    return bytes::loadAt<std::uint64_t>(trace.queue.data() + at);
  }

  // Appends `r` step by step; every state on the way reads as before or after.
  void expectEveryStepReadable(const Record& r) {
    const std::optional<std::vector<Record>> before = readAll(trace.queue);
    ASSERT_TRUE(before.has_value());
    std::vector<Record> after = *before;
    after.push_back(r);
    ASSERT_EQ(tracedAppend(r), queue::AppendResult::kAppended);
    ASSERT_FALSE(trace.overflow);
    // The stores of the append really were seen one by one: the record's bytes
    // and at least the new W.
    ASSERT_GE(trace.count, 3U);
    for (std::size_t i = 0; i < trace.count; ++i) {
      SCOPED_TRACE("state " + std::to_string(i) + " of " + std::to_string(trace.count));
      const std::optional<std::vector<Record>> seen = readAll(trace.states[i]);
      ASSERT_TRUE(seen.has_value()) << "the reader finds the queue corrupt";
      EXPECT_TRUE(*seen == *before || *seen == after)
          << "reads " << seen->size() << " records, before " << before->size();
    }
    EXPECT_EQ(readAll(trace.queue), after);
  }

  struct sigaction previous_ {};
};

TEST_F(QueueAppendStepsTest, EmptyQueueAwayFromZeroTakesAShortRecordAtZero) {
  append(makeRecord(100, 1));
  append(makeRecord(100, 2));
  consumeOne();
  consumeOne();
  ASSERT_EQ(field(queue::kRead), 200U);
  expectEveryStepReadable(makeRecord(60, 3));
  EXPECT_EQ(field(queue::kRead), 0U);
  EXPECT_EQ(field(queue::kWrite), 60U);
  EXPECT_EQ(field(queue::kGap), 0U);
}

TEST_F(QueueAppendStepsTest, EmptyQueueAwayFromZeroTakesALongRecordAtZero) {
  append(makeRecord(40, 1));
  consumeOne();
  expectEveryStepReadable(makeRecord(200, 2));
  EXPECT_EQ(field(queue::kRead), 0U);
  EXPECT_EQ(field(queue::kWrite), 200U);
}

TEST_F(QueueAppendStepsTest, EmptyQueueAtTheVeryEndIsResetSafely) {
  append(makeRecord(256, 1));
  append(makeRecord(256, 2));
  consumeOne();
  consumeOne();
  ASSERT_EQ(field(queue::kRead), kCapacity);
  expectEveryStepReadable(makeRecord(16, 3));
}

TEST_F(QueueAppendStepsTest, WrappingAppendKeepsTheTailReadable) {
  append(makeRecord(150, 1));
  append(makeRecord(150, 2));
  append(makeRecord(150, 3));
  consumeOne();
  consumeOne();
  expectEveryStepReadable(makeRecord(120, 4));  // 62 bytes left at the end: wraps
  EXPECT_EQ(field(queue::kWrite), 120U);
  EXPECT_EQ(field(queue::kGap), kCapacity - 450);
  // Then between W and R, behind the wrap.
  expectEveryStepReadable(makeRecord(50, 5));
}

TEST_F(QueueAppendStepsTest, AppendAfterUnreadRecordsIsSafeAtEveryStep) {
  append(makeRecord(100, 1));
  append(makeRecord(100, 2));
  consumeOne();
  expectEveryStepReadable(makeRecord(50, 3));
  expectEveryStepReadable(makeRecord(8, 4));
}

}  // namespace
}  // namespace vornix
