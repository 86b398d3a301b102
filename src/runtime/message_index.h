// MessageIndex: private acceleration state of one DataMessage.
//
// Internal to the message module. It lets setEntry find a name and a free
// slot without walking the whole record, so that writing N new entries costs
// O(N) overall instead of O(N^2). It never lives in the record and never
// changes its bytes: the writes it steers are exactly those of the walk.
//
// The index describes one record only while that record is "sound": the
// entry walk from the header ends exactly at the `size` word, and no two live
// entries share a name (ASCII case ignored). build() refuses (false) any
// other record, and the caller then keeps using the walk. The owner keeps the
// index up to date for every write it makes, and drops it on anything else.
//
// Thread safety: none; used by the one thread that uses its DataMessage.
// Allocation failure throws std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vornix {

class MessageIndex {
 public:
  // Walks `rec` (the record, exactly its `size` bytes) once and records every
  // live name and free slot. False when the record is not sound; the index
  // is then unusable and must not be consulted.
  bool build(std::span<const std::uint8_t> rec);

  // Offset of the live entry named `name`, if any.
  std::optional<std::size_t> find(std::string_view name) const;

  // The first free slot in record order of at least `needed` bytes.
  std::optional<std::size_t> firstFreeSlot(std::uint32_t needed);

  // Bookkeeping for the owner's writes.
  void addLive(std::string_view name, std::size_t offset);
  void removeLive(std::string_view name);
  void addFree(std::size_t offset, std::uint32_t entrySize);
  void removeFree(std::size_t offset);

 private:
  static std::string fold(std::string_view name);

  std::unordered_map<std::string, std::size_t> live_;  // folded name -> entry offset
  std::map<std::size_t, std::uint32_t> free_;          // free slot offset -> entry size
  // No free slot is larger than this. It may overstate (a reused slot does
  // not lower it) until a search that finds nothing sets it exactly.
  std::uint32_t largestFree_ = 0;
};

}  // namespace vornix
