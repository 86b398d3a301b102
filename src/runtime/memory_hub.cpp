#include "runtime/memory_hub.h"

#include "runtime/data_maps_memory.h"
#include "runtime/data_message.h"
#include "runtime/process_memory.h"
#include "runtime/temporal_memory.h"
#include "util/log.h"

namespace vornix {

namespace {
constexpr std::uint8_t kCategoryDelivery = 7;
constexpr std::uint16_t kSystemProcess = 0;
constexpr std::uint64_t kExpiryTolerance = 10'000;  // µs before createdTime
}  // namespace

bool MemoryHub::deliver(DataMessage& message, std::uint16_t processId) {
  // One message object may serve several deliveries; only a delivery that
  // stores it may carry a store id.
  message.setMemoryId(0);
  const std::uint64_t ttl = message.ttl();
  if (ttl != 0) {
    const std::uint64_t created = message.getCreatedTime();
    const std::uint64_t expiry = created + ttl;  // wraps by design
    if (expiry != 0) {
      if (expiry < created - kExpiryTolerance) return false;
      std::uint64_t memoryId = 0;
      if (temporal_ == nullptr || !temporal_->insertMessage(message, memoryId)) {
        logLine(processId, kCategoryDelivery, 0,
                "Could not add message from %u to shared memory...", message.fromId());
        lost_.fetch_add(1, std::memory_order_relaxed);
        return false;
      }
      message.setMemoryId(memoryId);
    }
  }
  if (process_ == nullptr || !process_->addToMsgQ(kSystemProcess, message)) {
    logLine(processId, kCategoryDelivery, 0, "Could not communicate with System Message Queue...");
    lost_.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  process_->addToProcessStats(processId, nullptr, &message);
  return true;
}

std::string MemoryHub::typeName(const MessageType& type) {
  if (dataMaps_ == nullptr) return vornix::typeName(type, {});
  return vornix::typeName(type, dataMaps_->levelNameLookup());
}

}  // namespace vornix
