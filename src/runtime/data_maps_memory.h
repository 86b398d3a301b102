// DataMapsMemory: the client of the host's data-maps section, where the text
// name of every message-type level is kept so that any component can print a
// type. The library only reads it.
//
// Data-maps section (little-endian):
//     0 u64 total size     8 u32 format mark 0x000F000F
//   104 five maps, each directly after the previous one; a map begins with its
//       u64 size (the low 32 bits give the distance to the next map).
// Type-level map (the first): 0 u64 size, 16 u32 offset of the entry array
// counted from byte 24 of the map; entries of 280 bytes indexed by level:
//   0 u16 level number, 2 u8 state (usable when > 1), 8 u64 (non-zero when
//   usable), 16 name (NUL-terminated, field of 264 bytes).
//
// Every offset read from the section is checked against the bytes really
// mapped: a corrupt section makes the operation fail, it never reads outside
// the view.
//
// Thread safety: every operation holds the data-maps mutex (5000 ms); the
// object's own fields change only while it is held. Lock order: this mutex
// first, the master mutex inside it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "runtime/mapped_section.h"
#include "runtime/master_memory.h"
#include "runtime/message_type.h"
#include "util/mutex.h"

namespace vornix {

class DataMapsMemory {
 public:
  static constexpr std::uint32_t kFormatMark = 0x000F000F;
  static constexpr std::size_t kMaps = 5;
  struct Layout {
    static constexpr std::uint64_t kFirstMap = 104;
    static constexpr std::uint64_t kMapEntryArray = 16, kMapEntriesBase = 24;
    static constexpr std::uint64_t kEntrySize = 280, kEntryLevel = 0, kEntryState = 2,
                                   kEntryValue = 8, kEntryName = 16, kEntryNameWidth = 264;
  };

  // `master` must outlive this object. `mutex` is not owned and may be null:
  // then lookups fail until open() has constructed the named mutex
  // of its family (util/object_names.h) itself. No section is mapped
  // until the first lookup (or open()) maps the current one.
  DataMapsMemory(MasterMemory& master, Mutex* mutex);
  DataMapsMemory(const DataMapsMemory&) = delete;
  DataMapsMemory& operator=(const DataMapsMemory&) = delete;
  ~DataMapsMemory();

  // Copies the name of `level` into `buffer`, cut to buffer.size() - 1
  // characters and terminated. True when the level has a usable entry with a
  // non-empty name; otherwise false and the buffer holds an empty text (when
  // it has room for one).
  bool getTypeLevelName(std::uint16_t level, std::span<char> buffer);

  // The same lookup in the bytes of a data-maps section (a view or a copy of
  // one), without a mutex; every offset is checked against `section`.
  static bool typeLevelName(std::span<const std::uint8_t> section, std::uint16_t level,
                            std::span<char> buffer);

  // A lookup for typeName() served by getTypeLevelName with a 257-byte buffer
  // of which 256 bytes are offered. It refers to this object, which must
  // outlive it.
  LevelNameLookup levelNameLookup();

  // Maps the section whose serial the master section shows now. A reopen over
  // a mapped view logs " --------- Reopening DataMapsMemory section serial %u
  // --------" (category 3, level 0). The serial is kept even when the open
  // fails, so lookups go on with the old view until it changes again.
  bool open();

  std::uint32_t serial() const noexcept { return serial_; }

 private:
  bool openLocked();

  MasterMemory* master_;
  Mutex* mutex_;
  std::unique_ptr<Mutex> ownedMutex_;  // only when open() had to construct it
  MappedSection view_;
  std::uint16_t instanceId_ = 0;
  std::uint32_t serial_ = 0;
};

}  // namespace vornix
