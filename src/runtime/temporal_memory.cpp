#include "runtime/temporal_memory.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "runtime/bitmap.h"
#include "util/bytes.h"
#include "util/format.h"
#include "util/log.h"
#include "util/object_names.h"
#include "util/shared_memory.h"

namespace vornix {

namespace tl = temporal_layout;

namespace {

constexpr std::uint32_t kSectionTimeoutMs = 5000;
constexpr std::uint32_t kMostBlocksOutsideLastBin = 4;

template <class T>
T loadAt(const std::uint8_t* base, std::uint64_t offset) noexcept {
  return bytes::loadAt<T>(base + offset);
}

template <class T>
void storeAt(std::uint8_t* base, std::uint64_t offset, T value) noexcept {
  bytes::storeAt<T>(base + offset, value);
}

void logInsertFailure(const char* reason) {
  logLine(0, 3, 0, "Could not add message to TemporalMemory, %s", reason);
}

std::string sizeText(std::uint64_t n) {
  return byteSizeText(static_cast<double>(n));
}

std::uint64_t ceilDiv(std::uint64_t a, std::uint64_t b) noexcept {
  return a / b + (a % b != 0 ? 1 : 0);
}

}  // namespace

TemporalMemory::TemporalMemory(TemporalOwner& owner, std::uint16_t tag)
    : owner_(&owner), tag_(tag) {}

TemporalMemory::~TemporalMemory() = default;

Mutex* TemporalMemory::storeMutex() {
  std::call_once(mutexOnce_, [this] {
    mutex_ =
        std::make_unique<Mutex>(familyMutexName(SectionFamily::temporal, owner_->getInstanceId()));
  });
  return mutex_.get();
}

std::string TemporalMemory::sectionName(std::uint32_t serial) const {
  return familySectionName(SectionFamily::temporal, instanceId_, serial);
}

std::span<std::uint8_t> TemporalMemory::slotBitmap() const noexcept {
  return section().subspan(tl::kHeaderSize, static_cast<std::size_t>(slotBitmapBytes_));
}

std::span<std::uint8_t> TemporalMemory::binBitmap(const Bin& bin) const noexcept {
  return section().subspan(static_cast<std::size_t>(bin.offset + tl::kBinHeaderSize),
                           static_cast<std::size_t>(bin.bitmapBytes));
}

std::uint8_t* TemporalMemory::slot(std::uint32_t index) const noexcept {
  return view_.data() + slotsOffset_ + std::uint64_t{index} * tl::kSlotSize;
}

bool TemporalMemory::open() {
  MutexHold hold(*storeMutex(), kSectionTimeoutMs, "vornix::TemporalMemory::open");
  if (!hold) return false;
  return openLocked();
}

bool TemporalMemory::openLocked() {
  const std::uint32_t serial = owner_->getSerial();
  const std::uint64_t ownerSize = owner_->getSize();
  instanceId_ = owner_->getInstanceId();
  bool absent = false;
  MappedSection view =
      MappedSection::open(sectionName(serial), tl::kFormatMark, tl::kHeaderSize, &absent);
  if (absent) {
    // A grow that took its serial and then could not create its section
    // leaves the owner's size as it was: the mapped section is still current.
    return view_ && serial != serial_ &&
           ownerSize == loadAt<std::uint64_t>(view_.data(), tl::kSize);
  }
  if (!view) return false;
  view_ = std::move(view);  // releases the view replaced
  serial_ = serial;
  return true;
}

bool TemporalMemory::readLayout() {
  if (view_.size() < tl::kHeaderSize) return false;
  slotCount_ = loadAt<std::uint32_t>(view_.data(), tl::kSlotCount);
  slotBitmapBytes_ = loadAt<std::uint32_t>(view_.data(), tl::kSlotBitmapBytes);
  if (slotBitmapBytes_ < bitmap::bitmapBytes(slotCount_)) return false;
  slotsOffset_ = tl::kHeaderSize + slotBitmapBytes_;
  const std::uint64_t slotBytes = std::uint64_t{slotCount_} * tl::kSlotSize;
  if (!bytes::inRange(view_.size(), slotsOffset_, slotBytes)) return false;
  const std::uint16_t binCount = loadAt<std::uint16_t>(view_.data(), tl::kBinCount);
  if (binCount == 0) return false;
  bins_.clear();
  std::uint64_t offset = slotsOffset_ + slotBytes;
  for (std::uint32_t i = 0; i < binCount; ++i) {
    if (!bytes::inRange(view_.size(), offset, tl::kBinHeaderSize)) return false;
    Bin bin;
    bin.offset = offset;
    bin.total = loadAt<std::uint64_t>(view_.data(), offset + tl::kBinTotal);
    bin.blockCount = loadAt<std::uint32_t>(view_.data(), offset + tl::kBinBlockCount);
    bin.blockSize = loadAt<std::uint32_t>(view_.data(), offset + tl::kBinBlockSize);
    bin.bitmapBytes = loadAt<std::uint32_t>(view_.data(), offset + tl::kBinBitmapBytes);
    if (bin.blockSize == 0 || bin.bitmapBytes < bitmap::bitmapBytes(bin.blockCount)) return false;
    const std::uint64_t needed =
        tl::kBinHeaderSize + bin.bitmapBytes + std::uint64_t{bin.blockCount} * bin.blockSize;
    if (bin.total < needed || !bytes::inRange(view_.size(), offset, bin.total)) return false;
    bins_.push_back(bin);
    offset += bin.total;
  }
  return true;
}

bool TemporalMemory::insertMessage(const DataMessage& message, std::uint64_t& memoryId) {
  const Micros now = currentTime();
  const std::uint64_t created = message.getCreatedTime();
  const std::uint64_t ttl = message.ttl();
  // The expiry is computed in 64 bits; one past the clock's range never ends.
  const std::uint64_t expiry = ttl > std::numeric_limits<std::uint64_t>::max() - created
                                   ? std::numeric_limits<std::uint64_t>::max()
                                   : created + ttl;
  if (!message.isValid() || ttl == 0 || expiry <= now || message.bytes().size() < message.size()) {
    logInsertFailure("expired already");
    return false;
  }
  Mutex* mutex = storeMutex();
  if (mutex == nullptr) return false;
  MutexHold hold(*mutex, kSectionTimeoutMs, "vornix::TemporalMemory::insertMessage");
  if (!hold) return false;
  if (!view_ || owner_->getSerial() != serial_) {
    if (!openLocked()) return false;
  }
  return insertLocked(message, now, expiry, memoryId);
}

bool TemporalMemory::insertLocked(const DataMessage& message, Micros now, Micros expiry,
                                  std::uint64_t& memoryId) {
  if (!readLayout() || !checkSlots(now)) return false;
  std::optional<std::uint32_t> free = bitmap::lowestSet(slotBitmap(), slotCount_);
  if (!free) {
    if (!growSlots()) {
      logInsertFailure("slot resize error");
      return false;
    }
    if (!readLayout()) return false;
    free = bitmap::lowestSet(slotBitmap(), slotCount_);
    if (!free) {
      logInsertFailure("slot post resize error");
      return false;
    }
  }
  const std::uint64_t messageSize = message.size();
  std::optional<Placement> place = findBin(messageSize);
  if (!place) {
    logInsertFailure("bin search error");
    return false;
  }
  std::optional<std::uint32_t> first =
      bitmap::lowestRun(binBitmap(bins_[place->bin]), bins_[place->bin].blockCount, place->blocks);
  if (!first) {
    if (!growBins(place->bin, messageSize)) {
      logInsertFailure("bin resize error");
      return false;
    }
    if (!readLayout()) return false;
    place = findBin(messageSize);
    if (!place) {
      logInsertFailure("bin post resize search error");
      return false;
    }
    first = bitmap::lowestRun(binBitmap(bins_[place->bin]), bins_[place->bin].blockCount,
                              place->blocks);
    if (!first) {
      logInsertFailure("bin post resize error");
      return false;
    }
  }
  const Bin& bin = bins_[place->bin];
  const std::uint64_t dataOffset = std::uint64_t{*first} * bin.blockSize;
  const std::uint64_t allocated = std::uint64_t{place->blocks} * bin.blockSize;
  std::memcpy(view_.data() + bin.dataOffset() + dataOffset, message.record(),
              static_cast<std::size_t>(messageSize));
  bitmap::assign(binBitmap(bin), *first, place->blocks, false);

  std::uint8_t* s = slot(*free);
  const auto counter = static_cast<std::uint16_t>(loadAt<std::uint16_t>(s, tl::kSlotCounter) + 1U);
  storeAt<std::uint16_t>(s, tl::kSlotCounter, counter);
  storeAt<std::uint32_t>(s, tl::kSlotBin, place->bin);
  storeAt<std::uint64_t>(s, tl::kSlotExpiry, expiry);
  storeAt<std::uint64_t>(s, tl::kSlotMessageSize, messageSize);
  storeAt<std::uint64_t>(s, tl::kSlotOffset, dataOffset);
  storeAt<std::uint64_t>(s, tl::kSlotAllocated, allocated);
  storeAt<std::uint32_t>(s, tl::kSlotFirstBlock, *first);
  storeAt<std::uint32_t>(s, tl::kSlotBlocks, place->blocks);

  std::uint8_t* b = view_.data() + bin.offset;
  storeAt<std::uint32_t>(b, tl::kBinBlocksInUse,
                         loadAt<std::uint32_t>(b, tl::kBinBlocksInUse) + place->blocks);
  storeAt<std::uint64_t>(b, tl::kBinBytesInUse,
                         loadAt<std::uint64_t>(b, tl::kBinBytesInUse) + allocated);
  storeAt<std::uint32_t>(view_.data(), tl::kSlotsInUse,
                         loadAt<std::uint32_t>(view_.data(), tl::kSlotsInUse) + 1U);
  storeAt<std::uint64_t>(view_.data(), tl::kBytesInUse,
                         loadAt<std::uint64_t>(view_.data(), tl::kBytesInUse) + allocated);
  bitmap::assign(slotBitmap(), *free, 1, false);
  memoryId = TemporalMemory::memoryId(*free, counter, tag_);
  return true;
}

bool TemporalMemory::checkSlots(Micros now) {
  const std::uint64_t checkTime = loadAt<std::uint64_t>(view_.data(), tl::kCheckTime);
  const std::uint64_t span = loadAt<std::uint64_t>(view_.data(), tl::kCheckSpan);
  if (checkTime != 0 && span <= std::numeric_limits<std::uint64_t>::max() - checkTime &&
      now > checkTime + span) {
    return true;
  }
  const std::uint32_t inUse = loadAt<std::uint32_t>(view_.data(), tl::kSlotsInUse);
  if (inUse == 0) return true;
  const std::optional<std::uint32_t> highest = bitmap::highestClear(slotBitmap(), slotCount_);
  if (!highest) {
    logLine(0, 3, 0,
            "TemporalMemory::checkSlots inconsistency, no slots found, but header claims %u slots "
            "in use...",
            static_cast<unsigned>(inUse));
    return true;
  }
  for (std::uint32_t i = 0; i <= *highest; ++i) {
    std::uint8_t* s = slot(i);
    if (loadAt<std::uint64_t>(s, tl::kSlotMessageSize) == 0 ||
        loadAt<std::uint64_t>(s, tl::kSlotExpiry) > now) {
      continue;
    }
    const std::uint32_t binIndex = loadAt<std::uint32_t>(s, tl::kSlotBin);
    if (binIndex >= bins_.size()) return false;
    const Bin& bin = bins_[binIndex];
    const std::uint32_t first = loadAt<std::uint32_t>(s, tl::kSlotFirstBlock);
    const std::uint32_t blocks = loadAt<std::uint32_t>(s, tl::kSlotBlocks);
    if (!bytes::inRange(bin.blockCount, first, blocks)) return false;
    const std::uint64_t allocated = loadAt<std::uint64_t>(s, tl::kSlotAllocated);
    bitmap::assign(binBitmap(bin), first, blocks, true);
    std::uint8_t* b = view_.data() + bin.offset;
    storeAt<std::uint64_t>(b, tl::kBinBytesInUse,
                           loadAt<std::uint64_t>(b, tl::kBinBytesInUse) - allocated);
    storeAt<std::uint32_t>(b, tl::kBinBlocksInUse,
                           loadAt<std::uint32_t>(b, tl::kBinBlocksInUse) - blocks);
    storeAt<std::uint64_t>(view_.data(), tl::kBytesInUse,
                           loadAt<std::uint64_t>(view_.data(), tl::kBytesInUse) - allocated);
    storeAt<std::uint32_t>(view_.data(), tl::kSlotsInUse,
                           loadAt<std::uint32_t>(view_.data(), tl::kSlotsInUse) - 1U);
    storeAt<std::uint64_t>(s, tl::kSlotMessageSize, 0);
    bitmap::assign(slotBitmap(), i, 1, true);
  }
  return true;
}

std::optional<TemporalMemory::Placement> TemporalMemory::findBin(std::uint64_t messageSize) const {
  for (std::size_t i = 0; i < bins_.size(); ++i) {
    const std::uint64_t blocks = ceilDiv(messageSize, bins_[i].blockSize);
    const bool last = i + 1 == bins_.size();
    if (last || blocks <= kMostBlocksOutsideLastBin) {
      if (blocks > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
      return Placement{static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(blocks)};
    }
  }
  return std::nullopt;
}

std::vector<TemporalMemory::PlannedBin> TemporalMemory::planBins(
    std::optional<std::uint32_t> binOfMessage, std::uint64_t messageSize) const {
  std::vector<PlannedBin> plan;
  plan.reserve(bins_.size());
  for (std::size_t i = 0; i < bins_.size(); ++i) {
    const Bin& bin = bins_[i];
    PlannedBin p{bin.blockCount, bin.bitmapBytes, bin.total};
    const std::uint64_t used = loadAt<std::uint64_t>(view_.data(), bin.offset + tl::kBinBytesInUse);
    const bool full = static_cast<double>(used) / static_cast<double>(bin.total) > 0.8;
    const bool forMessage = binOfMessage && *binOfMessage == i;
    if (full || forMessage) {
      const std::uint64_t byMessage =
          forMessage ? static_cast<std::uint64_t>(
                           std::trunc(static_cast<double>(messageSize) / bin.blockSize * 20.0))
                     : 0;
      const std::uint64_t count =
          std::max<std::uint64_t>(std::uint64_t{bin.blockCount} * 4, bin.blockCount + byMessage);
      // A plan past 32-bit block counts cannot be written; the grow refuses it.
      p.blockCount =
          count > std::numeric_limits<std::uint32_t>::max() ? 0 : static_cast<std::uint32_t>(count);
      p.bitmapBytes = bitmap::bitmapBytes(p.blockCount);
      p.total = p.blockCount == 0 ? std::numeric_limits<std::uint64_t>::max()
                                  : tl::kBinHeaderSize + p.bitmapBytes +
                                        std::uint64_t{p.blockCount} * bin.blockSize;
    }
    plan.push_back(p);
  }
  return plan;
}

bool TemporalMemory::growSlots() {
  const std::uint64_t extra = std::uint64_t{slotCount_} * 4;
  if (extra > std::numeric_limits<std::uint32_t>::max()) return false;
  return resize(static_cast<std::uint32_t>(extra), planBins(std::nullopt, 0));
}

bool TemporalMemory::growBins(std::uint32_t binIndex, std::uint64_t messageSize) {
  const double used =
      slotCount_ == 0 ? 0.0
                      : static_cast<double>(loadAt<std::uint32_t>(view_.data(), tl::kSlotsInUse)) /
                            static_cast<double>(slotCount_);
  std::uint64_t extra = 0;
  if (used > 0.8) {
    extra = std::uint64_t{slotCount_} * 4;
  } else if (used > 0.5) {
    extra = std::uint64_t{slotCount_} * 2;
  }
  if (extra > std::numeric_limits<std::uint32_t>::max()) return false;
  return resize(static_cast<std::uint32_t>(extra), planBins(binIndex, messageSize));
}

bool TemporalMemory::resize(std::uint32_t extraSlots, const std::vector<PlannedBin>& plan) {
  const std::uint64_t newSlotCount = std::uint64_t{slotCount_} + extraSlots;
  const std::uint64_t maximum = loadAt<std::uint64_t>(view_.data(), tl::kMaximumSize);
  const std::uint64_t current = view_.size();
  if (newSlotCount > std::numeric_limits<std::uint32_t>::max()) return false;
  const std::uint64_t newBitmapBytes = bitmap::bitmapBytes(newSlotCount);
  // Every term is far below 2^64 except a refused bin plan, which saturates.
  std::uint64_t newTotal = tl::kHeaderSize + newBitmapBytes + newSlotCount * tl::kSlotSize;
  for (const PlannedBin& p : plan) {
    newTotal = p.total > std::numeric_limits<std::uint64_t>::max() - newTotal
                   ? std::numeric_limits<std::uint64_t>::max()
                   : newTotal + p.total;
  }
  const std::uint64_t growth = newTotal > current ? newTotal - current : 0;
  if (newTotal > maximum) {
    logLine(0, 3, 0, "Temporal Memory hit maximum size %s when asked to grow by: %s to: %s total",
            sizeText(maximum).c_str(), sizeText(growth).c_str(), sizeText(newTotal).c_str());
    return false;
  }
  // The new section is made whole under the next serial's name before the
  // owner advances to it, so a grower that dies part way never leaves a
  // current serial without a complete section. What a dead grower left under
  // the name is removed first; the store mutex keeps other growers out.
  const std::uint32_t serial = owner_->getSerial() + 1U;
  const std::string name = sectionName(serial);
  removeSharedMemory(name);
  MappedSection fresh = MappedSection::create(name, newTotal);
  std::uint8_t* const view = fresh.data();
  if (view == nullptr) {
    removeSharedMemory(name);
    logLine(0, 3, 0,
            "Temporal Memory couldn't allocate memory to grow by: %s to: %s total as requested",
            sizeText(growth).c_str(), sizeText(newTotal).c_str());
    return false;
  }

  // Header and slot table: old header and bitmap first, new slots free.
  const std::span<std::uint8_t> target = fresh.bytes();
  const std::span<std::uint8_t> newBitmap =
      target.subspan(tl::kHeaderSize, static_cast<std::size_t>(newBitmapBytes));
  std::memset(newBitmap.data(), 0xFF, newBitmap.size());
  std::memcpy(view, view_.data(), static_cast<std::size_t>(tl::kHeaderSize));
  std::memcpy(newBitmap.data(), view_.data() + tl::kHeaderSize,
              static_cast<std::size_t>(bitmap::bitmapBytes(slotCount_)));
  bitmap::assign(newBitmap, slotCount_, newSlotCount - slotCount_, true);
  storeAt<std::uint64_t>(view, tl::kSize, newTotal);
  storeAt<std::uint32_t>(view, tl::kSlotCount, static_cast<std::uint32_t>(newSlotCount));
  storeAt<std::uint32_t>(view, tl::kSlotBitmapBytes, static_cast<std::uint32_t>(newBitmapBytes));
  const std::uint64_t newSlots = tl::kHeaderSize + newBitmapBytes;
  std::memset(view + newSlots, 0, static_cast<std::size_t>(newSlotCount * tl::kSlotSize));
  std::memcpy(view + newSlots, view_.data() + slotsOffset_,
              static_cast<std::size_t>(std::uint64_t{slotCount_} * tl::kSlotSize));

  // Bins: unchanged ones whole, grown ones with their blocks at the same index.
  std::uint64_t grown = 0;
  std::uint64_t at = newSlots + newSlotCount * tl::kSlotSize;
  for (std::size_t i = 0; i < bins_.size(); ++i) {
    const Bin& old = bins_[i];
    const PlannedBin& p = plan[i];
    std::uint8_t* to = view + at;
    if (p.total == old.total) {
      std::memcpy(to, view_.data() + old.offset, static_cast<std::size_t>(old.total));
    } else {
      ++grown;
      const std::span<std::uint8_t> bits =
          target.subspan(static_cast<std::size_t>(at + tl::kBinHeaderSize),
                         static_cast<std::size_t>(p.bitmapBytes));
      std::memset(bits.data(), 0xFF, bits.size());
      std::memcpy(
          to, view_.data() + old.offset,
          static_cast<std::size_t>(tl::kBinHeaderSize + bitmap::bitmapBytes(old.blockCount)));
      bitmap::assign(bits, old.blockCount, p.blockCount - old.blockCount, true);
      storeAt<std::uint32_t>(to, tl::kBinBitmapBytes, static_cast<std::uint32_t>(p.bitmapBytes));
      storeAt<std::uint32_t>(to, tl::kBinBlockCount, p.blockCount);
      storeAt<std::uint64_t>(to, tl::kBinTotal, p.total);
      std::memcpy(to + tl::kBinHeaderSize + p.bitmapBytes, view_.data() + old.dataOffset(),
                  static_cast<std::size_t>(std::uint64_t{old.blockCount} * old.blockSize));
    }
    at += p.total;
  }

  if (extraSlots != 0 && grown != 0) {
    logLine(0, 3, 0,
            "Temporal Memory slots grown by: %u and %llu bins storage by %s to: %s total as "
            "requested",
            static_cast<unsigned>(extraSlots), static_cast<unsigned long long>(grown),
            sizeText(growth).c_str(), sizeText(newTotal).c_str());
  } else if (extraSlots != 0) {
    logLine(0, 3, 0, "Temporal Memory slots grown by: %u (%s to: %s total) as requested",
            static_cast<unsigned>(extraSlots), sizeText(growth).c_str(),
            sizeText(newTotal).c_str());
  } else {
    logLine(0, 3, 0, "Temporal Memory %llu storage bins grown by: %s to: %s total as requested",
            static_cast<unsigned long long>(grown), sizeText(growth).c_str(),
            sizeText(newTotal).c_str());
  }

  if (owner_->nextSerial() != serial) {
    fresh.reset();
    removeSharedMemory(name);
    return false;
  }
  const std::string oldName = sectionName(serial_);
  view_ = std::move(fresh);  // releases the replaced view
  serial_ = serial;
  owner_->setSize(newTotal);
  // Other participants keep their views until they follow the serial; the
  // replaced section goes with the last of them.
  removeSharedMemory(oldName);
  return true;
}

}  // namespace vornix
