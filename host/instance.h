// Instance: the shared-memory side of one running system. Its number, the
// five sections (master, data maps, components, processes and queues, the
// temporal store), the clients that read and write them (behind one memory
// hub), and the reader of the system message queue.
//
// Every named object of an instance carries the instance number; creating
// an instance first clears what a crashed earlier run of the same number
// left behind, and destroying it removes every name it made.
//
// Thread safety: created and destroyed by one thread; the hub and the queue
// reader are used as their own headers say.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/config.h"
#include "host/type_registry.h"
#include "runtime/memory_hub.h"

namespace vornix::host {

class QueueReader;

class Instance {
 public:
  // The number a host process uses when its configuration names none:
  // distinct per running host process.
  static std::uint16_t defaultNumber();

  // Creates instance `number` for the components of `config` (numbered 1..N
  // in configuration order) and the type level names of `types`. Null with
  // the reason in `error`; nothing is left behind then.
  static std::unique_ptr<Instance> create(std::uint16_t number, const SystemConfig& config,
                                          const TypeRegistry& types, std::string& error);
  ~Instance();
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  std::uint16_t number() const noexcept;
  // The clients of every section, for the components' handles.
  MemoryHub& hub() noexcept;
  // The queue every posted message goes to, read by the router.
  QueueReader& systemQueue() noexcept;
  // The logical name of component `id`'s inbound semaphore.
  std::string inboundName(std::uint32_t id) const;

  struct Parts;
  explicit Instance(std::unique_ptr<Parts> parts);

 private:
  std::unique_ptr<Parts> parts_;
};

}  // namespace vornix::host
