// MasterMemory: the client of the master section, the fixed place where the
// serial and size of the component, process and data-maps sections are
// published. Sections never grow in place: a grow creates a new section under
// a new serial, and every client reopens when it sees the serial change.
//
// The host creates the master section, its mutex and this object; the
// library never creates or opens the master section itself.
//
// Master section (little-endian; bytes before 84 and the gaps are the host's):
//   84 u32 process serial    88 u32 component serial    92 u32 data-maps serial
//  120 u64 process size     128 u64 component size     136 u64 data-maps size
//
// Thread safety: every operation is one short hold of the master mutex
// (5000 ms, labelled with the operation's full name). Lock order: a section
// mutex first, the master mutex inside it.
#pragma once

#include <cstdint>
#include <span>

#include "util/mutex.h"

namespace vornix {

class MasterMemory {
 public:
  static constexpr std::uint64_t kProcessSerial = 84, kComponentSerial = 88, kDataMapsSerial = 92,
                                 kProcessSize = 120, kComponentSize = 128, kDataMapsSize = 136;
  // Bytes a master section needs for the fields above.
  static constexpr std::uint64_t kMinimumSize = 144;

  // `mutex` and `section` are not owned and may be null/empty; they must
  // outlive this object. Every operation fails (0 / false, no line) when
  // either is absent or the section is shorter than kMinimumSize.
  MasterMemory(std::uint16_t instanceId, Mutex* mutex, std::span<std::uint8_t> section);

  std::uint16_t instanceId() const noexcept { return instanceId_; }

  std::uint32_t getProcessShmemSerial();
  std::uint32_t getComponentShmemSerial();
  std::uint32_t getDataMapsShmemSerial();
  // Adds 1 (wrapping) to the process serial and returns the new value.
  std::uint32_t incrementProcessShmemSerial();
  std::uint64_t getProcessShmemSize();
  std::uint64_t getComponentShmemSize();
  std::uint64_t getDataMapsShmemSize();
  bool setProcessShmemSize(std::uint64_t size);

 private:
  template <class T>
  T read(std::uint64_t offset, const char* label);

  std::uint16_t instanceId_;
  Mutex* mutex_;
  std::span<std::uint8_t> section_;
};

}  // namespace vornix
