// ComponentMemory: the client of the host's component section, the table of
// every component of a system with its name, run statistics, copies of the
// last messages it received and posted, and its parameters.
//
// The library reads names and parameters and writes only the statistics
// fields of an entry. The host creates the section, fills the entries and
// the parameters, and creates this object.
//
// Component section (little-endian):
//     0 u64 total size     8 u32 format mark 0x000E000E    24 u32 count
//    48 u64 offset table, one per id 0..count; 0 = no component
// The entry of id k starts at count * 8 + offset[k]. Entry:
//    15 u8 status        48 name (NUL-terminated, field of 256 bytes)
//   304 u64 last update  312 u64 received   320 u64 received bytes
//   328 10 x 4096 received history (newest first)
// 41288 u64 posted     41296 u64 posted bytes  41304 10 x 4096 posted history
// 82264 u64 first status-2 time  82272 u64 last status-2 time
// 82280 u64 wake-ups   82288 u64 seconds       82296 u64 undelivered (host)
// 82304 u64 processor time
// 82812 u32 parameter bytes used    82832 parameter records
// Parameter record: 0 u32 size, 4 u8 type (1 text, 2 integer, 3 real, 4 text
// list, 5 integer list, 6 real list), 8 name, then the (unaligned) value; a
// list value holds the u32 index of its current item, then its items from
// value offset 12.
//
// Every offset, count and size read from the section is checked against the
// bytes really mapped: a corrupt section makes an operation fail, it never
// reads or writes outside the view. A parameter walk stops at a record
// smaller than its head or running past the used bytes.
//
// Thread safety: every operation holds the component-section mutex (5000 ms,
// labelled "vornix::ComponentMemory::<operation>") for its whole duration;
// the host and every component of every process share that mutex, and the
// object's own fields (view, serial) change only while it is held. Lock
// order: this mutex first, the master mutex inside it.
//
// Failure: false, 0, 0.0 or an empty text, without a line of its own (a mutex
// time-out has logged its line). Only a failed allocation throws.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "runtime/mapped_section.h"
#include "runtime/master_memory.h"
#include "util/mutex.h"

namespace vornix {

class DataMessage;

class ComponentMemory {
 public:
  static constexpr std::uint32_t kFormatMark = 0x000E000E;
  static constexpr std::uint32_t kHistorySlots = 10;
  static constexpr std::uint32_t kHistorySlotBytes = 4096;

  // Section and entry layout.
  struct Layout {
    static constexpr std::uint64_t kCount = 24, kOffsetTable = 48;
    static constexpr std::uint64_t kStatus = 15, kName = 48, kNameWidth = 256, kLastUpdate = 304,
                                   kReceived = 312, kReceivedBytes = 320, kReceivedHistory = 328,
                                   kPosted = 41288, kPostedBytes = 41296, kPostedHistory = 41304,
                                   kFirstStatus2 = 82264, kLastStatus2 = 82272, kWakeUps = 82280,
                                   kSeconds = 82288, kUndelivered = 82296, kProcessorTime = 82304,
                                   kParameterBytes = 82812, kParameters = 82832;
    static constexpr std::uint64_t kRecordHead = 8, kListItems = 12;
  };

  enum class ParameterType : std::uint8_t {
    kText = 1,
    kInteger = 2,
    kReal = 3,
    kTextList = 4,
    kIntegerList = 5,
    kRealList = 6,
  };

  // `master` must outlive this object. `mutex` is not owned and may be null:
  // then operations fail until open() has constructed the named mutex
  // of its family (util/object_names.h) itself. No section is mapped
  // until the first operation (or open()) maps the current one.
  ComponentMemory(MasterMemory& master, Mutex* mutex);
  ComponentMemory(const ComponentMemory&) = delete;
  ComponentMemory& operator=(const ComponentMemory&) = delete;
  ~ComponentMemory();

  // Real value of a parameter of type real or real list (current item);
  // false for any other type or a missing parameter.
  bool getParameter(std::uint32_t id, std::string_view name, double& value);
  // Integer value of a parameter of type integer or integer list.
  bool getParameter(std::uint32_t id, std::string_view name, std::int64_t& value);
  // The same with 0.0 / 0 for every failure.
  double getParameterReal(std::uint32_t id, std::string_view name);
  std::int64_t getParameterInt(std::uint32_t id, std::string_view name);
  // Text "Yes" / current list item "yes" (any case), or a non-zero number.
  bool getParameterAsBool(std::uint32_t id, std::string_view name);
  // A text parameter, or the current item of a text list; empty otherwise.
  std::string getParameterString(std::uint32_t id, std::string_view name);
  // True when a record of that name exists, whatever its type.
  bool hasParameter(std::uint32_t id, std::string_view name);

  // Copies the component's name into `buffer`, cut to buffer.size() - 1
  // characters and terminated; true when the entry exists.
  bool getComponentName(std::uint32_t id, std::span<char> buffer);
  std::string getComponentNameString(std::uint32_t id);

  // Records one report: status, time, the accumulators, and each given
  // message (null for none) in its count, bytes and 10-slot history (newest
  // first; a message of 4096 bytes or more is stored as its limited copy cut
  // below 4096 bytes). True when the entry exists.
  bool addComponentStats(std::uint32_t id, std::uint8_t status, std::uint64_t processorTime,
                         const DataMessage* received, const DataMessage* posted,
                         std::uint32_t seconds, std::uint32_t wakeUps);

  // Maps the section whose serial the master section shows now. The serial
  // is kept even when the open fails, so the following operations go on
  // with the old view until the serial changes again.
  bool open();

  std::uint32_t serial() const noexcept { return serial_; }

 private:
  class Operation;

  bool openLocked();
  std::span<std::uint8_t> entry(std::uint32_t id) const noexcept;

  MasterMemory* master_;
  Mutex* mutex_;
  std::unique_ptr<Mutex> ownedMutex_;  // only when open() had to construct it
  MappedSection view_;
  std::uint16_t instanceId_ = 0;
  std::uint32_t serial_ = 0;
};

}  // namespace vornix
