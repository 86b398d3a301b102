// MessageIndex: the name index and free-slot list behind DataMessage::setEntry.
#include "runtime/message_index.h"

#include "runtime/data_message.h"
#include "runtime/record_entry.h"

namespace vornix {

std::string MessageIndex::fold(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return folded;
}

bool MessageIndex::build(std::span<const std::uint8_t> rec) {
  live_.clear();
  free_.clear();
  largestFree_ = 0;
  std::size_t position = record::kHeaderSize;
  entry::RawEntry e;
  while (entry::readEntry(rec, position, e)) {
    if (e.nameKind == entry::kLiveName) {
      // A second live entry of a name: the walk's write rules for it (give
      // up every duplicate) are left to the walk.
      if (!live_.emplace(fold(e.name), e.offset).second) return false;
    } else if (e.nameKind == entry::kFreeName) {
      addFree(e.offset, e.entrySize);
    }
    position = e.end();
  }
  // A damaged entry ends the walk before the end of the record; a write would
  // then cut the record there, which only the walk does.
  return position == rec.size();
}

std::optional<std::size_t> MessageIndex::find(std::string_view name) const {
  const auto it = live_.find(fold(name));
  if (it == live_.end()) return std::nullopt;
  return it->second;
}

std::optional<std::size_t> MessageIndex::firstFreeSlot(std::uint32_t needed) {
  if (needed > largestFree_) return std::nullopt;
  std::uint32_t largest = 0;
  for (const auto& [offset, entrySize] : free_) {
    if (entrySize >= needed) return offset;
    if (entrySize > largest) largest = entrySize;
  }
  largestFree_ = largest;
  return std::nullopt;
}

void MessageIndex::addLive(std::string_view name, std::size_t offset) {
  live_.insert_or_assign(fold(name), offset);
}

void MessageIndex::removeLive(std::string_view name) {
  live_.erase(fold(name));
}

void MessageIndex::addFree(std::size_t offset, std::uint32_t entrySize) {
  free_.insert_or_assign(offset, entrySize);
  if (entrySize > largestFree_) largestFree_ = entrySize;
}

void MessageIndex::removeFree(std::size_t offset) {
  free_.erase(offset);
}

}  // namespace vornix
