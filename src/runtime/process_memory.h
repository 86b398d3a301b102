// ProcessMemory: the client of the process section, which holds one record
// per process and the message queues between processes. The library appends
// posted messages to a process's queue of type 2 (process 0's is the system
// message queue the host reads) and records messages in a process's
// statistics.
//
// Names: the process family's mutex and sections (util/object_names.h), one
// section per serial. The current serial and size are
// published in the master section; any participant may replace the section
// by a larger one, and every operation follows the serial first.
//
// Section layout (little-endian):
//          0 u64 section size          8 u32 kind 0xD000D
//         32 u64 used end (offset of the first free byte)
//         40 64 process records of 83800 bytes
//  5,363,240 queue table: 256 u64 offsets (0 = none), queues after it
// Process record: 8 u64 in use, 1320 u64 update time, 1328/1336 input count
// and bytes, 1344 ten input messages of 4096 bytes, 42304/42312 output count
// and bytes, 42320 ten output messages, 83792 4 u16 queue ids of types 1-4.
// The queue layout is in runtime/message_queue.h.
//
// Every offset, id, count and size read from the section is checked against
// the view's usable bytes (runtime/mapped_section.h); a corrupt section makes
// the operation fail without touching anything outside the mapping.
//
// Thread safety: any thread may call any operation. All of them run under
// the section's named mutex (5000 ms), which every process shares; the
// object's own fields are only changed under it. The lock order is the
// section mutex first, the master mutex inside it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "runtime/data_message.h"
#include "runtime/mapped_section.h"
#include "runtime/master_memory.h"
#include "util/mutex.h"
#include "util/semaphore.h"

namespace vornix {

namespace process_layout {
inline constexpr std::uint32_t kFormatMark = 0xD000D;
inline constexpr std::uint64_t kSectionSize = 0, kKind = 8, kUsedEnd = 32, kRecords = 40;
inline constexpr std::uint64_t kRecordSize = 83800, kProcessCount = 64;
inline constexpr std::uint64_t kQueueTable = kRecords + kProcessCount * kRecordSize;  // 5,363,240
inline constexpr std::uint64_t kQueueCount = 256;
inline constexpr std::uint64_t kQueuesStart = kQueueTable + kQueueCount * 8;
// Fields of a process record.
inline constexpr std::uint64_t kInUse = 8, kStatsTime = 1320, kInputCount = 1328,
                               kInputBytes = 1336, kInputHistory = 1344, kOutputCount = 42304,
                               kOutputBytes = 42312, kOutputHistory = 42320, kQueueIds = 83792;
inline constexpr std::uint64_t kHistorySlots = 10, kHistorySlotSize = 4096;
// Largest section a grow may ask for, and the size above which a grow warns.
inline constexpr std::uint64_t kMaximumSize = 100'000'000, kWarningSize = 20'000'000;
}  // namespace process_layout

class ProcessMemory {
 public:
  // `master` is not owned and must outlive this object. Nothing is opened
  // until the first operation.
  explicit ProcessMemory(MasterMemory& master);
  ~ProcessMemory();
  ProcessMemory(const ProcessMemory&) = delete;
  ProcessMemory& operator=(const ProcessMemory&) = delete;

  // Maps the section whose serial master memory publishes now and checks its
  // kind. Creates the section mutex on first use. When a newer serial has no
  // section and the published size is still that of the mapped section (a
  // grow that failed after taking its serial), the mapped view stays in use
  // and the serial is looked at again by the next operation. False when the
  // mutex is not had in 5000 ms, or the section exists but cannot be mapped
  // or verified (logged "Cannot open shared memory: %s size: %u" /
  // "Cannot verify shared memory: %s size: %u").
  bool open();

  // Appends a copy of `message` to the queue of type 2 of `process`, growing
  // the queue (by doubling) and the section as needed, then releases the
  // queue's semaphore once. False, with nothing appended, when the message is
  // not a valid record, the process slot is not in use, the process has no
  // such queue, its semaphore cannot be had, or nothing can grow. A release
  // refused after the copy does not undo the delivery (the reader still
  // finds the record on its next wake).
  bool addToMsgQ(std::uint16_t process, const DataMessage& message);

  // Records `input` and/or `output` (either may be null) in the statistics of
  // `process`: counts, bytes, and the newest of ten history slots (records
  // of 4096 bytes or more are stored as a limited copy). False when the
  // process slot is not in use.
  bool addToProcessStats(std::uint16_t process, const DataMessage* input,
                         const DataMessage* output);

  // Replaces the section by one of `newSize` bytes under the next serial,
  // copies the contents, publishes the size and removes the old section's
  // name (views of other processes stay valid until they follow). Refused
  // above 100,000,000 bytes (the "Memory Error" line on standard output) and
  // below the current size.
  bool resize(std::uint64_t newSize);

  // Grows queue `queueId` to `newSize` bytes: the queues behind it (by
  // address) move up, its unread records become contiguous at the start of
  // its data area. Done in a new section under the next serial, doubled
  // when the old one lacks room, so that a process killed part way leaves
  // the old section as it was.
  bool resizeQueue(std::uint32_t queueId, std::uint64_t newSize);

  // The serial of the section whose view is in use (0 before the first open).
  // Not synchronised: for diagnostics while no other thread uses the object.
  std::uint32_t mappedSerial() const noexcept { return serial_; }

 private:
  Mutex* sectionMutex();
  // Both under the section mutex.
  bool openLocked();
  bool followSerial();
  std::span<std::uint8_t> section() const noexcept { return view_.bytes(); }
  std::uint64_t recordOffset(std::uint16_t process) const noexcept;
  bool processInUse(std::uint16_t process) const noexcept;
  // Offset of the queue of `type` (1-4) of `process`, 0 when there is none.
  std::uint64_t findQueue(std::uint16_t process, std::uint32_t type) const noexcept;
  std::uint64_t queueOffset(std::uint32_t queueId) const noexcept;
  bool appendLocked(std::uint16_t process, std::span<const std::uint8_t> record);
  bool resizeQueueLocked(std::uint32_t queueId, std::uint64_t newSize);
  bool resizeLocked(std::uint64_t newSize);
  // A copy of the section, `newSize` bytes, under the name of the next
  // serial (set in `serial`), not yet published; empty when it cannot be
  // made.
  MappedSection copyToNextSection(std::uint64_t newSize, std::uint32_t& serial);
  // Publishes a section made by copyToNextSection as the current one.
  bool publish(MappedSection next, std::uint32_t serial);
  void storeHistory(std::uint64_t historyOffset, const DataMessage& message);
  Semaphore* queueSemaphore(std::uint32_t queueId, std::span<const std::uint8_t> queue);
  std::string sectionName(std::uint32_t serial) const;

  MasterMemory* master_;
  std::once_flag mutexOnce_;
  std::unique_ptr<Mutex> mutex_;
  // The fields below are guarded by the section mutex.
  MappedSection view_;
  std::uint16_t instanceId_ = 0;
  std::uint32_t serial_ = 0;  // serial of the view in use (a dead serial is never adopted)
  // Opened by name and owned here, not taken from the process-wide registry:
  // on Windows an open handle keeps a name alive, so the semaphores of an
  // instance must go with the clients that used them.
  std::map<std::uint32_t, std::unique_ptr<Semaphore>> semaphores_;
};

}  // namespace vornix
