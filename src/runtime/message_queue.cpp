#include "runtime/message_queue.h"

#include <atomic>
#include <cstring>
#include <vector>

#include "util/bytes.h"

namespace vornix::queue {

namespace {

std::uint8_t* dataArea(std::span<std::uint8_t> queue) noexcept {
  return queue.data() + kHeaderSize;
}

void storeRing(std::span<std::uint8_t> queue, std::uint64_t read, std::uint64_t write,
               std::uint64_t gap) noexcept {
  bytes::storeAt<std::uint64_t>(queue.data() + kRead, read);
  bytes::storeAt<std::uint64_t>(queue.data() + kWrite, write);
  bytes::storeAt<std::uint64_t>(queue.data() + kGap, gap);
}

// One field of the ring, stored in its own step: a process killed between
// two steps leaves the stores before it done and those after it undone.
void storeStep(std::span<std::uint8_t> queue, std::uint64_t field, std::uint64_t value) noexcept {
  std::atomic_signal_fence(std::memory_order_seq_cst);  // keep the program order of the steps
  bytes::storeAt<std::uint64_t>(queue.data() + field, value);
}

// Moves an empty ring at R = W = x (x > 0) to R = W = G = 0, through states
// that each read as empty, so a writer killed at any point between the
// steps leaves an empty queue, never a stretch of consumed records shown again
// (as R = 0 stored before W = 0 would: the old records from 0 to x look unread):
//   G = capacity - x   R = W = x: empty whatever G is
//   W = 0              W < R: the tail from x to capacity - G is empty, so is 0..W
//   R = 0              R = W = 0: empty
//   G = 0              empty
void resetEmptyRing(std::span<std::uint8_t> queue, std::uint64_t capacity,
                    std::uint64_t x) noexcept {
  storeStep(queue, kGap, capacity - x);
  storeStep(queue, kWrite, 0);
  storeStep(queue, kRead, 0);
  storeStep(queue, kGap, 0);
}

}  // namespace

std::optional<State> readState(std::span<const std::uint8_t> queue) noexcept {
  if (queue.size() < kHeaderSize) return std::nullopt;
  State s;
  s.size = bytes::loadAt<std::uint64_t>(queue.data() + kSize);
  s.id = bytes::loadAt<std::uint32_t>(queue.data() + kId);
  s.read = bytes::loadAt<std::uint64_t>(queue.data() + kRead);
  s.write = bytes::loadAt<std::uint64_t>(queue.data() + kWrite);
  s.gap = bytes::loadAt<std::uint64_t>(queue.data() + kGap);
  if (s.size < kHeaderSize || s.size > queue.size()) return std::nullopt;
  s.capacity = s.size - kHeaderSize;
  if (s.read > s.capacity || s.write > s.capacity || s.gap > s.capacity) return std::nullopt;
  // Behind a wrap the unread tail ends at capacity - G, so R cannot lie past it.
  if (s.write < s.read && s.read > s.capacity - s.gap) return std::nullopt;
  return s;
}

std::string_view semaphoreName(std::span<const std::uint8_t> queue) noexcept {
  std::size_t length = 0;
  if (!bytes::boundedTextLength(queue, kSemaphoreName, kSemaphoreNameWidth, length)) return {};
  return {reinterpret_cast<const char*>(queue.data() + kSemaphoreName), length};
}

AppendResult append(std::span<std::uint8_t> queue, std::span<const std::uint8_t> record) noexcept {
  const std::optional<State> s = readState(queue);
  if (!s) return AppendResult::kCorrupt;
  const std::uint64_t c = s->capacity, r = s->read, w = s->write, length = record.size();
  std::uint8_t* data = dataArea(queue);
  // The record is copied into free room first and the ring offsets move only
  // after it: a writer killed part way leaves the queue as it was, never a W
  // that covers bytes not yet written (which would make every later record
  // unreadable).
  std::uint64_t at = 0, newWrite = 0, newGap = 0;
  if (r == w) {
    if (c < length) return AppendResult::kNoRoom;
    at = 0;
    newWrite = length;
  } else if (w > r) {
    if (c - w >= length) {
      at = w;
      newWrite = w + length;
    } else if (r > length) {
      std::memset(data + w, 0, static_cast<std::size_t>(c - w));
      at = 0;
      newWrite = length;
      newGap = c - w;
    } else {
      return AppendResult::kNoRoom;
    }
  } else {
    if (r - w <= length) return AppendResult::kNoRoom;
    at = w;
    newWrite = w + length;
    newGap = s->gap;
  }
  if (length > 0) std::memcpy(data + at, record.data(), static_cast<std::size_t>(length));
  if (r == w && r != 0) resetEmptyRing(queue, c, r);
  // The store of W publishes the record; G goes first. While W still has its
  // old value, G is either unread (W >= R) or unchanged (W < R), so a writer
  // killed between the two leaves the old ring; G stored after W would leave,
  // on a wrap, a ring whose tail runs over the zeroed bytes (a corrupt queue).
  storeStep(queue, kGap, newGap);
  storeStep(queue, kWrite, newWrite);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  const std::uint32_t counter = bytes::loadAt<std::uint32_t>(queue.data() + kCounter);
  bytes::storeAt<std::uint32_t>(queue.data() + kCounter, counter + 1U);
  return AppendResult::kAppended;
}

bool makeContiguous(std::span<std::uint8_t> queue, std::uint64_t capacity) {
  const std::optional<State> s = readState(queue);
  if (!s || capacity < s->capacity || !bytes::inRange(queue.size(), kHeaderSize, capacity)) {
    return false;
  }
  std::uint8_t* data = dataArea(queue);
  const std::uint64_t r = s->read, w = s->write;
  std::uint64_t total = 0;
  if (w > r) {
    total = w - r;
    if (r != 0) std::memmove(data, data + r, static_cast<std::size_t>(total));
  } else if (w < r) {
    const std::uint64_t tail = s->capacity - s->gap - r;
    total = tail + w;
    if (capacity - s->capacity >= w) {
      // The room gained behind the old data area holds the head meanwhile.
      std::memcpy(data + s->capacity, data, static_cast<std::size_t>(w));
      std::memmove(data, data + r, static_cast<std::size_t>(tail));
      std::memmove(data + tail, data + s->capacity, static_cast<std::size_t>(w));
    } else {
      std::vector<std::uint8_t> head(data, data + w);
      std::memmove(data, data + r, static_cast<std::size_t>(tail));
      if (w > 0) std::memcpy(data + tail, head.data(), head.size());
    }
  }
  storeRing(queue, 0, total, 0);
  return true;
}

std::optional<NextRecord> peek(std::span<const std::uint8_t> queue, bool& corrupt) noexcept {
  corrupt = false;
  const std::optional<State> s = readState(queue);
  if (!s) {
    corrupt = true;
    return std::nullopt;
  }
  std::uint64_t r = s->read;
  if (r == s->write) return std::nullopt;
  // The part that can be read without wrapping ends at W, or behind a wrap at
  // the end of the data area less the gap.
  std::uint64_t end = s->write > r ? s->write : s->capacity - s->gap;
  if (r == end) {  // the tail behind a wrap is used up
    r = 0;
    end = s->write;
    if (r == end) return std::nullopt;
  }
  const std::span<const std::uint8_t> data =
      queue.subspan(kHeaderSize, static_cast<std::size_t>(s->capacity));
  std::uint32_t length = 0;
  if (!bytes::load<std::uint32_t>(data, r, length) || length < 8 || length > end - r) {
    corrupt = true;
    return std::nullopt;
  }
  return NextRecord{r, length};
}

bool consume(std::span<std::uint8_t> queue, const NextRecord& record) noexcept {
  const std::optional<State> s = readState(queue);
  if (!s || !bytes::inRange(s->capacity, record.offset, record.length)) return false;
  std::uint64_t r = record.offset + record.length;
  std::uint64_t gap = s->gap;
  // Past the last record before the gap (or at the very end) reading goes on at 0.
  if (s->write < r && r == s->capacity - s->gap) {
    r = 0;
    gap = 0;
  } else if (record.offset < s->read) {  // the record was the first after a wrap
    gap = 0;
  }
  storeRing(queue, r, s->write, gap);
  return true;
}

}  // namespace vornix::queue
