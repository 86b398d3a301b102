#include "host/instance_view.h"

#include <algorithm>
#include <utility>

#include "host/instance_lookup.h"
#include "host/master_section.h"
#include "host/process_section.h"
#include "host/temporal_section.h"
#include "runtime/component_memory.h"
#include "runtime/data_maps_memory.h"
#include "runtime/data_message.h"
#include "runtime/mapped_section.h"
#include "runtime/master_memory.h"
#include "runtime/message_queue.h"
#include "runtime/message_type.h"
#include "runtime/process_memory.h"
#include "runtime/temporal_memory.h"
#include "util/bytes.h"
#include "util/format.h"
#include "util/mutex.h"
#include "util/named_objects.h"
#include "util/object_names.h"
#include "util/shared_memory.h"

namespace vornix::host {

namespace {

constexpr std::uint32_t kSectionTimeoutMs = 5000;

namespace pl = process_layout;
namespace tl = temporal_layout;
using CL = ComponentMemory::Layout;

// Opens the named mutex `logicalName` only when it exists already.
std::unique_ptr<Mutex> openExistingMutex(const std::string& logicalName) {
  if (!namedObjectExists(mutexFullName(logicalName))) return nullptr;
  auto mutex = std::make_unique<Mutex>(logicalName);
  if (!mutex->valid()) return nullptr;
  return mutex;
}

// The printable type of the record in one history slot; empty when the slot
// does not hold a usable record.
MessageType historyType(std::span<const std::uint8_t> slot) {
  std::uint32_t size = 0;
  std::uint32_t kind = 0;
  if (!bytes::load(slot, record::kSize, size) || !bytes::load(slot, record::kKind, kind)) return {};
  if (kind != static_cast<std::uint32_t>(RecordKind::kMessage) || size < record::kHeaderSize ||
      size > slot.size()) {
    return {};
  }
  const DataMessage message(slot.first(size));
  return message.isValid() ? message.getType() : MessageType{};
}

}  // namespace

struct InstanceView::State {
  std::uint16_t instance = 0;
  MappedSection masterView;
  std::unique_ptr<Mutex> masterMutex;
  std::unique_ptr<MasterMemory> master;

  std::unique_ptr<Mutex> componentMutex;
  MappedSection componentView;
  std::uint32_t componentSerial = 0;

  std::unique_ptr<Mutex> dataMapsMutex;
  std::unique_ptr<DataMapsMemory> dataMaps;

  std::unique_ptr<QueueReader> processReader;

  std::unique_ptr<SharedTemporalOwner> temporalOwner;
  std::unique_ptr<Mutex> temporalMutex;
  MappedSection temporalView;
  std::uint32_t temporalSerial = 0;

  ~State() {
    // Clients before the mutexes and the master view they use.
    processReader.reset();
    dataMaps.reset();
    master.reset();
  }

  bool readComponents(InstanceSnapshot& out,
                      std::vector<std::pair<MessageType, MessageType>>& types, std::string& error);
  bool readQueues(InstanceSnapshot& out, std::string& error);
  bool readStore(InstanceSnapshot& out, std::string& error);
  std::string printable(const MessageType& type);
};

bool InstanceView::State::readComponents(InstanceSnapshot& out,
                                         std::vector<std::pair<MessageType, MessageType>>& types,
                                         std::string& error) {
  if (!componentMutex) {
    componentMutex = openExistingMutex(familyMutexName(SectionFamily::component, instance));
    if (!componentMutex) {
      error = "the component section's mutex is gone";
      return false;
    }
  }
  MutexHold hold(*componentMutex, kSectionTimeoutMs, "vornix::host::InstanceView::components");
  if (!hold) {
    error = "the component section's mutex was not had within 5000 ms";
    return false;
  }
  // A replaced section is followed: the published serial names the current one.
  const std::uint32_t serial = master->getComponentShmemSerial();
  if (!componentView || serial != componentSerial) {
    MappedSection next =
        MappedSection::open(familySectionName(SectionFamily::component, instance, serial),
                            ComponentMemory::kFormatMark);
    if (!next) {
      error = formatString("the component section (serial %u) cannot be opened", serial);
      return false;
    }
    componentView = std::move(next);
    componentSerial = serial;
  }
  out.componentSerial = componentSerial;
  const std::span<const std::uint8_t> section = componentView.bytes();
  std::uint32_t count = 0;
  if (!bytes::load(section, CL::kCount, count)) {
    error = "the component section is too short";
    return false;
  }
  for (std::uint64_t id = 0; id <= count; ++id) {
    std::uint64_t offset = 0;
    if (!bytes::load(section, CL::kOffsetTable + id * 8, offset)) {
      error = "the component section's offset table runs past its end";
      return false;
    }
    if (offset == 0) continue;
    const std::uint64_t start = std::uint64_t{count} * 8;
    if (offset > section.size() ||
        !bytes::inRange(section.size(), start + offset,
                        CL::kPostedHistory + ComponentMemory::kHistorySlotBytes)) {
      error = formatString("the entry of component %llu lies outside the section",
                           static_cast<unsigned long long>(id));
      return false;
    }
    const std::span<const std::uint8_t> entry =
        section.subspan(static_cast<std::size_t>(start + offset));
    ComponentView view;
    view.id = static_cast<std::uint32_t>(id);
    std::size_t length = 0;
    if (bytes::boundedTextLength(entry, CL::kName, CL::kNameWidth, length)) {
      view.name.assign(reinterpret_cast<const char*>(entry.data() + CL::kName), length);
    }
    view.status = bytes::loadAt<std::uint8_t>(entry.data() + CL::kStatus);
    view.lastUpdate = bytes::loadAt<std::uint64_t>(entry.data() + CL::kLastUpdate);
    view.received = bytes::loadAt<std::uint64_t>(entry.data() + CL::kReceived);
    view.receivedBytes = bytes::loadAt<std::uint64_t>(entry.data() + CL::kReceivedBytes);
    view.posted = bytes::loadAt<std::uint64_t>(entry.data() + CL::kPosted);
    view.postedBytes = bytes::loadAt<std::uint64_t>(entry.data() + CL::kPostedBytes);
    bytes::load(entry, CL::kUndelivered, view.undelivered);
    const MessageType in =
        view.received != 0
            ? historyType(entry.subspan(CL::kReceivedHistory, ComponentMemory::kHistorySlotBytes))
            : MessageType{};
    const MessageType posted =
        view.posted != 0
            ? historyType(entry.subspan(CL::kPostedHistory, ComponentMemory::kHistorySlotBytes))
            : MessageType{};
    types.emplace_back(in, posted);
    out.components.push_back(std::move(view));
  }
  return true;
}

bool InstanceView::State::readQueues(InstanceSnapshot& out, std::string& error) {
  if (!processReader) {
    // QueueReader opens the section mutex by name: only when it is there.
    if (!namedObjectExists(mutexFullName(familyMutexName(SectionFamily::process, instance)))) {
      error = "the process section's mutex is gone";
      return false;
    }
    processReader = std::make_unique<QueueReader>(*master, 0);
  }
  const std::optional<std::vector<std::uint8_t>> table =
      processReader->readBytes(pl::kQueueTable, pl::kQueueCount * 8);
  if (!table) {
    error = "the process section cannot be read";
    return false;
  }
  out.processSerial = processReader->serial();
  // Which process lists which queue.
  std::vector<std::int32_t> owner(pl::kQueueCount, -1);
  for (std::uint64_t p = 0; p < pl::kProcessCount; ++p) {
    const std::uint64_t record = pl::kRecords + p * pl::kRecordSize;
    const std::optional<std::uint64_t> inUse = processReader->readU64(record + pl::kInUse);
    if (!inUse || *inUse == 0) continue;
    const std::optional<std::uint64_t> ids = processReader->readU64(record + pl::kQueueIds);
    if (!ids) continue;
    for (unsigned type = 0; type < 4; ++type) {
      const auto id = static_cast<std::uint16_t>(*ids >> (16U * type));
      if (id != 0 && id < pl::kQueueCount) owner[id] = static_cast<std::int32_t>(p);
    }
  }
  for (std::uint64_t id = 0; id < pl::kQueueCount; ++id) {
    std::uint64_t offset = 0;
    bytes::load(std::span<const std::uint8_t>(*table), id * 8, offset);
    if (offset == 0) continue;
    const std::optional<std::vector<std::uint8_t>> header =
        processReader->readBytes(offset, queue::kSemaphoreName);
    if (!header) continue;  // moved by a grow between the two reads
    const std::span<const std::uint8_t> h(*header);
    QueueView view;
    view.id = static_cast<std::uint32_t>(id);
    view.process = owner[static_cast<std::size_t>(id)];
    const std::uint32_t ownId = bytes::loadOr<std::uint32_t>(h, queue::kId, 0);
    view.size = bytes::loadOr<std::uint64_t>(h, queue::kSize, 0);
    view.counter = bytes::loadOr<std::uint32_t>(h, queue::kCounter, 0);
    const std::uint64_t r = bytes::loadOr<std::uint64_t>(h, queue::kRead, 0);
    const std::uint64_t w = bytes::loadOr<std::uint64_t>(h, queue::kWrite, 0);
    const std::uint64_t g = bytes::loadOr<std::uint64_t>(h, queue::kGap, 0);
    if (ownId != id || view.size < queue::kHeaderSize) continue;
    view.capacity = view.size - queue::kHeaderSize;
    if (r > view.capacity || w > view.capacity || g > view.capacity) continue;
    if (w >= r) {
      view.used = w - r;
    } else {
      const std::uint64_t tail = view.capacity - g;
      view.used = (tail > r ? tail - r : 0) + w;
    }
    out.queues.push_back(view);
  }
  return true;
}

bool InstanceView::State::readStore(InstanceSnapshot& out, std::string& error) {
  if (!temporalOwner) {
    temporalOwner = SharedTemporalOwner::open(instance);
    if (!temporalOwner) return true;  // an instance without a store
  }
  if (!temporalMutex) {
    temporalMutex = openExistingMutex(familyMutexName(SectionFamily::temporal, instance));
    if (!temporalMutex) {
      error = "the temporal store's mutex is gone";
      return false;
    }
  }
  MutexHold hold(*temporalMutex, kSectionTimeoutMs, "vornix::host::InstanceView::store");
  if (!hold) {
    error = "the temporal store's mutex was not had within 5000 ms";
    return false;
  }
  const std::uint32_t serial = temporalOwner->getSerial();
  if (!temporalView || serial != temporalSerial) {
    MappedSection next = MappedSection::open(
        familySectionName(SectionFamily::temporal, instance, serial), tl::kFormatMark);
    if (!next) {
      error = formatString("the temporal store (serial %u) cannot be opened", serial);
      return false;
    }
    temporalView = std::move(next);
    temporalSerial = serial;
  }
  const std::span<const std::uint8_t> s = temporalView.bytes();
  StoreView store;
  store.serial = temporalSerial;
  std::uint16_t binCount = 0;
  std::uint32_t bitmapBytes = 0;
  if (!bytes::load(s, tl::kSize, store.sectionSize) ||
      !bytes::load(s, tl::kSlotCount, store.slotCount) ||
      !bytes::load(s, tl::kSlotsInUse, store.slotsInUse) ||
      !bytes::load(s, tl::kBytesInUse, store.bytesInUse) ||
      !bytes::load(s, tl::kBinCount, binCount) ||
      !bytes::load(s, tl::kSlotBitmapBytes, bitmapBytes)) {
    error = "the temporal store's header is cut short";
    return false;
  }
  std::uint64_t at =
      tl::kHeaderSize + std::uint64_t{bitmapBytes} + std::uint64_t{store.slotCount} * tl::kSlotSize;
  for (std::uint32_t b = 0; b < binCount; ++b) {
    std::uint64_t total = 0;
    BinView bin;
    if (!bytes::load(s, at + tl::kBinTotal, total) ||
        !bytes::load(s, at + tl::kBinBlockCount, bin.blockCount) ||
        !bytes::load(s, at + tl::kBinBlockSize, bin.blockSize) ||
        !bytes::load(s, at + tl::kBinBlocksInUse, bin.blocksInUse) ||
        !bytes::load(s, at + tl::kBinBytesInUse, bin.bytesInUse) || total < tl::kBinHeaderSize ||
        !bytes::inRange(s.size(), at, total)) {
      error = formatString("bin %u of the temporal store is corrupt", b);
      return false;
    }
    store.bins.push_back(bin);
    at += total;
  }
  out.store = std::move(store);
  return true;
}

std::string InstanceView::State::printable(const MessageType& type) {
  if (type.empty()) return std::string();
  if (!dataMaps) {
    if (!dataMapsMutex) {
      dataMapsMutex = openExistingMutex(familyMutexName(SectionFamily::dataMaps, instance));
    }
    if (!dataMapsMutex) return typeName(type, [](std::uint16_t, std::string&) { return false; });
    dataMaps = std::make_unique<DataMapsMemory>(*master, dataMapsMutex.get());
  }
  return typeName(type, dataMaps->levelNameLookup());
}

InstanceView::InstanceView(Key, std::unique_ptr<State> state) : state_(std::move(state)) {}
InstanceView::~InstanceView() = default;

std::uint16_t InstanceView::instance() const noexcept {
  return state_->instance;
}

std::unique_ptr<InstanceView> InstanceView::open(std::uint16_t instance, std::string& error) {
  auto state = std::make_unique<State>();
  state->instance = instance;
  const std::string sectionName = masterSectionName(instance);
  if (!namedObjectExists(sectionFullName(sectionName))) {
    error = formatString("instance %u is not running (no master section)", instance);
    return nullptr;
  }
  state->masterView = MappedSection::open(sectionName, std::nullopt, MasterMemory::kMinimumSize);
  if (!state->masterView) {
    error = formatString("the master section of instance %u cannot be read", instance);
    return nullptr;
  }
  state->masterMutex = openExistingMutex(masterMutexName(instance));
  if (!state->masterMutex) {
    error = formatString("the master section's mutex of instance %u is gone", instance);
    return nullptr;
  }
  state->master =
      std::make_unique<MasterMemory>(instance, state->masterMutex.get(), state->masterView.bytes());
  return std::make_unique<InstanceView>(Key{}, std::move(state));
}

std::optional<InstanceSnapshot> InstanceView::snapshot(std::string& error) {
  State& s = *state_;
  InstanceSnapshot out;
  out.instance = s.instance;
  std::vector<std::pair<MessageType, MessageType>> types;
  if (!s.readComponents(out, types, error) || !s.readQueues(out, error) ||
      !s.readStore(out, error)) {
    return std::nullopt;
  }
  // Type names come from the data-maps section, read after the component
  // section's mutex has been left (no two section mutexes are held at once).
  for (std::size_t i = 0; i < out.components.size() && i < types.size(); ++i) {
    out.components[i].lastReceivedType = s.printable(types[i].first);
    out.components[i].lastPostedType = s.printable(types[i].second);
  }
  return out;
}

}  // namespace vornix::host
