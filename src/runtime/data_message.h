// DataMessage: the owner of one message record.
//
// A record is one contiguous little-endian block: a 200-byte header followed
// by named, typed entries (see docs/formats/message-record.md). The same bytes
// are copied into shared-memory queues, statistics and the time-ordered store,
// and adopted again from raw bytes by receivers, so the layout is a wire
// format. The object holds a single pointer to a block from the C heap
// (malloc/realloc/free), so that a record can be handed across the library
// boundary and released by either side.
//
// The block may be larger than the record: the object keeps a capacity beside
// the pointer so that appending many entries costs amortised constant time.
// The `size` word is always the exact length of the record; the bytes past it
// belong to no one and are never shown.
//
// Writes keep private acceleration state beside the record (a name index and
// a list of free slots, see message_index.h), so that writing N new entries
// costs O(N) overall. It never changes the bytes a write produces; copies
// start without it, a move takes it along, and a record it cannot describe
// (a damaged entry, two live entries of one name) is written by the walk.
//
// A moved-from DataMessage holds no record: its getters answer "absent" (0,
// null, the empty type), its setters refuse, and copying it gives another
// message without a record.
//
// Thread safety: a DataMessage is used by one thread at a time.
// Pointers returned by getters point into the record and stay valid until the
// next write to the message or its destruction.
// Allocation failure throws std::bad_alloc; every other failure is a result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "runtime/message_type.h"
#include "util/clock.h"

namespace vornix {

class MessageIndex;
struct DataMessageTestAccess;

// Kind codes: the same 16-bit number in both halves.
enum class RecordKind : std::uint32_t {
  kFreeSlot = 0x10001,
  kText = 0x20002,
  kValue64 = 0x30003,
  kData = 0x40004,
  kInteger = 0x50005,
  kFloat = 0x60006,
  kTextOmitted = 0x70007,
  kDataOmitted = 0x80008,
  kLogEntry = 0x160016,
  kOlderMessage = 0x140014,
  kValue64B = 0x240024,
  kTrimRecord = 0x250025,
  kMessage = 0x290029,
};

// Header offsets (bytes from the start of the record).
namespace record {
inline constexpr std::uint32_t kHeaderSize = 200;
inline constexpr std::uint32_t kVersion = 10;
inline constexpr std::size_t kSize = 0, kKind = 4, kVersionField = 8, kMemoryId = 16,
                             kCreatedTime = 24, kSentTime = 32, kTtl = 56, kDropFlags = 66,
                             kFromId = 68, kToId = 72, kType = 76, kPostTag = 108, kContext = 136,
                             kUserSize = 168, kUserCount = 172, kStepCpuTime = 176,
                             kStepWallTime = 180, kChainCpuTime = 184, kChainWallTime = 188,
                             kChainLength = 192;
// Smallest possible entry: size, name kind, an empty name's NUL, value head.
inline constexpr std::uint32_t kMinEntrySize = 17;
}  // namespace record

// One live entry as found by an entry walk; views into the record, valid until
// the next write to the message.
struct EntryView {
  std::string_view name;
  // The value kind; RecordKind{} (0) when the value head is damaged (its size
  // below 8 or running past the entry) or an 8-byte kind (integer, float,
  // 64-bit, omitted) has fewer than 8 value bytes; `value` is then empty. So
  // a value of an 8-byte kind always has at least 8 bytes to read.
  RecordKind kind;
  std::span<const std::uint8_t> value;  // the value bytes after their 8-byte head
  std::size_t offset;                   // offset of the entry in the record
};

class DataMessage {
 public:
  // A new empty record: 200 bytes, size 200, kind 0x290029, version 10,
  // createdTime = currentTime().
  DataMessage();

  // Adopts a copy of the record in `raw` (current or older layout). Never
  // fails: unusable bytes give an empty record with createdTime 0. Only
  // `raw.size()` bytes are ever read, and `raw` is never written (the CPU-time
  // correction of a record with stepCpuTime > 10 x stepWallTime is applied to
  // the copy). A record whose `size` word is below its header or beyond
  // `raw.size()`, and a version other than 10, are refused with one log line
  // (source 0, category 0, level 0).
  explicit DataMessage(std::span<const std::uint8_t> raw);

  // The limited copy: `other` cut down to fewer than `maxSize` bytes when it
  // is larger, with trim records "OS", "US", "UC" first. A limit below 200 is
  // taken as 200 (the header alone). A left-out nested message is written as a
  // data-omitted value holding its length (docs/formats/message-record.md).
  // A source without a record gives an empty record with createdTime 0.
  DataMessage(const DataMessage& other, std::uint32_t maxSize);

  DataMessage(const DataMessage& other);
  DataMessage& operator=(const DataMessage& other);
  DataMessage(DataMessage&& other) noexcept;
  DataMessage& operator=(DataMessage&& other) noexcept;
  ~DataMessage();

  // The whole record; its length is size() for a valid record.
  const std::uint8_t* record() const noexcept { return record_; }
  std::span<const std::uint8_t> bytes() const noexcept;

  // True when the record is of kind 0x290029.
  bool isValid() const noexcept;

  // Header fields. Getters give 0 (or the empty type) and setters do nothing
  // and return false on a record of another kind.
  std::uint32_t size() const noexcept;  // the size word, whatever the kind
  std::uint16_t version() const noexcept;
  std::uint64_t memoryId() const noexcept;
  bool setMemoryId(std::uint64_t id) noexcept;
  Micros getCreatedTime() const noexcept;
  bool setCreatedTime(Micros t) noexcept;
  Micros sentTime() const noexcept;
  bool setSentTime(Micros t) noexcept;
  std::uint64_t ttl() const noexcept;
  bool setTtl(std::uint64_t ttl) noexcept;
  std::uint8_t dropFlags() const noexcept;
  bool setDropFlags(std::uint8_t flags) noexcept;
  std::uint32_t fromId() const noexcept;
  bool setFromId(std::uint32_t id) noexcept;
  std::uint32_t toId() const noexcept;
  bool setToId(std::uint32_t id) noexcept;
  std::uint32_t postTag() const noexcept;
  bool setPostTag(std::uint32_t tag) noexcept;
  MessageType getType() const noexcept;
  bool setType(const MessageType& type) noexcept;
  MessageContext getContext() const noexcept;
  bool setContext(const MessageContext& context) noexcept;
  std::uint32_t userSize() const noexcept;
  std::uint32_t userCount() const noexcept;
  std::uint32_t stepCpuTime() const noexcept;
  std::uint32_t stepWallTime() const noexcept;
  std::uint32_t chainCpuTime() const noexcept;
  std::uint32_t chainWallTime() const noexcept;
  std::uint32_t chainLength() const noexcept;

  // stepCpuTime = stepCpu, stepWallTime = stepWall, chainCpuTime = stepCpu +
  // chainCpu, chainWallTime = stepWall + chainWall (32-bit wrapping),
  // chainLength = length.
  bool setChainInfo(std::uint32_t stepCpu, std::uint32_t stepWall, std::uint32_t chainCpu,
                    std::uint32_t chainWall, std::uint32_t length) noexcept;

  // Entries. Names are matched without regard to ASCII case; the first live
  // entry in record order is the one found. A value whose head is damaged
  // (size below 8, running past its entry, a text without its terminator)
  // reads as absent.
  bool setString(const char* name, const char* text);
  const char* getString(const char* name) const noexcept;
  bool setInt(const char* name, std::int64_t value);
  std::int64_t getInt(const char* name, bool* found = nullptr) const noexcept;
  bool setDouble(const char* name, double value);
  double getDouble(const char* name, bool* found = nullptr) const noexcept;
  bool hasDouble(const char* name) const noexcept;
  const std::uint8_t* getData(const char* name, std::uint32_t& length,
                              bool* found = nullptr) const noexcept;
  bool setData(const char* name, std::span<const std::uint8_t> data);

  // The general write all setters use (reuse in place, free-slot reuse,
  // growth). Refused (false) for a null name, null bytes with a non-zero
  // length, a record of another kind, or a write that would take the record
  // past 4 GiB - 1. `name` and `bytes` may point into this very record.
  bool setEntry(const char* name, const void* bytes, std::uint32_t length, RecordKind kind);

  // Pointer to the live entry named `name`, or null.
  const std::uint8_t* findEntry(const char* name) const noexcept;

  // Indexed entries: the name "<base>_-|<index>|-_".
  static std::string indexedName(const char* base, std::int64_t index);
  bool setInt(std::int64_t index, const char* name, std::int64_t value);
  std::int64_t getInt(std::int64_t index, const char* name, bool* found = nullptr) const;
  bool setDouble(std::int64_t index, const char* name, double value);
  double getDouble(std::int64_t index, const char* name, bool* found = nullptr) const;

  // Calls `visit(const EntryView&)` for every live entry in record order
  // (free slots skipped); stops early when `visit` returns false. The walk
  // never leaves the record.
  template <class Visitor>
  void forEachEntry(Visitor&& visit) const {
    std::size_t position = record::kHeaderSize;
    EntryView view{};
    while (nextEntry(position, view)) {
      if (!visit(static_cast<const EntryView&>(view))) return;
    }
  }

 private:
  // Tests compare the index against the plain walk.
  friend struct DataMessageTestAccess;

  // Advances `position` to the next live entry at or after it and describes it
  // in `view`; false at the end of the walk. Shared by every reader.
  bool nextEntry(std::size_t& position, EntryView& view) const noexcept;

  // The index for this record, built on first need; null while the record is
  // small or when the index cannot describe it (then the walk is used).
  MessageIndex* usableIndex();
  void dropIndex() noexcept;
  // setEntry through the index; nullopt (nothing written) when the index
  // disagrees with the record and the walk has to do the write.
  std::optional<bool> setEntryIndexed(MessageIndex& index, std::string_view name, const void* value,
                                      std::uint32_t length, std::uint32_t kindWord,
                                      std::uint32_t needed);

  // Appends an entry of `needed` bytes at `at`, where the walk ended, and
  // makes it the end of the record, growing the block geometrically (the size
  // word stays exact). Nothing is written when the record would pass its
  // largest size (false) or the block cannot grow (std::bad_alloc); either way
  // the entry at offset `givenUp`, given up for this write, is live again.
  bool appendAtEnd(std::uint32_t at, std::uint32_t needed, std::string_view name,
                   std::uint32_t kindWord, const void* value, std::uint32_t length,
                   std::optional<std::size_t> givenUp);

  std::uint8_t* record_ = nullptr;       // malloc'd block; the record starts here
  std::size_t capacity_ = 0;             // bytes of the block, at least the record's size
  std::unique_ptr<MessageIndex> index_;  // acceleration state of record_, or null
  bool indexRefused_ = false;  // the record cannot be indexed: use the walk until it changes
};

}  // namespace vornix
