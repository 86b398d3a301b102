#include "host/instance.h"

#include <unistd.h>

#include <map>

#include "host/component_section.h"
#include "host/data_maps_section.h"
#include "host/instance_claim.h"
#include "host/master_section.h"
#include "host/process_section.h"
#include "host/temporal_section.h"
#include "runtime/component_memory.h"
#include "runtime/data_maps_memory.h"
#include "runtime/process_memory.h"
#include "runtime/temporal_memory.h"
#include "util/format.h"
#include "util/mutex.h"
#include "util/object_names.h"
#include "util/semaphore.h"
#include "util/shared_memory.h"

namespace vornix::host {

namespace {

constexpr std::uint16_t kSystemProcess = 0;

std::uint32_t queueIdOf(std::uint16_t process) {
  return std::uint32_t{process} + 1U;
}

// The numbers tried after the default when none is configured.
constexpr unsigned kNumbersTried = 64;

// Claims `number` and clears what a crashed earlier run of it left behind;
// a number under whose names another user keeps an object is refused.
std::unique_ptr<InstanceClaim> claim(std::uint16_t number, InstanceClaim::Refusal& refusal,
                                     std::string& error) {
  std::unique_ptr<InstanceClaim> claim = InstanceClaim::take(number, refusal, error);
  if (!claim) return nullptr;
  clearInstanceObjects(number);
  if (std::string foreign = foreignInstanceObject(number); !foreign.empty()) {
    refusal = InstanceClaim::Refusal::foreign;
    error = formatString("instance %u: %s", number, foreign.c_str());
    return nullptr;
  }
  return claim;
}

// Claims the configured number, or the first free one from the default on.
std::unique_ptr<InstanceClaim> claimNumber(std::optional<std::uint16_t> configured,
                                           std::string& error) {
  InstanceClaim::Refusal refusal = InstanceClaim::Refusal::none;
  sweepDeadInstances();
  if (configured) return claim(*configured, refusal, error);
  const std::uint16_t first = Instance::defaultNumber();
  for (unsigned i = 0; i < kNumbersTried; ++i) {
    const auto number = static_cast<std::uint16_t>(1000U + (first - 1000U + i) % 60000U);
    std::unique_ptr<InstanceClaim> held = claim(number, refusal, error);
    if (held || refusal == InstanceClaim::Refusal::failed) return held;
  }
  error = formatString("no free instance number from %u on (the last: %s)", first, error.c_str());
  return nullptr;
}

}  // namespace

struct Instance::Parts {
  std::uint16_t number = 0;
  std::unique_ptr<InstanceClaim> claim;  // held until every object is gone

  std::unique_ptr<MasterSection> master;
  std::unique_ptr<DataMapsSection> dataMapsSection;
  std::unique_ptr<ComponentSection> componentSection;
  std::unique_ptr<ProcessSection> processSection;
  std::unique_ptr<TemporalSection> temporalSection;

  std::unique_ptr<ComponentMemory> componentMemory;
  std::unique_ptr<ProcessMemory> processMemory;
  std::unique_ptr<TemporalMemory> temporalMemory;
  std::unique_ptr<DataMapsMemory> dataMapsMemory;
  std::unique_ptr<MemoryHub> hub;
  std::unique_ptr<QueueReader> systemQueue;

  ~Parts() {
    // The clients go before the sections they map; the sections remove
    // their names as they go.
    hub.reset();
    systemQueue.reset();
    dataMapsMemory.reset();
    temporalMemory.reset();
    processMemory.reset();
    componentMemory.reset();
    temporalSection.reset();
    processSection.reset();
    componentSection.reset();
    dataMapsSection.reset();
    master.reset();
    if (claim) clearInstanceObjects(number);
  }
};

std::uint16_t Instance::defaultNumber() {
  return static_cast<std::uint16_t>(1000U + static_cast<std::uint32_t>(getpid()) % 60000U);
}

std::unique_ptr<Instance> Instance::create(std::optional<std::uint16_t> configured,
                                           const SystemConfig& config, const TypeRegistry& types,
                                           std::string& error) {
  auto p = std::make_unique<Parts>();
  p->claim = claimNumber(configured, error);
  if (!p->claim) return nullptr;
  const std::uint16_t number = p->number = p->claim->number();

  p->master = MasterSection::create(number);
  if (!p->master) {
    error = formatString("cannot create the master section of instance %u", number);
    return nullptr;
  }
  p->dataMapsSection = DataMapsSection::create(*p->master, types.levels(), types.highestLevel());
  std::vector<ComponentSpec> specs;
  std::uint32_t id = 0;
  for (const ComponentConfig& c : config.components) {
    specs.push_back(ComponentSpec{++id, c.name, c.parameters});
  }
  p->componentSection = ComponentSection::create(*p->master, specs, id);

  std::vector<ProcessLayout> processes;
  std::vector<QueueLayout> queues;
  std::map<std::uint16_t, bool> used{{kSystemProcess, true}};
  for (const ComponentConfig& c : config.components) used[c.process] = true;
  std::uint64_t queueBytes = 0;
  for (const auto& [process, unused] : used) {
    ProcessLayout layout;
    layout.process = process;
    layout.queueIds[1] = static_cast<std::uint16_t>(queueIdOf(process));
    processes.push_back(layout);
    queues.push_back(QueueLayout{queueIdOf(process), config.sizes.queue,
                                 queueSemaphoreName(number, queueIdOf(process))});
    queueBytes += config.sizes.queue;
  }
  p->processSection = ProcessSection::create(
      *p->master, 2 * (process_layout::kQueuesStart + queueBytes), processes, queues);
  TemporalLayout temporal;
  temporal.slotCount = 256;
  // Blocks for small records (speech events), frames and large messages.
  temporal.bins = {TemporalBinLayout{256, 64}, TemporalBinLayout{1024, 64},
                   TemporalBinLayout{4096, 32}, TemporalBinLayout{16384, 8}};
  temporal.maximumSize = config.sizes.temporalMaximum;
  p->temporalSection = TemporalSection::create(number, temporal);
  if (!p->dataMapsSection || !p->componentSection || !p->processSection || !p->temporalSection) {
    error = formatString("cannot create the sections of instance %u", number);
    return nullptr;
  }

  p->componentMemory =
      std::make_unique<ComponentMemory>(p->master->memory(), &p->componentSection->mutex());
  p->processMemory = std::make_unique<ProcessMemory>(p->master->memory());
  // The host maps the process section before any component runs, so a
  // section that cannot be mapped shows at create and not at the first post.
  if (!p->processMemory->open()) {
    error = formatString("cannot open the process section of instance %u", number);
    return nullptr;
  }
  p->temporalMemory = std::make_unique<TemporalMemory>(p->temporalSection->owner(), number);
  p->dataMapsMemory =
      std::make_unique<DataMapsMemory>(p->master->memory(), &p->dataMapsSection->mutex());
  p->hub = std::make_unique<MemoryHub>(p->temporalMemory.get(), p->processMemory.get(),
                                       p->componentMemory.get(), p->dataMapsMemory.get());
  p->systemQueue = std::make_unique<QueueReader>(p->master->memory(), queueIdOf(kSystemProcess));
  return std::make_unique<Instance>(std::move(p));
}

Instance::Instance(std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {}
Instance::~Instance() = default;

std::uint16_t Instance::number() const noexcept {
  return parts_->number;
}
MemoryHub& Instance::hub() noexcept {
  return *parts_->hub;
}
ComponentSection& Instance::componentSection() noexcept {
  return *parts_->componentSection;
}
QueueReader& Instance::systemQueue() noexcept {
  return *parts_->systemQueue;
}
std::string Instance::foreignObject() const {
  return foreignInstanceObject(parts_->number);
}
std::string Instance::inboundName(std::uint32_t id) const {
  return inboundSemaphoreName(parts_->number, id);
}

}  // namespace vornix::host
