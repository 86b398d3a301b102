// The message queue of the process section: a ring of whole message records
// behind a 304-byte header. Shared by the library's writer (ProcessMemory)
// and the host's reader, so both sides read the header the same way.
//
// Queue layout (little-endian, offsets from the queue's start):
//    0 u64 queue size in bytes, header included
//    8 u32 queue id (equal to the id under which the queue table lists it)
//   12 u32 message counter, raised by each append
//   16 u64 read offset R into the data area
//   24 u64 write offset W into the data area
//   32 u64 wrap gap G: bytes left empty at the end of the data area after a wrap
//   40 NUL-terminated name of the queue's semaphore (at most 264 bytes with the NUL)
//  304 data area of size - 304 bytes: records back to back
// The unread records lie from R to W, or, when W is below R, from R to the
// end of the data area less G and then from 0 to W. R == W means empty.
//
// Every function takes the bytes of the queue as far as they are really there
// (from the queue's offset to the end of the section's valid bytes) and
// refuses a header whose size, offsets or gap do not fit in them. None of
// them locks: callers hold the section mutex.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace vornix::queue {

inline constexpr std::uint64_t kSize = 0, kId = 8, kCounter = 12, kRead = 16, kWrite = 24,
                               kGap = 32, kSemaphoreName = 40, kHeaderSize = 304;
inline constexpr std::uint64_t kSemaphoreNameWidth = kHeaderSize - kSemaphoreName;

// The checked header of one queue.
struct State {
  std::uint64_t size = 0;      // whole queue, header included
  std::uint64_t capacity = 0;  // size - kHeaderSize
  std::uint64_t read = 0;
  std::uint64_t write = 0;
  std::uint64_t gap = 0;
  std::uint32_t id = 0;
};

// The header of the queue at the start of `queue`, or empty when the queue is
// smaller than its header, runs past `queue`, or its R, W, G do not describe
// a ring inside its data area.
std::optional<State> readState(std::span<const std::uint8_t> queue) noexcept;

// The semaphore name stored in the header, bounded by its field width; empty
// when the field holds no terminator.
std::string_view semaphoreName(std::span<const std::uint8_t> queue) noexcept;

enum class AppendResult { kAppended, kNoRoom, kCorrupt };

// Appends `record` as one whole record following the ring rules: into an
// empty queue at 0; after W when it fits before the end; wrapping to 0 (the
// tail zeroed and kept as gap) when the free room before R is strictly larger
// than the record; between W and R when that gap is strictly larger. Raises
// the message counter on success. kNoRoom leaves the queue untouched.
// A writer killed at any instruction leaves a queue that reads as before the
// append or as after it (the counter may lag by one): the record goes into
// free room first, an empty queue away from 0 is moved to 0 through states
// that all read as empty, and the single store of W publishes the record.
AppendResult append(std::span<std::uint8_t> queue, std::span<const std::uint8_t> record) noexcept;

// Rewrites the ring so that the unread records lie contiguously from data
// offset 0 (R = 0, G = 0, W = their total). `capacity` may exceed the stored
// size (a queue being grown into room that already lies behind it); bytes of
// the data area past the records are scratch. False when the header is
// corrupt; may throw std::bad_alloc for the scratch copy.
bool makeContiguous(std::span<std::uint8_t> queue, std::uint64_t capacity);

// The host reader's step: the next unread record, or empty when the queue is
// empty. A record whose size word is below 8 or runs past the readable part
// makes the result empty and sets `corrupt`.
struct NextRecord {
  std::uint64_t offset = 0;  // data offset of the record
  std::uint64_t length = 0;
};
std::optional<NextRecord> peek(std::span<const std::uint8_t> queue, bool& corrupt) noexcept;

// Moves R past the record returned by peek, wrapping to 0 (and clearing G)
// when R reaches the end of the written part behind a wrap.
bool consume(std::span<std::uint8_t> queue, const NextRecord& record) noexcept;

}  // namespace vornix::queue
