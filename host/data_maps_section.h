// DataMapsSection: the host's data-maps section of one system instance: the
// type-level map with the names of message-type levels, followed by the four
// further maps (written as empty maps of 8 bytes: just their size word).
//
// Layout choices of this writer: the type-level map has one 280-byte entry
// per level 0..highestLevel, its entry array starting 8 bytes after byte 24
// of the map; a named level's entry has state 2 and a value of 1 at offset 8;
// a level without a name is all zero. Names are cut to 263 characters.
//
// Ownership and thread safety as ComponentSection: the object owns the mutex
// of its family (util/object_names.h) it hands to the client and the current
// section; a replaced section is removed once its successor is published.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "host/master_section.h"
#include "host/owned_mutex.h"
#include "host/owned_section.h"
#include "util/mutex.h"

namespace vornix::host {

struct LevelName {
  std::uint16_t level = 0;
  std::string name;
};

class DataMapsSection {
 public:
  static constexpr std::uint64_t kEntryArrayOffset = 8;
  static constexpr std::uint64_t kEmptyMapSize = 8;

  // Creates the section with serial 1 and publishes it. Null when the mutex or
  // the section cannot be had, or a level exceeds `highestLevel`.
  static std::unique_ptr<DataMapsSection> create(MasterSection& master,
                                                 std::span<const LevelName> levels,
                                                 std::uint16_t highestLevel);

  // Lays out new names in a new section under the next serial, publishes it
  // and drops the old one. False (nothing changed) on failure.
  bool replace(std::span<const LevelName> levels, std::uint16_t highestLevel);

  Mutex& mutex() noexcept { return mutex_.get(); }
  std::uint32_t serial() const noexcept { return serial_; }
  // The current section's bytes; change them only while holding mutex().
  std::span<std::uint8_t> bytes() const noexcept { return section_.bytes(); }
  // Offset in the section of the 280-byte entry of `level`, when it exists.
  std::optional<std::uint64_t> levelEntryOffset(std::uint16_t level) const;

  class Key {
    friend class DataMapsSection;
    Key() = default;
  };
  DataMapsSection(Key, MasterSection& master, OwnedMutex mutex);
  DataMapsSection(const DataMapsSection&) = delete;
  DataMapsSection& operator=(const DataMapsSection&) = delete;
  ~DataMapsSection() = default;

 private:
  MasterSection* master_;
  OwnedMutex mutex_;
  OwnedSection section_;
  std::uint16_t highestLevel_ = 0;
  std::uint32_t serial_ = 0;
};

}  // namespace vornix::host
