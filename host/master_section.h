// MasterSection: the host's master section of one system instance, its mutex
// and the ready MasterMemory client over them.
//
// Names: the instance's master section and master mutex
// (util/object_names.h). The section is kSize bytes with its
// own size in the first 8 bytes; the published fields sit at the offsets of
// MasterMemory. The object owns the section: its destruction unmaps and
// removes it. It must outlive every client that holds its memory().
//
// Thread safety: publish* and the setters take the master mutex like the
// client does, so they may run while other threads and processes read.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/owned_mutex.h"
#include "host/owned_section.h"
#include "runtime/master_memory.h"
#include "util/mutex.h"

namespace vornix::host {

class MasterSection {
 public:
  static constexpr std::uint64_t kSize = 256;

  // Creates the section and the mutex of `instanceId`; null when either
  // cannot be had.
  static std::unique_ptr<MasterSection> create(std::uint16_t instanceId);

  // Use create(); the key keeps construction inside this class.
  class Key {
    friend class MasterSection;
    Key() = default;
  };
  MasterSection(Key, std::uint16_t instanceId, OwnedMutex mutex, OwnedSection section);
  MasterSection(const MasterSection&) = delete;
  MasterSection& operator=(const MasterSection&) = delete;
  ~MasterSection() = default;

  std::uint16_t instanceId() const noexcept { return instanceId_; }
  // The client handed to the section clients; lives as long as this object.
  MasterMemory& memory() noexcept { return memory_; }
  Mutex& mutex() noexcept { return mutex_.get(); }
  std::span<std::uint8_t> bytes() const noexcept { return section_.bytes(); }

  // Publish the serial and size of a section under the master mutex (one
  // hold for both). False when the mutex cannot be entered in 5000 ms.
  bool publishProcess(std::uint32_t serial, std::uint64_t size);
  bool publishComponent(std::uint32_t serial, std::uint64_t size);
  bool publishDataMaps(std::uint32_t serial, std::uint64_t size);

 private:
  bool publish(std::uint64_t serialOffset, std::uint32_t serial, std::uint64_t sizeOffset,
               std::uint64_t size);

  std::uint16_t instanceId_;
  OwnedMutex mutex_;
  OwnedSection section_;
  MasterMemory memory_;
};

}  // namespace vornix::host
