// ComponentSection: the host's component section of one system instance: the
// table of components with their names, parameters and the statistics the
// library writes. The writer lays the section out, publishes its serial and
// size in the master section, and replaces it under a new serial when its
// contents change or it has to grow (sections never grow in place).
//
// Layout choices of this writer: the offset table has highestId + 1 slots;
// entries follow it in the order given, each 82832 bytes plus its parameter
// records rounded up to 8 bytes. List values keep bytes 4 to 11 zero.
//
// Ownership: the object owns the named mutex of its family
// (util/object_names.h) it hands to the client, and the current section; a replaced
// section is unmapped and removed as soon as its successor is published
// (clients that mapped it keep their view). It must outlive every client
// that uses its mutex(), and the MasterSection must outlive it.
//
// Thread safety: every write and read-back holds the section mutex.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "host/master_section.h"
#include "host/owned_mutex.h"
#include "host/owned_section.h"
#include "util/mutex.h"

namespace vornix::host {

struct TextList {
  std::vector<std::string> items;
  std::uint32_t current = 0;
};
struct IntegerList {
  std::vector<std::int64_t> items;
  std::uint32_t current = 0;
};
struct RealList {
  std::vector<double> items;
  std::uint32_t current = 0;
};
using ParameterValue =
    std::variant<std::string, std::int64_t, double, TextList, IntegerList, RealList>;

struct ParameterSpec {
  std::string name;
  ParameterValue value;
};

struct ComponentSpec {
  std::uint32_t id = 0;
  std::string name;  // cut to 255 characters in the section
  std::vector<ParameterSpec> parameters;
};

// The statistics of one entry as the library left them.
struct ComponentStats {
  std::uint8_t status = 0;
  std::uint64_t lastUpdate = 0, received = 0, receivedBytes = 0, posted = 0, postedBytes = 0,
                firstStatus2 = 0, lastStatus2 = 0, wakeUps = 0, seconds = 0, processorTime = 0;
  // Messages routed to the component that the host could not queue for it.
  std::uint64_t undelivered = 0;
};

class ComponentSection {
 public:
  // Creates the section with serial 1 and publishes it. Null when the mutex or
  // the section cannot be had, or a component id exceeds `highestId`.
  static std::unique_ptr<ComponentSection> create(MasterSection& master,
                                                  std::span<const ComponentSpec> components,
                                                  std::uint32_t highestId);

  // The encoded parameter record (size, type, name, value).
  static std::vector<std::uint8_t> encodeParameter(const ParameterSpec& parameter);

  // Lays out new contents in a new section under the next serial, publishes
  // it and drops the old one. False (nothing changed) on failure.
  bool replace(std::span<const ComponentSpec> components, std::uint32_t highestId);
  // Copies the current contents into a section `extraBytes` larger under the
  // next serial, publishes it and drops the old one.
  bool grow(std::uint64_t extraBytes);

  Mutex& mutex() noexcept { return mutex_.get(); }
  std::uint32_t serial() const noexcept { return serial_; }
  // The current section's bytes; change them only while holding mutex().
  std::span<std::uint8_t> bytes() const noexcept { return section_.bytes(); }
  const std::string& sectionName() const noexcept { return section_.name(); }
  // Offset of the entry of `id` in the current section.
  std::optional<std::uint64_t> entryOffset(std::uint32_t id) const;

  // Read-backs under the mutex; empty when the id has no entry.
  std::optional<ComponentStats> stats(std::uint32_t id);
  // Adds `count` to the entry's count of messages the host could not queue
  // for the component; false when the id has no entry or the mutex could not
  // be had.
  [[nodiscard]] bool addUndelivered(std::uint32_t id, std::uint64_t count);
  // A copy of one 4096-byte history slot (0 = newest).
  std::vector<std::uint8_t> historySlot(std::uint32_t id, bool posted, std::uint32_t slot);

  class Key {
    friend class ComponentSection;
    Key() = default;
  };
  ComponentSection(Key, MasterSection& master, OwnedMutex mutex);
  ComponentSection(const ComponentSection&) = delete;
  ComponentSection& operator=(const ComponentSection&) = delete;
  ~ComponentSection() = default;

 private:
  bool install(OwnedSection next, std::uint32_t serial);
  std::optional<OwnedSection> layOut(std::span<const ComponentSpec> components,
                                     std::uint32_t highestId, std::uint32_t serial) const;

  MasterSection* master_;
  OwnedMutex mutex_;
  OwnedSection section_;
  std::uint32_t serial_ = 0;
};

}  // namespace vornix::host
