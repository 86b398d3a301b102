// OwnedSection: the host's owner of one named shared-memory section that it
// created. The owner maps the whole section and, on destruction, unmaps it and
// removes its name, so that nothing of a stopped instance stays in the
// system. Views that other objects opened stay valid until they close them.
//
// Thread safety: the object itself is used by one thread at a time; the
// mapped bytes are guarded by the section's own named mutex.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "runtime/mapped_section.h"

namespace vornix::host {

class OwnedSection {
 public:
  // Creates (or, when it exists already, maps) the section "<logicalName>" of
  // `size` bytes and writes the size into its first 8 bytes; every other byte
  // reads as zero. A section found under the name (left by a crashed owner)
  // is cleared; a new one is zero already and is not written, so its pages
  // stay unallocated until used. Empty when the system refuses or `size` is
  // below 8 (the failure of creation is logged by the platform layer).
  static std::optional<OwnedSection> create(std::string_view logicalName, std::uint64_t size);

  // An empty owner (no section).
  OwnedSection() noexcept = default;
  OwnedSection(OwnedSection&& other) noexcept;
  OwnedSection& operator=(OwnedSection&& other) noexcept;
  OwnedSection(const OwnedSection&) = delete;
  OwnedSection& operator=(const OwnedSection&) = delete;
  ~OwnedSection();

  // The section's bytes; valid while this object lives (and is not moved from).
  std::span<std::uint8_t> bytes() const noexcept { return view_.bytes(); }
  const std::string& name() const noexcept { return name_; }

 private:
  OwnedSection(std::string name, MappedSection view) noexcept;
  void release() noexcept;

  std::string name_;
  MappedSection view_;
};

}  // namespace vornix::host
