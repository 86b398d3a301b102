#include "host/instance_view.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <utility>

#include "host/instance_lookup.h"
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
#include "util/named_objects.h"
#include "util/object_names.h"
#include "util/shared_memory.h"

namespace vornix::host {

namespace {

namespace pl = process_layout;
namespace tl = temporal_layout;
using CL = ComponentMemory::Layout;

// Copies that saw a section change under them are made again this often
// before the snapshot gives up as "busy".
constexpr int kCopyAttempts = 8;

// Copies `from` without any lock, in relaxed atomic loads of aligned 32-bit
// words (single bytes at the ends): the writers go on meanwhile, so the copy
// may mix older and newer fields, and its user checks it for consistency.
std::vector<std::uint8_t> quietCopy(std::span<std::uint8_t> from) {
  std::vector<std::uint8_t> to(from.size());
  std::size_t i = 0;
  for (; i < from.size() && reinterpret_cast<std::uintptr_t>(from.data() + i) % 4 != 0; ++i) {
    to[i] = std::atomic_ref<std::uint8_t>(from[i]).load(std::memory_order_relaxed);
  }
  for (; i + 4 <= from.size(); i += 4) {
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): an aligned word of the mapping
    auto* word = reinterpret_cast<std::uint32_t*>(from.data() + i);
    const std::uint32_t value =
        std::atomic_ref<std::uint32_t>(*word).load(std::memory_order_relaxed);
    std::memcpy(to.data() + i, &value, sizeof value);
  }
  for (; i < from.size(); ++i) {
    to[i] = std::atomic_ref<std::uint8_t>(from[i]).load(std::memory_order_relaxed);
  }
  std::atomic_thread_fence(std::memory_order_acquire);
  return to;
}

// One field of a mapped section, read as quietCopy reads.
template <class T>
T quietLoad(std::span<std::uint8_t> from, std::uint64_t at) {
  if (!bytes::inRange(from.size(), at, sizeof(T))) return T{};
  const std::vector<std::uint8_t> copy =
      quietCopy(from.subspan(static_cast<std::size_t>(at), sizeof(T)));
  return bytes::loadOr<T>(std::span<const std::uint8_t>(copy), 0, T{});
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

// A section of one family, followed through its published serial.
struct FollowedSection {
  MappedSection view;
  std::uint32_t serial = 0;
};

}  // namespace

struct InstanceView::State {
  std::uint16_t instance = 0;
  MappedSection masterView;
  MappedSection temporalOwner;  // empty when the instance has no store
  FollowedSection component, process, dataMaps, temporal;

  // The published serial of a family, read without the master's mutex.
  std::uint32_t serialOf(SectionFamily family) {
    switch (family) {
      case SectionFamily::component:
        return quietLoad<std::uint32_t>(masterView.bytes(), MasterMemory::kComponentSerial);
      case SectionFamily::process:
        return quietLoad<std::uint32_t>(masterView.bytes(), MasterMemory::kProcessSerial);
      case SectionFamily::dataMaps:
        return quietLoad<std::uint32_t>(masterView.bytes(), MasterMemory::kDataMapsSerial);
      default:
        return quietLoad<std::uint32_t>(temporalOwner.bytes(), SharedTemporalOwner::kSerial);
    }
  }

  // A settled copy of the family's current section: its published serial and
  // its size word are read before and after the copy and must agree, else
  // the copy is made again (a grow or a writer in between). Nullopt with the
  // reason in `error`.
  std::optional<std::vector<std::uint8_t>> settledCopy(SectionFamily family,
                                                       FollowedSection& followed,
                                                       std::uint32_t formatMark,
                                                       std::uint64_t minimumBytes, const char* what,
                                                       std::string& error);

  bool readComponents(InstanceSnapshot& out,
                      std::vector<std::pair<MessageType, MessageType>>& types, std::string& error);
  bool readQueues(InstanceSnapshot& out, std::string& error);
  bool readStore(InstanceSnapshot& out, std::string& error);
  std::string printable(const MessageType& type, std::span<const std::uint8_t> dataMapsCopy);
};

std::optional<std::vector<std::uint8_t>> InstanceView::State::settledCopy(
    SectionFamily family, FollowedSection& followed, std::uint32_t formatMark,
    std::uint64_t minimumBytes, const char* what, std::string& error) {
  for (int attempt = 0; attempt < kCopyAttempts; ++attempt) {
    const std::uint32_t serial = serialOf(family);
    if (!followed.view || serial != followed.serial) {
      MappedSection next = MappedSection::open(familySectionName(family, instance, serial),
                                               formatMark, minimumBytes);
      if (!next) {
        if (serialOf(family) != serial) continue;  // replaced while it was opened
        error = formatString("%s (serial %u) cannot be opened", what, serial);
        return std::nullopt;
      }
      followed.view = std::move(next);
      followed.serial = serial;
    }
    const std::uint64_t sizeWord = quietLoad<std::uint64_t>(followed.view.bytes(), 0);
    std::vector<std::uint8_t> copy = quietCopy(followed.view.bytes());
    if (serialOf(family) == serial &&
        quietLoad<std::uint64_t>(followed.view.bytes(), 0) == sizeWord &&
        bytes::loadOr<std::uint64_t>(std::span<const std::uint8_t>(copy), 0, 0) == sizeWord) {
      return copy;
    }
  }
  error = formatString("%s kept changing while it was read (busy, try again)", what);
  return std::nullopt;
}

bool InstanceView::State::readComponents(InstanceSnapshot& out,
                                         std::vector<std::pair<MessageType, MessageType>>& types,
                                         std::string& error) {
  const std::optional<std::vector<std::uint8_t>> copy =
      settledCopy(SectionFamily::component, component, ComponentMemory::kFormatMark, 0,
                  "the component section", error);
  if (!copy) return false;
  out.componentSerial = component.serial;
  const std::span<const std::uint8_t> section(*copy);
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
  const std::optional<std::vector<std::uint8_t>> copy =
      settledCopy(SectionFamily::process, process, pl::kFormatMark, pl::kQueuesStart,
                  "the process section", error);
  if (!copy) return false;
  const std::span<const std::uint8_t> section(*copy);
  out.processSerial = process.serial;
  // Which process lists which queue.
  std::vector<std::int32_t> owner(pl::kQueueCount, -1);
  for (std::uint64_t p = 0; p < pl::kProcessCount; ++p) {
    const std::uint64_t record = pl::kRecords + p * pl::kRecordSize;
    if (bytes::loadOr<std::uint64_t>(section, record + pl::kInUse, 0) == 0) continue;
    const std::uint64_t ids = bytes::loadOr<std::uint64_t>(section, record + pl::kQueueIds, 0);
    for (unsigned type = 0; type < 4; ++type) {
      const auto id = static_cast<std::uint16_t>(ids >> (16U * type));
      if (id != 0 && id < pl::kQueueCount) owner[id] = static_cast<std::int32_t>(p);
    }
  }
  for (std::uint64_t id = 0; id < pl::kQueueCount; ++id) {
    const std::uint64_t offset = bytes::loadOr<std::uint64_t>(section, pl::kQueueTable + id * 8, 0);
    if (offset == 0 || !bytes::inRange(section.size(), offset, queue::kSemaphoreName)) continue;
    const std::span<const std::uint8_t> h = section.subspan(static_cast<std::size_t>(offset));
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
    temporalOwner =
        MappedSection::open(temporalOwnerName(instance), std::nullopt, SharedTemporalOwner::kSize);
    if (!temporalOwner) return true;  // an instance without a store
  }
  const std::optional<std::vector<std::uint8_t>> copy =
      settledCopy(SectionFamily::temporal, temporal, tl::kFormatMark, tl::kHeaderSize,
                  "the temporal store", error);
  if (!copy) return false;
  const std::span<const std::uint8_t> s(*copy);
  StoreView store;
  store.serial = temporal.serial;
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

std::string InstanceView::State::printable(const MessageType& type,
                                           std::span<const std::uint8_t> dataMapsCopy) {
  if (type.empty()) return std::string();
  return typeName(type, [dataMapsCopy](std::uint16_t level, std::string& name) {
    std::array<char, 257> buffer{};
    const bool found =
        DataMapsMemory::typeLevelName(dataMapsCopy, level, std::span<char>(buffer).first(256));
    name = found ? std::string(buffer.data()) : std::string();
    return found;
  });
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
  // Type names come from a copy of the data-maps section; without one (none
  // yet, or it never settled) the types are shown by number.
  std::string ignored;
  const std::vector<std::uint8_t> dataMaps =
      s.settledCopy(SectionFamily::dataMaps, s.dataMaps, DataMapsMemory::kFormatMark, 0,
                    "the data-maps section", ignored)
          .value_or(std::vector<std::uint8_t>{});
  for (std::size_t i = 0; i < out.components.size() && i < types.size(); ++i) {
    out.components[i].lastReceivedType = s.printable(types[i].first, dataMaps);
    out.components[i].lastPostedType = s.printable(types[i].second, dataMaps);
  }
  return out;
}

}  // namespace vornix::host
