// The host's side of the temporal store: the writer that lays out the
// section, the TemporalOwner that keeps its serial and size, and a reader of
// stored messages by memoryId.
//
// Where the serial and size live: in a small section of their own, the
// temporal owner (util/object_names.h; 32 bytes: 0 u64 its size, 8 u32 serial
// of the current temporal section, 16 u64 size of the current temporal
// section). Every process that opens a SharedTemporalOwner for the instance
// sees the same values. They are read and written only while the store's
// mutex (of the temporal family) is held, which is when the
// library calls the owner.
//
// TemporalSection creates the store section under serial 1 (layout in
// runtime/temporal_memory.h), the owner section and the mutex, and owns them:
// on destruction it removes the first section, the one current at that time
// (sections replaced in between were removed by the grower), the owner
// section and the mutex's name.
//
// Thread safety: SharedTemporalOwner relies on the store mutex as said;
// TemporalSection's readers take that mutex themselves.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host/owned_section.h"
#include "runtime/mapped_section.h"
#include "runtime/temporal_memory.h"
#include "util/mutex.h"

namespace vornix::host {

class SharedTemporalOwner final : public TemporalOwner {
 public:
  static constexpr std::uint64_t kSize = 32, kSerial = 8, kStoreSize = 16;

  // Opens the owner section of `instanceId`; null when it does not exist.
  static std::unique_ptr<SharedTemporalOwner> open(std::uint16_t instanceId);

  class Key {
    friend class SharedTemporalOwner;
    Key() = default;
  };
  SharedTemporalOwner(Key, std::uint16_t instanceId, MappedSection view) noexcept;
  ~SharedTemporalOwner() override;
  SharedTemporalOwner(const SharedTemporalOwner&) = delete;
  SharedTemporalOwner& operator=(const SharedTemporalOwner&) = delete;

  std::uint16_t getInstanceId() override { return instanceId_; }
  void setSize(std::uint64_t size) override;
  std::uint64_t getSize() override;
  std::uint32_t getSerial() override;
  std::uint32_t nextSerial() override;

 private:
  std::span<std::uint8_t> bytes() const noexcept { return view_.bytes().first(kSize); }
  std::uint16_t instanceId_;
  MappedSection view_;
};

struct TemporalBinLayout {
  std::uint32_t blockSize = 0;
  std::uint32_t blockCount = 0;
};

struct TemporalLayout {
  std::uint32_t slotCount = 0;
  std::vector<TemporalBinLayout> bins;  // 1 to 65535 bins
  std::uint64_t maximumSize = 0;
  std::uint64_t checkTime = 0;  // 0: the expiry scan runs at every insertion
  std::uint64_t checkSpan = 0;
};

// Header counters of the store next to the sums over its slots and bins.
struct TemporalTotals {
  std::uint32_t slotCount = 0;
  std::uint32_t slotsInUse = 0;
  std::uint64_t bytesInUse = 0;
  std::uint32_t usedSlots = 0;         // slots with a bit of 0 and a message
  std::uint64_t allocatedInSlots = 0;  // sum of their allocated bytes
  std::uint64_t binBytesInUse = 0;     // sum of the bins' bytes in use
  std::uint64_t binBlocksInUse = 0;    // sum of the bins' blocks in use
  std::uint64_t blocksInSlots = 0;     // sum of the used slots' blocks
  std::uint64_t clearBlockBits = 0;    // blocks marked in use in the bitmaps
  std::uint64_t sectionSize = 0;
  std::uint32_t serial = 0;
};

class TemporalSection {
 public:
  // Null when the layout is empty or larger than its maximum size, or an
  // object cannot be had.
  static std::unique_ptr<TemporalSection> create(std::uint16_t instanceId,
                                                 const TemporalLayout& layout);
  static std::uint64_t sizeOf(const TemporalLayout& layout);

  class Key {
    friend class TemporalSection;
    Key() = default;
  };
  TemporalSection(Key, std::uint16_t instanceId, OwnedSection ownerSection,
                  std::unique_ptr<SharedTemporalOwner> owner, OwnedSection section,
                  std::unique_ptr<Mutex> mutex);
  ~TemporalSection();
  TemporalSection(const TemporalSection&) = delete;
  TemporalSection& operator=(const TemporalSection&) = delete;

  // The owner to give the library's TemporalMemory in this process.
  TemporalOwner& owner() noexcept { return *owner_; }
  Mutex& mutex() noexcept { return *mutex_; }

  // The record stored under `memoryId` (slot index and use counter must
  // match a slot that holds a message); nullopt otherwise.
  std::optional<std::vector<std::uint8_t>> readMessage(std::uint64_t memoryId);
  // Counters and sums of the current section; nullopt when it is unusable.
  std::optional<TemporalTotals> totals();
  // Runs `work` on the bytes of the current section under the store mutex
  // (inspection and fault injection in tests). False when not opened.
  bool withSection(const std::function<void(std::span<std::uint8_t>)>& work);

 private:
  bool follow();

  std::uint16_t instanceId_;
  OwnedSection ownerSection_;
  std::unique_ptr<SharedTemporalOwner> owner_;
  OwnedSection section_;
  std::unique_ptr<Mutex> mutex_;
  MappedSection view_;  // the current section, opened by follow()
  std::uint32_t serial_ = 0;
};

}  // namespace vornix::host
