#include "host/process_section.h"

#include <algorithm>
#include <cstring>

#include "runtime/message_queue.h"
#include "runtime/process_memory.h"
#include "util/bytes.h"
#include "util/format.h"
#include "util/object_names.h"
#include "util/shared_memory.h"

namespace vornix::host {

namespace pl = process_layout;

namespace {

constexpr std::uint32_t kSectionTimeoutMs = 5000;

}  // namespace

std::unique_ptr<ProcessSection> ProcessSection::create(MasterSection& master, std::uint64_t size,
                                                       const std::vector<ProcessLayout>& processes,
                                                       const std::vector<QueueLayout>& queues) {
  std::uint64_t usedEnd = pl::kQueuesStart;
  for (const QueueLayout& q : queues) {
    if (q.id >= pl::kQueueCount || q.size < queue::kHeaderSize ||
        q.semaphoreName.size() >= queue::kSemaphoreNameWidth || q.size > size) {
      return nullptr;
    }
    usedEnd += q.size;
  }
  for (const ProcessLayout& p : processes) {
    if (p.process >= pl::kProcessCount) return nullptr;
  }
  if (usedEnd > size) return nullptr;

  auto mutex =
      std::make_unique<Mutex>(familyMutexName(SectionFamily::process, master.instanceId()));
  if (!mutex->valid()) return nullptr;
  MutexHold hold(*mutex, kSectionTimeoutMs, "vornix::host::ProcessSection::create");
  if (!hold) return nullptr;
  const std::uint32_t serial = master.memory().getProcessShmemSerial() + 1U;
  std::optional<OwnedSection> section = OwnedSection::create(
      familySectionName(SectionFamily::process, master.instanceId(), serial), size);
  if (!section) return nullptr;
  const std::span<std::uint8_t> b = section->bytes();
  bytes::store<std::uint32_t>(b, pl::kKind, pl::kFormatMark);
  for (const ProcessLayout& p : processes) {
    const std::uint64_t record = pl::kRecords + std::uint64_t{p.process} * pl::kRecordSize;
    bytes::store<std::uint64_t>(b, record + pl::kInUse, 1);
    for (std::size_t t = 0; t < 4; ++t) {
      bytes::store<std::uint16_t>(b, record + pl::kQueueIds + t * 2, p.queueIds[t]);
    }
  }
  std::uint64_t at = pl::kQueuesStart;
  for (const QueueLayout& q : queues) {
    bytes::store<std::uint64_t>(b, pl::kQueueTable + std::uint64_t{q.id} * 8, at);
    bytes::store<std::uint64_t>(b, at + queue::kSize, q.size);
    bytes::store<std::uint32_t>(b, at + queue::kId, q.id);
    std::memcpy(b.data() + at + queue::kSemaphoreName, q.semaphoreName.data(),
                q.semaphoreName.size());
    at += q.size;
  }
  bytes::store<std::uint64_t>(b, pl::kUsedEnd, usedEnd);
  if (!master.publishProcess(serial, size)) return nullptr;
  std::vector<std::string> semaphoreNames;
  for (const QueueLayout& q : queues) semaphoreNames.push_back(q.semaphoreName);
  return std::make_unique<ProcessSection>(Key{}, master, std::move(*section), std::move(mutex),
                                          std::move(semaphoreNames));
}

ProcessSection::ProcessSection(Key, MasterSection& master, OwnedSection section,
                               std::unique_ptr<Mutex> mutex,
                               std::vector<std::string> semaphoreNames)
    : master_(&master),
      section_(std::move(section)),
      mutex_(std::move(mutex)),
      semaphoreNames_(std::move(semaphoreNames)) {}

ProcessSection::~ProcessSection() {
  // The section a grow left current is the host's to remove at stop.
  const std::string current = familySectionName(SectionFamily::process, master_->instanceId(),
                                                master_->memory().getProcessShmemSerial());
  if (current != section_.name()) removeSharedMemory(current);
  removeNamedMutex(familyMutexName(SectionFamily::process, master_->instanceId()));
  for (const std::string& name : semaphoreNames_) removeNamedSemaphore(name);
}

QueueReader::QueueReader(MasterMemory& master, std::uint32_t queueId)
    : master_(&master),
      queueId_(queueId),
      mutex_(familyMutexName(SectionFamily::process, master.instanceId())) {}

QueueReader::~QueueReader() = default;

bool QueueReader::follow() {
  // 0 is no section's serial: the read failed. A holder of the master mutex
  // that died fails the first waiter once, so the read is made again; one
  // that still fails fails the operation rather than go on with a view that
  // may no longer be the current section.
  std::uint32_t serial = master_->getProcessShmemSerial();
  if (serial == 0) serial = master_->getProcessShmemSerial();
  if (serial == 0) return false;
  if (view_ && serial == serial_) return true;
  bool absent = false;
  MappedSection next =
      MappedSection::open(familySectionName(SectionFamily::process, master_->instanceId(), serial),
                          pl::kFormatMark, pl::kQueuesStart, &absent);
  if (absent) return static_cast<bool>(view_);  // a serial without a section: stay
  if (!next) return false;
  view_ = std::move(next);
  serial_ = serial;
  return true;
}

std::span<std::uint8_t> QueueReader::queueBytes() {
  const std::span<std::uint8_t> section = view_.bytes();
  if (queueId_ >= pl::kQueueCount) return {};
  const std::uint64_t offset =
      bytes::loadOr<std::uint64_t>(section, pl::kQueueTable + std::uint64_t{queueId_} * 8, 0);
  if (offset < pl::kQueuesStart || offset >= section.size()) return {};
  const std::span<std::uint8_t> q = section.subspan(static_cast<std::size_t>(offset));
  if (q.size() < queue::kHeaderSize ||
      bytes::loadAt<std::uint32_t>(q.data() + queue::kId) != queueId_) {
    return {};
  }
  return q;
}

bool QueueReader::wait(std::uint32_t timeoutMs) {
  if (semaphore_ == nullptr) {
    MutexHold hold(mutex_, kSectionTimeoutMs, "vornix::host::QueueReader::wait");
    if (!hold || !follow()) return false;
    const std::string_view name = queue::semaphoreName(queueBytes());
    if (name.empty()) return false;
    auto semaphore = std::make_unique<Semaphore>(name, kQueueSemaphoreMaximum);
    if (!semaphore->valid()) return false;
    semaphore_ = std::move(semaphore);
  }
  return semaphore_->wait(timeoutMs);
}

std::optional<std::vector<std::vector<std::uint8_t>>> QueueReader::drain() {
  MutexHold hold(mutex_, kSectionTimeoutMs, "vornix::host::QueueReader::drain");
  if (!hold || !follow()) return std::nullopt;
  const std::span<std::uint8_t> q = queueBytes();
  if (q.empty()) return std::nullopt;
  std::vector<std::vector<std::uint8_t>> records;
  for (;;) {
    bool corrupt = false;
    const std::optional<queue::NextRecord> next = queue::peek(q, corrupt);
    if (corrupt) return std::nullopt;
    if (!next) break;
    const std::uint8_t* at = q.data() + queue::kHeaderSize + next->offset;
    records.emplace_back(at, at + next->length);
    if (!queue::consume(q, *next)) return std::nullopt;
  }
  return records;
}

std::optional<std::uint64_t> QueueReader::readU64(std::uint64_t at) {
  MutexHold hold(mutex_, kSectionTimeoutMs, "vornix::host::QueueReader::readU64");
  if (!hold || !follow()) return std::nullopt;
  std::uint64_t value = 0;
  if (!bytes::load<std::uint64_t>(view_.bytes(), at, value)) return std::nullopt;
  return value;
}

std::optional<std::vector<std::uint8_t>> QueueReader::readBytes(std::uint64_t at,
                                                                std::uint64_t length) {
  MutexHold hold(mutex_, kSectionTimeoutMs, "vornix::host::QueueReader::readBytes");
  if (!hold || !follow() || !bytes::inRange(view_.bytes().size(), at, length)) return std::nullopt;
  const std::span<const std::uint8_t> range =
      view_.bytes().subspan(static_cast<std::size_t>(at), static_cast<std::size_t>(length));
  return std::vector<std::uint8_t>(range.begin(), range.end());
}

}  // namespace vornix::host
