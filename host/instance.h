// Instance: the shared-memory side of one running system. Its number, the
// five sections (master, data maps, components, processes and queues, the
// temporal store), the clients that read and write them (behind one memory
// hub), and the reader of the system message queue.
//
// Every named object of an instance carries the instance number. Creating an
// instance first claims its number (host/instance_claim.h: one live host per
// number), then clears what a crashed earlier run of the same number left
// behind; destroying it removes every name it made and then the claim. Only
// objects of this user are ever removed.
//
// Thread safety: created and destroyed by one thread; the hub and the queue
// reader are used as their own headers say.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "host/config.h"
#include "host/type_registry.h"
#include "runtime/memory_hub.h"

namespace vornix::host {

class ComponentSection;
class QueueReader;

class Instance {
 public:
  // The first number a host process tries when its configuration names
  // none (1000 + pid % 60000).
  static std::uint16_t defaultNumber();

  // Creates instance `number` for the components of `config` (numbered 1..N
  // in configuration order) and the type level names of `types`. A number
  // held by a live process is refused ("instance N is in use by process P"),
  // and so is one under whose names another user keeps an object. Without a
  // number, the first free one from defaultNumber() on is taken (numbers in
  // use or held by another user are stepped over). Null with the reason in
  // `error`; nothing is left behind then.
  [[nodiscard]] static std::unique_ptr<Instance> create(std::optional<std::uint16_t> number,
                                                        const SystemConfig& config,
                                                        const TypeRegistry& types,
                                                        std::string& error);
  ~Instance();
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  std::uint16_t number() const noexcept;
  // The clients of every section, for the components' handles.
  MemoryHub& hub() noexcept;
  // The host's writer of the component section (statistics the host keeps).
  ComponentSection& componentSection() noexcept;
  // The queue every posted message goes to, read by the router.
  QueueReader& systemQueue() noexcept;
  // The first object under this instance's names that is not a regular file
  // of this user (see foreignInstanceObject); empty when all are ours.
  std::string foreignObject() const;
  // The logical name of component `id`'s inbound semaphore.
  std::string inboundName(std::uint32_t id) const;

  struct Parts;
  explicit Instance(std::unique_ptr<Parts> parts);

 private:
  std::unique_ptr<Parts> parts_;
};

}  // namespace vornix::host
