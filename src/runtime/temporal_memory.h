// TemporalMemory: the library's writer into the host's time-ordered message
// store. Every posted message with a time to live is copied in by
// insertMessage, which first frees the expired ones, finds a free slot and a
// run of free blocks, grows the section when needed and hands back the
// message's memoryId.
//
// Names: the temporal family's mutex and sections (util/object_names.h), one
// section per serial. The serial and size of the
// current section are kept by the host behind TemporalOwner. A grow creates a
// new section under the next serial, keeps every message at its slot index
// and block position (memoryIds stay valid), publishes the new size and
// removes the old section's name.
//
// Section layout (little-endian):
//   0 u64 total size     8 u32 mark 0x000C000C   12 u32 slot count
//  16 u32 slots in use  24 u64 bytes in use      40 u64 maximum size
//  56 u64 check time T  64 u64 check span        72 u16 bin count
//  76 u32 slot bitmap bytes   80 slot bitmap, then slot count 56-byte slots,
//  then the bins one after another.
// Slot: 0 u16 use counter, 8 u64 expiry, 16 u32 bin, 24 u64 data offset,
//  32 u64 message size (0 = empty), 40 u64 allocated bytes, 48 u32 first
//  block, 52 u32 blocks.
// Bin: 0 u64 total size, 8 u32 block count, 12 u32 block size, 16 u32 blocks
//  in use, 24 u64 bytes in use, 32 u32 bitmap bytes, 40 block bitmap, then
//  the data area (block b at b * block size).
// memoryId: bits 0-31 slot index, 32-47 the slot's use counter, 48-63 tag.
//
// The layout is checked against the view's usable bytes
// (runtime/mapped_section.h) before every insertion: a block size of 0, a bin
// smaller than its header, bitmap and blocks, a table running past the end,
// or a slot naming a bin or blocks that do not exist make the store unusable
// and the insertion fails; nothing outside the mapping is ever touched.
//
// Thread safety: any thread may call insertMessage and open; all work on the
// section runs under the store's named mutex (5000 ms), shared with the host
// and every process. The owner's operations are called while it is held.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "runtime/data_message.h"
#include "runtime/mapped_section.h"
#include "util/clock.h"
#include "util/mutex.h"

namespace vornix {

// Keeps the serial and size of the current temporal section where every
// participant sees them; supplied by the host. Called only while the store's
// mutex is held. The virtual destructor comes first in the table of virtual
// operations, then the five operations in this order.
class TemporalOwner {
 public:
  virtual ~TemporalOwner() = default;
  virtual std::uint16_t getInstanceId() = 0;
  virtual void setSize(std::uint64_t size) = 0;
  virtual std::uint64_t getSize() = 0;
  virtual std::uint32_t getSerial() = 0;
  // Advances the serial and returns the new value.
  virtual std::uint32_t nextSerial() = 0;
};

namespace temporal_layout {
inline constexpr std::uint32_t kFormatMark = 0x000C000C;
inline constexpr std::uint64_t kSize = 0, kMark = 8, kSlotCount = 12, kSlotsInUse = 16,
                               kBytesInUse = 24, kMaximumSize = 40, kCheckTime = 56,
                               kCheckSpan = 64, kBinCount = 72, kSlotBitmapBytes = 76,
                               kHeaderSize = 80;
inline constexpr std::uint64_t kSlotSize = 56, kSlotCounter = 0, kSlotExpiry = 8, kSlotBin = 16,
                               kSlotOffset = 24, kSlotMessageSize = 32, kSlotAllocated = 40,
                               kSlotFirstBlock = 48, kSlotBlocks = 52;
inline constexpr std::uint64_t kBinHeaderSize = 40, kBinTotal = 0, kBinBlockCount = 8,
                               kBinBlockSize = 12, kBinBlocksInUse = 16, kBinBytesInUse = 24,
                               kBinBitmapBytes = 32;
}  // namespace temporal_layout

class TemporalMemory {
 public:
  // `owner` is not owned and must outlive this object; `tag` becomes the top
  // 16 bits of every memoryId handed out. Nothing is opened until first use.
  TemporalMemory(TemporalOwner& owner, std::uint16_t tag);
  ~TemporalMemory();
  TemporalMemory(const TemporalMemory&) = delete;
  TemporalMemory& operator=(const TemporalMemory&) = delete;

  static std::uint64_t memoryId(std::uint32_t slot, std::uint16_t useCounter,
                                std::uint16_t tag) noexcept {
    return std::uint64_t{slot} | (std::uint64_t{useCounter} << 32) | (std::uint64_t{tag} << 48);
  }

  // Stores a copy of `message` until its expiry (createdTime + ttl) and gives
  // its memoryId. False, with one line logged, when the message has expired
  // already ("Could not add message to TemporalMemory, expired already"), no
  // slot or storage can be had, the store is unusable, or the mutex is not
  // had in 5000 ms; the store keeps its expiries and any growth made.
  bool insertMessage(const DataMessage& message, std::uint64_t& memoryId);

  // Maps the section of the owner's current serial and checks its mark;
  // creates the mutex on first use. When that serial has no section and the
  // owner's size is still that of the mapped section (a grow that failed
  // after taking its serial), the mapped view stays in use. False when the
  // mutex is not had, or the section exists but cannot be mapped or verified.
  bool open();

 private:
  struct Bin {
    std::uint64_t offset = 0;  // from the section start
    std::uint64_t total = 0;
    std::uint32_t blockCount = 0;
    std::uint32_t blockSize = 0;
    std::uint64_t bitmapBytes = 0;
    std::uint64_t dataOffset() const noexcept { return offset + 40 + bitmapBytes; }
  };
  struct PlannedBin {
    std::uint32_t blockCount = 0;
    std::uint64_t bitmapBytes = 0;
    std::uint64_t total = 0;
  };
  struct Placement {
    std::uint32_t bin = 0;
    std::uint32_t blocks = 0;
  };

  Mutex* storeMutex();
  // All below run under the store mutex.
  bool openLocked();
  bool insertLocked(const DataMessage& message, Micros now, Micros expiry, std::uint64_t& memoryId);
  // Reads and checks the header and every bin into bins_; false when unusable.
  bool readLayout();
  bool checkSlots(Micros now);
  std::optional<Placement> findBin(std::uint64_t messageSize) const;
  std::vector<PlannedBin> planBins(std::optional<std::uint32_t> binOfMessage,
                                   std::uint64_t messageSize) const;
  bool growSlots();
  bool growBins(std::uint32_t binIndex, std::uint64_t messageSize);
  bool resize(std::uint32_t extraSlots, const std::vector<PlannedBin>& plan);
  std::span<std::uint8_t> section() const noexcept { return view_.bytes(); }
  std::span<std::uint8_t> slotBitmap() const noexcept;
  std::span<std::uint8_t> binBitmap(const Bin& bin) const noexcept;
  std::uint8_t* slot(std::uint32_t index) const noexcept;
  std::string sectionName(std::uint32_t serial) const;

  TemporalOwner* owner_;
  std::uint16_t tag_;
  std::once_flag mutexOnce_;
  std::unique_ptr<Mutex> mutex_;
  // Guarded by the store mutex.
  MappedSection view_;
  std::uint16_t instanceId_ = 0;
  std::uint32_t serial_ = 0;
  std::uint32_t slotCount_ = 0;
  std::uint64_t slotBitmapBytes_ = 0;
  std::uint64_t slotsOffset_ = 0;
  std::vector<Bin> bins_;
};

}  // namespace vornix
