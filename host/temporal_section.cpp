#include "host/temporal_section.h"

#include <algorithm>
#include <cstring>

#include "runtime/bitmap.h"
#include "util/bytes.h"
#include "util/format.h"
#include "util/object_names.h"
#include "util/shared_memory.h"

namespace vornix::host {

namespace tl = temporal_layout;

namespace {

constexpr std::uint32_t kSectionTimeoutMs = 5000;
constexpr std::uint32_t kFirstSerial = 1;

std::uint64_t binSize(const TemporalBinLayout& bin) {
  return tl::kBinHeaderSize + bitmap::bitmapBytes(bin.blockCount) +
         std::uint64_t{bin.blockCount} * bin.blockSize;
}

}  // namespace

// --- SharedTemporalOwner ---------------------------------------------------

std::unique_ptr<SharedTemporalOwner> SharedTemporalOwner::open(std::uint16_t instanceId) {
  MappedSection view = MappedSection::open(temporalOwnerName(instanceId), std::nullopt, kSize);
  if (!view) return nullptr;
  return std::make_unique<SharedTemporalOwner>(Key{}, instanceId, std::move(view));
}

SharedTemporalOwner::SharedTemporalOwner(Key, std::uint16_t instanceId, MappedSection view) noexcept
    : instanceId_(instanceId), view_(std::move(view)) {}

SharedTemporalOwner::~SharedTemporalOwner() = default;

void SharedTemporalOwner::setSize(std::uint64_t size) {
  bytes::store<std::uint64_t>(bytes(), kStoreSize, size);
}

std::uint64_t SharedTemporalOwner::getSize() {
  return bytes::loadOr<std::uint64_t>(bytes(), kStoreSize, 0);
}

std::uint32_t SharedTemporalOwner::getSerial() {
  return bytes::loadOr<std::uint32_t>(bytes(), kSerial, 0);
}

std::uint32_t SharedTemporalOwner::nextSerial() {
  const std::uint32_t next = getSerial() + 1U;
  bytes::store<std::uint32_t>(bytes(), kSerial, next);
  return next;
}

// --- TemporalSection -------------------------------------------------------

std::uint64_t TemporalSection::sizeOf(const TemporalLayout& layout) {
  std::uint64_t total = tl::kHeaderSize + bitmap::bitmapBytes(layout.slotCount) +
                        std::uint64_t{layout.slotCount} * tl::kSlotSize;
  for (const TemporalBinLayout& bin : layout.bins) total += binSize(bin);
  return total;
}

std::unique_ptr<TemporalSection> TemporalSection::create(std::uint16_t instanceId,
                                                         const TemporalLayout& layout) {
  if (layout.bins.empty() || layout.bins.size() > 0xFFFF) return nullptr;
  for (const TemporalBinLayout& bin : layout.bins) {
    if (bin.blockSize == 0) return nullptr;
  }
  const std::uint64_t total = sizeOf(layout);
  if (total > layout.maximumSize) return nullptr;

  auto mutex = std::make_unique<Mutex>(familyMutexName(SectionFamily::temporal, instanceId));
  if (!mutex->valid()) return nullptr;
  MutexHold hold(*mutex, kSectionTimeoutMs, "vornix::host::TemporalSection::create");
  if (!hold) return nullptr;

  std::optional<OwnedSection> ownerSection =
      OwnedSection::create(temporalOwnerName(instanceId), SharedTemporalOwner::kSize);
  if (!ownerSection) return nullptr;
  std::optional<OwnedSection> section = OwnedSection::create(
      familySectionName(SectionFamily::temporal, instanceId, kFirstSerial), total);
  if (!section) return nullptr;

  const std::span<std::uint8_t> b = section->bytes();
  bytes::store<std::uint32_t>(b, tl::kMark, tl::kFormatMark);
  bytes::store<std::uint32_t>(b, tl::kSlotCount, layout.slotCount);
  bytes::store<std::uint64_t>(b, tl::kMaximumSize, layout.maximumSize);
  bytes::store<std::uint64_t>(b, tl::kCheckTime, layout.checkTime);
  bytes::store<std::uint64_t>(b, tl::kCheckSpan, layout.checkSpan);
  bytes::store<std::uint16_t>(b, tl::kBinCount, static_cast<std::uint16_t>(layout.bins.size()));
  const std::uint64_t slotBitmap = bitmap::bitmapBytes(layout.slotCount);
  bytes::store<std::uint32_t>(b, tl::kSlotBitmapBytes, static_cast<std::uint32_t>(slotBitmap));
  std::memset(b.data() + tl::kHeaderSize, 0xFF, static_cast<std::size_t>(slotBitmap));
  std::uint64_t at = tl::kHeaderSize + slotBitmap + std::uint64_t{layout.slotCount} * tl::kSlotSize;
  for (const TemporalBinLayout& bin : layout.bins) {
    const std::uint64_t bits = bitmap::bitmapBytes(bin.blockCount);
    bytes::store<std::uint64_t>(b, at + tl::kBinTotal, binSize(bin));
    bytes::store<std::uint32_t>(b, at + tl::kBinBlockCount, bin.blockCount);
    bytes::store<std::uint32_t>(b, at + tl::kBinBlockSize, bin.blockSize);
    bytes::store<std::uint32_t>(b, at + tl::kBinBitmapBytes, static_cast<std::uint32_t>(bits));
    std::memset(b.data() + at + tl::kBinHeaderSize, 0xFF, static_cast<std::size_t>(bits));
    at += binSize(bin);
  }

  std::unique_ptr<SharedTemporalOwner> owner = SharedTemporalOwner::open(instanceId);
  if (!owner) return nullptr;
  bytes::store<std::uint32_t>(ownerSection->bytes(), SharedTemporalOwner::kSerial, kFirstSerial);
  bytes::store<std::uint64_t>(ownerSection->bytes(), SharedTemporalOwner::kStoreSize, total);
  return std::make_unique<TemporalSection>(Key{}, instanceId, std::move(*ownerSection),
                                           std::move(owner), std::move(*section), std::move(mutex));
}

TemporalSection::TemporalSection(Key, std::uint16_t instanceId, OwnedSection ownerSection,
                                 std::unique_ptr<SharedTemporalOwner> owner, OwnedSection section,
                                 std::unique_ptr<Mutex> mutex)
    : instanceId_(instanceId),
      ownerSection_(std::move(ownerSection)),
      owner_(std::move(owner)),
      section_(std::move(section)),
      mutex_(std::move(mutex)) {}

TemporalSection::~TemporalSection() {
  const std::string current =
      familySectionName(SectionFamily::temporal, instanceId_, owner_->getSerial());
  if (current != section_.name()) removeSharedMemory(current);
  removeNamedMutex(familyMutexName(SectionFamily::temporal, instanceId_));
}

bool TemporalSection::follow() {
  const std::uint32_t serial = owner_->getSerial();
  if (view_ && serial == serial_) return true;
  bool absent = false;
  MappedSection next =
      MappedSection::open(familySectionName(SectionFamily::temporal, instanceId_, serial),
                          tl::kFormatMark, tl::kHeaderSize, &absent);
  if (absent) return static_cast<bool>(view_);
  if (!next) return false;
  view_ = std::move(next);
  serial_ = serial;
  return true;
}

bool TemporalSection::withSection(const std::function<void(std::span<std::uint8_t>)>& work) {
  MutexHold hold(*mutex_, kSectionTimeoutMs, "vornix::host::TemporalSection::withSection");
  if (!hold || !follow()) return false;
  work(view_.bytes());
  return true;
}

namespace {

// The store's layout as far as the checked header allows: offsets of the
// slot table and of every bin; empty when something does not fit.
struct Walk {
  std::uint32_t slotCount = 0;
  std::uint64_t slots = 0;
  std::vector<std::uint64_t> bins;
};

std::optional<Walk> walk(std::span<const std::uint8_t> b) {
  Walk w;
  if (b.size() < tl::kHeaderSize) return std::nullopt;
  w.slotCount = bytes::loadAt<std::uint32_t>(b.data() + tl::kSlotCount);
  const std::uint64_t bitmapBytes = bytes::loadAt<std::uint32_t>(b.data() + tl::kSlotBitmapBytes);
  w.slots = tl::kHeaderSize + bitmapBytes;
  std::uint64_t at = w.slots + std::uint64_t{w.slotCount} * tl::kSlotSize;
  const std::uint16_t count = bytes::loadAt<std::uint16_t>(b.data() + tl::kBinCount);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint64_t total = 0;
    if (!bytes::load<std::uint64_t>(b, at, total) || total < tl::kBinHeaderSize ||
        !bytes::inRange(b.size(), at, total)) {
      return std::nullopt;
    }
    w.bins.push_back(at);
    at += total;
  }
  return w;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> TemporalSection::readMessage(std::uint64_t memoryId) {
  std::optional<std::vector<std::uint8_t>> result;
  withSection([&](std::span<std::uint8_t> b) {
    const std::optional<Walk> w = walk(b);
    const auto index = static_cast<std::uint32_t>(memoryId & 0xFFFFFFFFU);
    if (!w || index >= w->slotCount) return;
    const std::uint8_t* s = b.data() + w->slots + std::uint64_t{index} * tl::kSlotSize;
    const auto counter = static_cast<std::uint16_t>((memoryId >> 32) & 0xFFFFU);
    const std::uint64_t size = bytes::loadAt<std::uint64_t>(s + tl::kSlotMessageSize);
    const std::uint32_t bin = bytes::loadAt<std::uint32_t>(s + tl::kSlotBin);
    if (bytes::loadAt<std::uint16_t>(s + tl::kSlotCounter) != counter || size == 0 ||
        bin >= w->bins.size()) {
      return;
    }
    const std::uint64_t binAt = w->bins[bin];
    const std::uint64_t data =
        binAt + tl::kBinHeaderSize +
        bytes::loadAt<std::uint32_t>(b.data() + binAt + tl::kBinBitmapBytes) +
        bytes::loadAt<std::uint64_t>(s + tl::kSlotOffset);
    if (!bytes::inRange(b.size(), data, size)) return;
    result.emplace(b.data() + data, b.data() + data + size);
  });
  return result;
}

std::optional<TemporalTotals> TemporalSection::totals() {
  std::optional<TemporalTotals> result;
  withSection([&](std::span<std::uint8_t> b) {
    const std::optional<Walk> w = walk(b);
    if (!w) return;
    TemporalTotals t;
    t.slotCount = w->slotCount;
    t.slotsInUse = bytes::loadAt<std::uint32_t>(b.data() + tl::kSlotsInUse);
    t.bytesInUse = bytes::loadAt<std::uint64_t>(b.data() + tl::kBytesInUse);
    t.sectionSize = b.size();
    t.serial = serial_;
    const std::span<const std::uint8_t> slotBits = b.subspan(tl::kHeaderSize);
    for (std::uint32_t i = 0; i < w->slotCount; ++i) {
      const std::uint8_t* s = b.data() + w->slots + std::uint64_t{i} * tl::kSlotSize;
      if (bitmap::allEqual(slotBits, i, 1, true) ||
          bytes::loadAt<std::uint64_t>(s + tl::kSlotMessageSize) == 0) {
        continue;
      }
      ++t.usedSlots;
      t.allocatedInSlots += bytes::loadAt<std::uint64_t>(s + tl::kSlotAllocated);
      t.blocksInSlots += bytes::loadAt<std::uint32_t>(s + tl::kSlotBlocks);
    }
    for (const std::uint64_t at : w->bins) {
      const std::uint8_t* bin = b.data() + at;
      t.binBytesInUse += bytes::loadAt<std::uint64_t>(bin + tl::kBinBytesInUse);
      t.binBlocksInUse += bytes::loadAt<std::uint32_t>(bin + tl::kBinBlocksInUse);
      const std::uint32_t count = bytes::loadAt<std::uint32_t>(bin + tl::kBinBlockCount);
      const std::span<const std::uint8_t> bits =
          b.subspan(static_cast<std::size_t>(at + tl::kBinHeaderSize));
      for (std::uint32_t k = 0; k < count; ++k) {
        if (bitmap::allEqual(bits, k, 1, false)) ++t.clearBlockBits;
      }
    }
    result = t;
  });
  return result;
}

}  // namespace vornix::host
