// A writer killed while it copies a record into a message queue used to
// leave W already moved over bytes never written, so the reader found a
// corrupt queue and lost every later record. The record is now copied before
// the ring offsets move: the queue stays as it was before the cut-short append.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <span>

#include "runtime/message_queue.h"
#include "util/bytes.h"

namespace vornix {
namespace {

// Anonymous pages shared with a forked child; the last page of `guarded`
// ones has no access, so a copy running into it kills the copier there.
class Pages {
 public:
  Pages(std::size_t count, bool guardLast) : size_(count * 4096) {
    void* p = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return;
    base_ = static_cast<std::uint8_t*>(p);
    if (guardLast) ::mprotect(base_ + size_ - 4096, 4096, PROT_NONE);
  }
  ~Pages() {
    if (base_ != nullptr) ::munmap(base_, size_);
  }
  Pages(const Pages&) = delete;
  Pages& operator=(const Pages&) = delete;
  std::span<std::uint8_t> bytes() const { return {base_, base_ != nullptr ? size_ : 0}; }

 private:
  std::size_t size_;
  std::uint8_t* base_ = nullptr;
};

void makeQueue(std::span<std::uint8_t> q, std::uint64_t read, std::uint64_t write) {
  bytes::store<std::uint64_t>(q, queue::kSize, q.size());
  bytes::store<std::uint32_t>(q, queue::kId, 5);
  bytes::store<std::uint64_t>(q, queue::kRead, read);
  bytes::store<std::uint64_t>(q, queue::kWrite, write);
  bytes::store<std::uint64_t>(q, queue::kGap, 0);
}

TEST(QueueAppendKilled, WriterKilledInsideTheCopyLeavesTheRingUnchanged) {
  Pages queuePages(2, false);
  Pages recordPages(2, true);
  ASSERT_FALSE(queuePages.bytes().empty());
  ASSERT_FALSE(recordPages.bytes().empty());
  const std::span<std::uint8_t> q = queuePages.bytes();
  // Empty, behind the unread records, and in front of R after a wrap: R, W
  // before the append.
  const std::uint64_t cases[][2] = {{0, 0}, {0, 96}, {7000, 100}};
  for (const auto& ring : cases) {
    makeQueue(q, ring[0], ring[1]);
    // 300 record bytes of which only the first 100 can be read.
    const std::span<const std::uint8_t> record(recordPages.bytes().data() + 4096 - 100, 300);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      (void)queue::append(q, record);
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    // The fault ends the child: by the signal itself, or by a sanitizer
    // that catches the signal and exits with its own failure status.
    const bool faulted = WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) != 0);
    ASSERT_TRUE(faulted) << "the copy was expected to fault";
    const auto state = queue::readState(q);
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(state->read, ring[0]);
    EXPECT_EQ(state->write, ring[1]);
    EXPECT_EQ(bytes::loadOr<std::uint32_t>(q, queue::kCounter, 1), 0U);
  }
}

}  // namespace
}  // namespace vornix
