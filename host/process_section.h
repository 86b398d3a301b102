// The host's side of the process section: the writer that lays it out, and
// the reader of one queue.
//
// ProcessSection creates the process family's section (layout in
// runtime/process_memory.h) with the process records in use, their queue ids,
// the queue table and the queues with their semaphore names, publishes its
// serial and size in the master section, and creates the section mutex
// of the family (util/object_names.h). It owns what it created: on
// destruction it removes the first section and the one whose serial master
// memory publishes at that time (sections grown by the library in between
// have been removed by their creators when they were replaced), the section
// mutex's name and the names of the queues' semaphores.
//
// QueueReader consumes the records of one queue from R to W, honouring the
// wrap gap, under the section mutex; it follows the serial like the library's
// client, so a grow made by any process is seen at the next read.
//
// Thread safety: ProcessSection is set up by one thread; QueueReader is used
// by one thread at a time (its work on the section runs under the mutex).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/master_section.h"
#include "host/owned_section.h"
#include "runtime/mapped_section.h"
#include "util/mutex.h"
#include "util/semaphore.h"

namespace vornix::host {

struct QueueLayout {
  std::uint32_t id = 0;       // below 256
  std::uint64_t size = 0;     // header included, at least 304
  std::string semaphoreName;  // at most 263 characters
};

struct ProcessLayout {
  std::uint16_t process = 0;                // below 64
  std::array<std::uint16_t, 4> queueIds{};  // queues of type 1 to 4
};

class ProcessSection {
 public:
  // Lays out and publishes the section of `size` bytes under the serial that
  // follows the one master memory publishes now. Null when the layout does
  // not fit in `size`, an id is out of range, or an object cannot be had.
  static std::unique_ptr<ProcessSection> create(MasterSection& master, std::uint64_t size,
                                                const std::vector<ProcessLayout>& processes,
                                                const std::vector<QueueLayout>& queues);

  class Key {
    friend class ProcessSection;
    Key() = default;
  };
  ProcessSection(Key, MasterSection& master, OwnedSection section, std::unique_ptr<Mutex> mutex,
                 std::vector<std::string> semaphoreNames);
  ProcessSection(const ProcessSection&) = delete;
  ProcessSection& operator=(const ProcessSection&) = delete;
  ~ProcessSection();

  // The bytes of the section as first created (not of later grown ones).
  std::span<std::uint8_t> initialBytes() const noexcept { return section_.bytes(); }
  Mutex& mutex() noexcept { return *mutex_; }

 private:
  MasterSection* master_;
  OwnedSection section_;
  std::unique_ptr<Mutex> mutex_;
  std::vector<std::string> semaphoreNames_;
};

// Reads the statistics and queues of the current process section.
class QueueReader {
 public:
  // Reads queue `queueId` of the instance published in `master` (not owned;
  // must outlive the reader).
  QueueReader(MasterMemory& master, std::uint32_t queueId);
  ~QueueReader();
  QueueReader(const QueueReader&) = delete;
  QueueReader& operator=(const QueueReader&) = delete;

  // Waits at most `timeoutMs` for the queue's semaphore; true when it was
  // released (one release per appended record, as far as its maximum count
  // allows: read with drain() until empty after every wake).
  bool wait(std::uint32_t timeoutMs);

  // Takes every unread record out of the queue, oldest first, and moves R
  // past them. Empty when there is nothing to read; nullopt when the section
  // cannot be opened, the mutex is not had, or the queue is corrupt.
  std::optional<std::vector<std::vector<std::uint8_t>>> drain();

  // Copies of the queue header and statistics fields for inspection; nullopt
  // when the section cannot be read. `at` is a byte offset into the section.
  std::optional<std::uint64_t> readU64(std::uint64_t at);
  // The section bytes [at, at + length), copied under the mutex.
  std::optional<std::vector<std::uint8_t>> readBytes(std::uint64_t at, std::uint64_t length);
  // The serial of the view in use.
  std::uint32_t serial() const noexcept { return serial_; }

 private:
  bool follow();
  std::span<std::uint8_t> queueBytes();

  MasterMemory* master_;
  std::uint32_t queueId_;
  Mutex mutex_;
  // Owned, not the process-wide registry's: on Windows an open handle keeps
  // the name alive, so it must go with the reader.
  std::unique_ptr<Semaphore> semaphore_;
  MappedSection view_;  // the current section, opened by follow()
  std::uint32_t serial_ = 0;
};

}  // namespace vornix::host
