#include "runtime/process_memory.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

#include "runtime/message_queue.h"
#include "util/bytes.h"
#include "util/clock.h"
#include "util/format.h"
#include "util/log.h"
#include "util/object_names.h"
#include "util/shared_memory.h"

namespace vornix {

namespace pl = process_layout;

namespace {

constexpr std::uint32_t kSectionTimeoutMs = 5000;
constexpr std::uint32_t kQueueTypeMessages = 2;

// The limit bounds the section; the refusal is printed where the host's
// operator sees it.
bool deniedAsTooLarge(std::uint64_t newSize) {
  if (newSize <= pl::kMaximumSize) return false;
  std::printf("Memory Error: Process Memory requested size %s denied...\n",
              byteSizeText(static_cast<double>(newSize)).c_str());
  std::fflush(stdout);
  return true;
}

}  // namespace

ProcessMemory::ProcessMemory(MasterMemory& master) : master_(&master) {}

ProcessMemory::~ProcessMemory() = default;

Mutex* ProcessMemory::sectionMutex() {
  std::call_once(mutexOnce_, [this] {
    mutex_ =
        std::make_unique<Mutex>(familyMutexName(SectionFamily::process, master_->instanceId()));
  });
  return mutex_.get();
}

std::string ProcessMemory::sectionName(std::uint32_t serial) const {
  return familySectionName(SectionFamily::process, instanceId_, serial);
}

bool ProcessMemory::open() {
  MutexHold hold(*sectionMutex(), kSectionTimeoutMs, "vornix::ProcessMemory::open");
  if (!hold) return false;
  return openLocked();
}

bool ProcessMemory::openLocked() {
  // 0 is no section's serial: the read failed. A holder of the master mutex
  // that died fails the first waiter once, so the read is made again; one
  // that still fails fails the operation rather than judge the view by it.
  std::uint32_t serial = master_->getProcessShmemSerial();
  if (serial == 0) serial = master_->getProcessShmemSerial();
  if (serial == 0) return false;
  const std::uint64_t publishedSize = master_->getProcessShmemSize();
  instanceId_ = master_->instanceId();
  const std::string name = sectionName(serial);
  bool absent = false;
  MappedSection view = MappedSection::open(name, pl::kFormatMark, pl::kQueuesStart, &absent);
  if (absent) {
    // A grow that took its serial and then failed to create the section
    // leaves a serial without a section and the published size unchanged:
    // the mapped section is still the current one.
    if (view_ && serial != serial_ &&
        publishedSize == bytes::loadAt<std::uint64_t>(view_.data() + pl::kSectionSize)) {
      return true;
    }
    logLine(0, 3, 0, "Cannot open shared memory: %s size: %u", name.c_str(),
            static_cast<unsigned>(publishedSize));
    return false;
  }
  if (!view) {
    logLine(0, 3, 0, "Cannot verify shared memory: %s size: %u", name.c_str(),
            static_cast<unsigned>(publishedSize));
    return false;
  }
  view_ = std::move(view);  // releases the view replaced
  serial_ = serial;
  return true;
}

bool ProcessMemory::followSerial() {
  if (view_ && master_->getProcessShmemSerial() == serial_) return true;
  return openLocked();
}

std::uint64_t ProcessMemory::recordOffset(std::uint16_t process) const noexcept {
  return pl::kRecords + std::uint64_t{process} * pl::kRecordSize;
}

bool ProcessMemory::processInUse(std::uint16_t process) const noexcept {
  if (process >= pl::kProcessCount) return false;
  return bytes::loadOr<std::uint64_t>(section(), recordOffset(process) + pl::kInUse, 0) != 0;
}

std::uint64_t ProcessMemory::queueOffset(std::uint32_t queueId) const noexcept {
  if (queueId >= pl::kQueueCount) return 0;
  const std::uint64_t offset =
      bytes::loadOr<std::uint64_t>(section(), pl::kQueueTable + std::uint64_t{queueId} * 8, 0);
  const std::uint64_t usedEnd = bytes::loadOr<std::uint64_t>(section(), pl::kUsedEnd, 0);
  if (offset < pl::kQueuesStart || usedEnd > view_.size() || !bytes::inRange(usedEnd, offset, 0) ||
      usedEnd - offset < queue::kHeaderSize) {
    return 0;
  }
  const std::uint64_t size = bytes::loadAt<std::uint64_t>(view_.data() + offset + queue::kSize);
  const std::uint32_t id = bytes::loadAt<std::uint32_t>(view_.data() + offset + queue::kId);
  if (id != queueId || size < queue::kHeaderSize || size > usedEnd - offset) return 0;
  return offset;
}

std::uint64_t ProcessMemory::findQueue(std::uint16_t process, std::uint32_t type) const noexcept {
  if (type < 1 || type > 4 || !processInUse(process)) return 0;
  const std::uint16_t id = bytes::loadAt<std::uint16_t>(view_.data() + recordOffset(process) +
                                                        pl::kQueueIds + (type - 1) * 2);
  return queueOffset(id);
}

Semaphore* ProcessMemory::queueSemaphore(std::uint32_t queueId,
                                         std::span<const std::uint8_t> queueBytes) {
  const auto cached = semaphores_.find(queueId);
  if (cached != semaphores_.end()) return cached->second.get();
  const std::string_view name = queue::semaphoreName(queueBytes);
  if (name.empty()) return nullptr;
  auto semaphore = std::make_unique<Semaphore>(name, kQueueSemaphoreMaximum);
  if (!semaphore->valid()) return nullptr;
  return semaphores_.emplace(queueId, std::move(semaphore)).first->second.get();
}

bool ProcessMemory::addToMsgQ(std::uint16_t process, const DataMessage& message) {
  if (!message.isValid() || message.bytes().size() < message.size()) return false;
  MutexHold hold(*sectionMutex(), kSectionTimeoutMs, "vornix::ProcessMemory::addToMsgQ");
  if (!hold || !followSerial()) return false;
  return appendLocked(process, message.bytes().first(message.size()));
}

bool ProcessMemory::appendLocked(std::uint16_t process, std::span<const std::uint8_t> record) {
  for (;;) {
    const std::uint64_t offset = findQueue(process, kQueueTypeMessages);
    if (offset == 0) return false;
    const std::span<std::uint8_t> queueBytes = section().subspan(static_cast<std::size_t>(offset));
    const std::uint32_t id = bytes::loadAt<std::uint32_t>(view_.data() + offset + queue::kId);
    // The semaphore is had before anything is written, so that a queue whose
    // reader cannot be woken receives nothing.
    Semaphore* semaphore = queueSemaphore(id, queueBytes);
    if (semaphore == nullptr) return false;
    switch (queue::append(queueBytes, record)) {
      case queue::AppendResult::kAppended:
        // A refused release (count at its maximum) still leaves the reader
        // with a pending wake; the record is delivered either way.
        semaphore->signal();
        return true;
      case queue::AppendResult::kCorrupt:
        return false;
      case queue::AppendResult::kNoRoom:
        break;
    }
    // Doubled until the record fits behind the unread records, which the
    // resize makes contiguous: the size that doubling and retrying would
    // reach, in one resize (each makes a new section).
    const std::optional<queue::State> state = queue::readState(queueBytes);
    if (!state || state->size > pl::kMaximumSize) return false;
    const std::uint64_t unread = state->write >= state->read
                                     ? state->write - state->read
                                     : state->capacity - state->gap - state->read + state->write;
    std::uint64_t grown = state->size * 2;
    while (grown - queue::kHeaderSize < unread + record.size() && grown <= pl::kMaximumSize) {
      grown *= 2;
    }
    if (!resizeQueueLocked(id, grown)) return false;
  }
}

bool ProcessMemory::resizeQueue(std::uint32_t queueId, std::uint64_t newSize) {
  MutexHold hold(*sectionMutex(), kSectionTimeoutMs, "vornix::ProcessMemory::resizeQueue");
  if (!hold || !followSerial()) return false;
  return resizeQueueLocked(queueId, newSize);
}

bool ProcessMemory::resizeQueueLocked(std::uint32_t queueId, std::uint64_t newSize) {
  const std::uint64_t offset = queueOffset(queueId);
  if (offset == 0) return false;
  const std::uint64_t oldSize = bytes::loadAt<std::uint64_t>(view_.data() + offset + queue::kSize);
  if (newSize < oldSize) return false;
  const std::uint64_t delta = newSize - oldSize;
  const std::uint64_t usedEnd = bytes::loadAt<std::uint64_t>(view_.data() + pl::kUsedEnd);
  // The queues that follow are those at higher addresses, whatever their
  // ids; they move up together from the lowest of them.
  std::uint64_t nextStart = usedEnd;
  for (std::uint32_t q = 0; q < pl::kQueueCount; ++q) {
    const std::uint64_t other =
        bytes::loadAt<std::uint64_t>(view_.data() + pl::kQueueTable + q * 8);
    if (other > offset) {
      if (other < offset + oldSize || other > usedEnd) return false;  // overlapping or outside
      nextStart = std::min(nextStart, other);
    }
  }
  // The section that holds the grown queue: this one's size, doubled until
  // it fits.
  std::uint64_t size = view_.size();
  while (size - usedEnd < delta) {
    size *= 2;
    if (deniedAsTooLarge(size)) return false;
  }
  // The queues are moved in a copy of the section, which replaces it only
  // once whole: moving them in place, a writer killed half way would leave
  // the queue behind it, or its own unread records, torn.
  std::uint32_t serial = 0;
  MappedSection next = copyToNextSection(size, serial);
  if (!next) return false;
  std::memmove(next.data() + nextStart + delta, next.data() + nextStart,
               static_cast<std::size_t>(usedEnd - nextStart));
  for (std::uint32_t q = 0; q < pl::kQueueCount; ++q) {
    std::uint8_t* entry = next.data() + pl::kQueueTable + q * 8;
    const std::uint64_t other = bytes::loadAt<std::uint64_t>(entry);
    if (other > offset) bytes::storeAt<std::uint64_t>(entry, other + delta);
  }
  const std::span<std::uint8_t> queueBytes =
      next.bytes().subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(newSize));
  if (!queue::makeContiguous(queueBytes, newSize - queue::kHeaderSize)) {
    const std::string name = sectionName(serial);
    next.reset();
    removeSharedMemory(name);
    return false;
  }
  bytes::storeAt<std::uint64_t>(next.data() + offset + queue::kSize, newSize);
  bytes::storeAt<std::uint64_t>(next.data() + pl::kUsedEnd, usedEnd + delta);
  return publish(std::move(next), serial);
}

bool ProcessMemory::resize(std::uint64_t newSize) {
  if (deniedAsTooLarge(newSize)) return false;
  MutexHold hold(*sectionMutex(), kSectionTimeoutMs, "vornix::ProcessMemory::resize");
  if (!hold || !followSerial()) return false;
  return resizeLocked(newSize);
}

bool ProcessMemory::resizeLocked(std::uint64_t newSize) {
  if (deniedAsTooLarge(newSize)) return false;
  if (!view_ || newSize < view_.size()) return false;
  std::uint32_t serial = 0;
  MappedSection next = copyToNextSection(newSize, serial);
  return next && publish(std::move(next), serial);
}

MappedSection ProcessMemory::copyToNextSection(std::uint64_t newSize, std::uint32_t& serial) {
  // The new section is made whole under the next serial's name before that
  // serial is published (publish), so a grower that dies (or fails) part way
  // never leaves a published serial without a complete section: everyone
  // goes on with the old one. What a dead grower left under the name is
  // removed first; the section mutex keeps other growers out meanwhile.
  // A failed read (0) would name serial 1, perhaps a live section; see
  // openLocked for the second read.
  std::uint32_t current = master_->getProcessShmemSerial();
  if (current == 0) current = master_->getProcessShmemSerial();
  if (current == 0) return {};
  serial = current + 1U;
  const std::string name = sectionName(serial);
  removeSharedMemory(name);
  MappedSection view = MappedSection::create(name, newSize);
  if (!view) {
    removeSharedMemory(name);
    return view;
  }
  view_.copyTo(view, view_.size());
  bytes::storeAt<std::uint64_t>(view.data() + pl::kSectionSize, newSize);
  return view;
}

bool ProcessMemory::publish(MappedSection next, std::uint32_t serial) {
  const std::string name = sectionName(serial);
  if (master_->incrementProcessShmemSerial() != serial) {
    next.reset();
    removeSharedMemory(name);
    return false;
  }
  const std::uint64_t oldSize = view_.size();
  const std::uint64_t newSize = next.size();
  const std::string oldName = sectionName(serial_);
  view_ = std::move(next);  // releases the replaced view
  serial_ = serial;
  master_->setProcessShmemSize(newSize);
  // Views that other participants hold stay valid; the name goes so that the
  // replaced section disappears with its last view.
  removeSharedMemory(oldName);
  if (newSize == oldSize) return true;  // a queue grew within the same size
  const std::string sizeText = byteSizeText(static_cast<double>(newSize));
  logLine(0, 3, 2, "Process Memory resized to %s...", sizeText.c_str());
  if (newSize > pl::kWarningSize) {
    logLine(0, 3, 2, "Memory Warning: Process Memory now %s...", sizeText.c_str());
  }
  return true;
}

bool ProcessMemory::addToProcessStats(std::uint16_t process, const DataMessage* input,
                                      const DataMessage* output) {
  MutexHold hold(*sectionMutex(), kSectionTimeoutMs, "vornix::ProcessMemory::addToProcessStats");
  if (!hold || !followSerial() || !processInUse(process)) return false;
  const std::uint64_t record = recordOffset(process);
  if (!bytes::inRange(view_.size(), record, pl::kRecordSize)) return false;
  bytes::storeAt<std::uint64_t>(view_.data() + record + pl::kStatsTime, currentTime());
  const auto count = [&](std::uint64_t counts, std::uint64_t history, const DataMessage& m) {
    std::uint8_t* at = view_.data() + record + counts;
    bytes::storeAt<std::uint64_t>(at, bytes::loadAt<std::uint64_t>(at) + 1);
    bytes::storeAt<std::uint64_t>(at + 8, bytes::loadAt<std::uint64_t>(at + 8) + m.size());
    storeHistory(record + history, m);
  };
  if (input != nullptr) count(pl::kInputCount, pl::kInputHistory, *input);
  if (output != nullptr) count(pl::kOutputCount, pl::kOutputHistory, *output);
  return true;
}

void ProcessMemory::storeHistory(std::uint64_t historyOffset, const DataMessage& message) {
  std::uint8_t* history = view_.data() + historyOffset;
  std::memmove(history + pl::kHistorySlotSize, history,
               static_cast<std::size_t>((pl::kHistorySlots - 1) * pl::kHistorySlotSize));
  std::span<const std::uint8_t> bytes =
      message.bytes().first(std::min<std::size_t>(message.bytes().size(), message.size()));
  DataMessage limited;
  if (bytes.size() >= pl::kHistorySlotSize) {
    limited = DataMessage(message, static_cast<std::uint32_t>(pl::kHistorySlotSize));
    bytes = limited.bytes().first(std::min<std::size_t>(limited.bytes().size(), limited.size()));
    if (bytes.size() >= pl::kHistorySlotSize) bytes = bytes.first(pl::kHistorySlotSize - 1);
  }
  std::memset(history, 0, static_cast<std::size_t>(pl::kHistorySlotSize));
  if (!bytes.empty()) std::memcpy(history, bytes.data(), bytes.size());
}

}  // namespace vornix
