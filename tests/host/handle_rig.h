// A component handle over real sections, without a library: the sections are
// made by the host's writers exactly as System builds them, the clients are
// the runtime's, and the host side (queueing pairs, reading the system
// message queue, taking log entries) is done by the test.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/component_section.h"
#include "host/data_maps_section.h"
#include "host/log_printer.h"
#include "host/master_section.h"
#include "host/process_section.h"
#include "host/temporal_section.h"
#include "host/trigger_spec_writer.h"
#include "runtime/component_memory.h"
#include "runtime/data_maps_memory.h"
#include "runtime/data_message.h"
#include "runtime/memory_hub.h"
#include "runtime/process_memory.h"
#include "runtime/temporal_memory.h"
#include "runtime/zel_api.h"
#include "support/test_instances.h"
#include "support/test_process.h"
#include "util/format.h"
#include "util/mutex.h"
#include "util/object_names.h"
#include "util/shared_memory.h"

namespace vornix::testing {

// A type from its leading levels; the rest are 0.
inline MessageType typeOf(std::initializer_list<std::uint16_t> levels) {
  MessageType type;
  std::size_t i = 0;
  for (std::uint16_t level : levels) type.levels[i++] = level;
  return type;
}

// Components 1 ("poster") and 2 ("receiver") in process 1; level names 5
// ("Five") and 7 ("Seven").
class HandleRig {
 public:
  static constexpr std::uint32_t kPoster = 1, kReceiver = 2;

  HandleRig() : instance_(test::testInstance()) {
    clear();
    master_ = host::MasterSection::create(instance_);
    const std::vector<host::LevelName> levels = {{5, "Five"}, {7, "Seven"}};
    dataMaps_ = host::DataMapsSection::create(*master_, levels, 7);
    const std::vector<host::ComponentSpec> components = {{kPoster, "poster", {}},
                                                         {kReceiver, "receiver", {}}};
    componentSection_ = host::ComponentSection::create(*master_, components, kReceiver);
    std::vector<host::ProcessLayout> processes(2);
    processes[0].process = 0;
    processes[0].queueIds[1] = 1;
    processes[1].process = 1;
    processes[1].queueIds[1] = 2;
    const std::vector<host::QueueLayout> queues = {
        {1, 64 * 1024, queueSemaphoreName(instance_, 1)},
        {2, 64 * 1024, queueSemaphoreName(instance_, 2)}};
    processSection_ = host::ProcessSection::create(*master_, 12'000'000, processes, queues);
    host::TemporalLayout temporal;
    temporal.slotCount = 64;
    temporal.bins = {host::TemporalBinLayout{256, 16}, host::TemporalBinLayout{4096, 8}};
    temporal.maximumSize = 8ULL << 20;
    temporalSection_ = host::TemporalSection::create(instance_, temporal);
    components_ = std::make_unique<ComponentMemory>(master_->memory(), &componentSection_->mutex());
    process_ = std::make_unique<ProcessMemory>(master_->memory());
    temporal_ = std::make_unique<TemporalMemory>(temporalSection_->owner(), instance_);
    dataMapsMemory_ = std::make_unique<DataMapsMemory>(master_->memory(), &dataMaps_->mutex());
    hub_ = std::make_unique<MemoryHub>(temporal_.get(), process_.get(), components_.get(),
                                       dataMapsMemory_.get());
    systemQueue_ = std::make_unique<host::QueueReader>(master_->memory(), 1);
    log_.keepTexts(true);
    context_.logSink = &log_;
    context_.memoryHub = hub_.get();
    context_.processId = 1;
  }
  ~HandleRig() {
    apis_.clear();
    systemQueue_.reset();
    hub_.reset();
    dataMapsMemory_.reset();
    temporal_.reset();
    process_.reset();
    components_.reset();
    temporalSection_.reset();
    processSection_.reset();
    componentSection_.reset();
    dataMaps_.reset();
    master_.reset();
    clear();
  }
  HandleRig(const HandleRig&) = delete;
  HandleRig& operator=(const HandleRig&) = delete;

  bool ready() const {
    return master_ && dataMaps_ && componentSection_ && processSection_ && temporalSection_;
  }

  // A handle for component `id`, with the keep flag set as the host sets it.
  ZelAPI& handle(std::uint32_t id = kPoster) {
    apis_.push_back(std::make_unique<ZelAPI>(&context_, id, inboundSemaphoreName(instance_, id)));
    apis_.back()->setKeep(true);
    return *apis_.back();
  }

  // A trigger message carrying the TriggerSpec for `posts`.
  static std::unique_ptr<DataMessage> trigger(const std::string& name,
                                              const std::vector<host::PostSpecBytes>& posts) {
    auto message = std::make_unique<DataMessage>();
    message->setData("TriggerSpec", *host::buildTriggerSpec(name, posts));
    return message;
  }
  static host::PostSpecBytes post(std::string name, std::uint32_t target,
                                  MessageType type = typeOf({5, 7})) {
    host::PostSpecBytes spec;
    spec.postName = std::move(name);
    spec.targetId = target;
    spec.type = type;
    return spec;
  }

  // Queues (trigger, an empty message with int "n" = n) and takes it with a
  // wait, so that the handle's current trigger is `trigger`.
  static void enter(ZelAPI& api, std::unique_ptr<DataMessage> trigger) {
    if (!api.queuePair(std::move(trigger), std::make_unique<DataMessage>())) return;
    const char* name = nullptr;
    api.waitForNewMessage(100, &name);
  }

  // Every record on the system message queue, oldest first.
  std::vector<DataMessage> delivered() {
    std::vector<DataMessage> out;
    if (auto records = systemQueue_->drain()) {
      for (const auto& bytes : *records) out.emplace_back(bytes);
    }
    return out;
  }

  host::LogPrinter& log() { return log_; }
  host::QueueReader& systemQueue() { return *systemQueue_; }
  host::TemporalSection& temporalSection() { return *temporalSection_; }
  host::ComponentSection& componentSection() { return *componentSection_; }
  HostContext& context() { return context_; }
  std::uint16_t instance() const { return instance_; }

 private:
  void clear() {
    for (const SectionFamily family : kSectionFamilies) {
      removeNamedMutex(familyMutexName(family, instance_));
      removeNamedObjectsWithPrefix(sectionFullName(familySectionPrefix(family, instance_)));
    }
    removeNamedMutex(masterMutexName(instance_));
    removeSharedMemory(masterSectionName(instance_));
    removeNamedObjectsWithPrefix(semaphoreFullName(queueSemaphorePrefix(instance_)));
    removeNamedObjectsWithPrefix(semaphoreFullName(inboundSemaphorePrefix(instance_)));
  }

  std::uint16_t instance_;
  std::unique_ptr<host::MasterSection> master_;
  std::unique_ptr<host::DataMapsSection> dataMaps_;
  std::unique_ptr<host::ComponentSection> componentSection_;
  std::unique_ptr<host::ProcessSection> processSection_;
  std::unique_ptr<host::TemporalSection> temporalSection_;
  std::unique_ptr<ComponentMemory> components_;
  std::unique_ptr<ProcessMemory> process_;
  std::unique_ptr<TemporalMemory> temporal_;
  std::unique_ptr<DataMapsMemory> dataMapsMemory_;
  std::unique_ptr<MemoryHub> hub_;
  std::unique_ptr<host::QueueReader> systemQueue_;
  host::LogPrinter log_{nullptr};
  HostContext context_;
  std::vector<std::unique_ptr<ZelAPI>> apis_;
};

}  // namespace vornix::testing
