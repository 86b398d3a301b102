// MemoryHub: the host's holder of the section clients a component reaches
// through its handle, in this order: temporal memory, process memory,
// component memory, data-maps memory. It delivers posted messages and prints
// type names.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "runtime/message_type.h"

namespace vornix {

class DataMessage;
class TemporalMemory;
class ProcessMemory;
class ComponentMemory;
class DataMapsMemory;

class MemoryHub {
 public:
  // None of the clients is owned; each may be null (its operations then
  // fail) and must outlive the hub.
  MemoryHub(TemporalMemory* temporal, ProcessMemory* process, ComponentMemory* component,
            DataMapsMemory* dataMaps) noexcept
      : temporal_(temporal), process_(process), component_(component), dataMaps_(dataMaps) {}

  TemporalMemory* temporal() const noexcept { return temporal_; }
  ProcessMemory* process() const noexcept { return process_; }
  ComponentMemory* component() const noexcept { return component_; }
  DataMapsMemory* dataMaps() const noexcept { return dataMaps_; }

  // Delivers one posted message from process `processId`: into the
  // time-ordered store when its ttl is set (writing the store's id into
  // memoryId, which is cleared first so that no delivery carries the id of an
  // earlier one), onto the system message queue, and into the process's
  // output statistics. True when it reached the system message queue; a
  // message the store or the queue refused is counted as lost.
  bool deliver(DataMessage& message, std::uint16_t processId);

  // Messages that deliver() could not store or queue, since construction:
  // the host's check that nothing was dropped.
  std::uint64_t lostMessages() const noexcept { return lost_.load(std::memory_order_relaxed); }

  // The printable name of a type, with level names from the data-maps section.
  std::string typeName(const MessageType& type);

 private:
  TemporalMemory* temporal_;
  ProcessMemory* process_;
  ComponentMemory* component_;
  DataMapsMemory* dataMaps_;
  std::atomic<std::uint64_t> lost_{0};
};

}  // namespace vornix
