#include "runtime/master_memory.h"

#include "util/bytes.h"

namespace vornix {

namespace {
constexpr std::uint32_t kSectionTimeoutMs = 5000;
}

MasterMemory::MasterMemory(std::uint16_t instanceId, Mutex* mutex, std::span<std::uint8_t> section)
    : instanceId_(instanceId), mutex_(mutex), section_(section) {}

template <class T>
T MasterMemory::read(std::uint64_t offset, const char* label) {
  if (mutex_ == nullptr || section_.size() < kMinimumSize) return 0;
  MutexHold hold(*mutex_, kSectionTimeoutMs, label);
  if (!hold) return 0;
  return bytes::loadOr<T>(section_, offset, 0);
}

std::uint32_t MasterMemory::getProcessShmemSerial() {
  return read<std::uint32_t>(kProcessSerial, "vornix::MasterMemory::getProcessShmemSerial");
}

std::uint32_t MasterMemory::getComponentShmemSerial() {
  return read<std::uint32_t>(kComponentSerial, "vornix::MasterMemory::getComponentShmemSerial");
}

std::uint32_t MasterMemory::getDataMapsShmemSerial() {
  return read<std::uint32_t>(kDataMapsSerial, "vornix::MasterMemory::getDataMapsShmemSerial");
}

std::uint64_t MasterMemory::getProcessShmemSize() {
  return read<std::uint64_t>(kProcessSize, "vornix::MasterMemory::getProcessShmemSize");
}

std::uint64_t MasterMemory::getComponentShmemSize() {
  return read<std::uint64_t>(kComponentSize, "vornix::MasterMemory::getComponentShmemSize");
}

std::uint64_t MasterMemory::getDataMapsShmemSize() {
  return read<std::uint64_t>(kDataMapsSize, "vornix::MasterMemory::getDataMapsShmemSize");
}

std::uint32_t MasterMemory::incrementProcessShmemSerial() {
  if (mutex_ == nullptr || section_.size() < kMinimumSize) return 0;
  MutexHold hold(*mutex_, kSectionTimeoutMs, "vornix::MasterMemory::incrementProcessShmemSerial");
  if (!hold) return 0;
  const std::uint32_t next = bytes::loadOr<std::uint32_t>(section_, kProcessSerial, 0) + 1U;
  bytes::store<std::uint32_t>(section_, kProcessSerial, next);
  return next;
}

bool MasterMemory::setProcessShmemSize(std::uint64_t size) {
  if (mutex_ == nullptr || section_.size() < kMinimumSize) return false;
  MutexHold hold(*mutex_, kSectionTimeoutMs, "vornix::MasterMemory::setProcessShmemSize");
  if (!hold) return false;
  return bytes::store<std::uint64_t>(section_, kProcessSize, size);
}

}  // namespace vornix
