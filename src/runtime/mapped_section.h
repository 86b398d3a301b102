// MappedSection: the one mapped view of a named shared-memory section, used
// by every section client, the host's owners and readers, and the instance
// viewer. None of them checks the bounds of a mapping itself.
//
// The usable bytes are bounded by the smaller of the bytes really mapped and
// the section's own size word (its first 8 bytes), so every access made
// through bytes() stays inside the mapping even when the size word or any
// offset in the section is corrupt. A store that grows is a new section under
// the next serial: its users open a new view and move it over the old one.
//
// The view carries its own system handle (the section's HANDLE on Windows,
// which keeps the section alive; the descriptor on POSIX, which copyTo asks
// about the written ranges) and no registry takes part: whichever copy of the
// runtime drops it (a component library carries its own copy, and a view one
// copy maps may be released by the other) unmaps it whole and closes the
// handle (docs/decisions.md).
//
// Thread safety: a view is used under its section's named mutex; the object
// itself has no lock. Move-only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "util/named_objects.h"

namespace vornix {

class MappedSection {
 public:
  MappedSection() noexcept = default;
  // Opens the section "<logicalName>" and accepts it only when its usable
  // bytes number at least `minimumBytes` (and never fewer than 12: the size
  // word and the format mark) and, when a mark is given, its format mark (u32
  // at offset 8) is `formatMark`; otherwise the view is closed again and the
  // result is empty. `absent`, when given, tells whether the name led to no
  // section at all (or one that could not be mapped, logged "Could not map
  // shared memory '%s': %s"), as opposed to one that was refused.
  static MappedSection open(std::string_view logicalName, std::optional<std::uint32_t> formatMark,
                            std::uint64_t minimumBytes = 0, bool* absent = nullptr);
  // Creates the section "<logicalName>" of `size` bytes (or maps the one found
  // under the name) for its writer, who fills in the size word: the usable
  // bytes are `size`, whatever the size word says yet. Empty when the system
  // refuses ("Could not create shared memory '%s': %s"), `size` is 0, or a
  // section found under the name is shorter than `size`.
  static MappedSection create(std::string_view logicalName, std::uint64_t size);

  MappedSection(MappedSection&& other) noexcept;
  MappedSection& operator=(MappedSection&& other) noexcept;
  MappedSection(const MappedSection&) = delete;
  MappedSection& operator=(const MappedSection&) = delete;
  ~MappedSection();

  explicit operator bool() const noexcept { return view_.address != nullptr; }
  // The bounded bytes of the section; empty for an empty view. Valid until the
  // view is dropped, replaced or moved from.
  std::span<std::uint8_t> bytes() const noexcept { return {view_.address, length_}; }
  std::uint8_t* data() const noexcept { return view_.address; }
  std::size_t size() const noexcept { return length_; }
  // True for a view that create() made a new section for (not one it found
  // under the name): its bytes read as zero until written.
  bool created() const noexcept { return created_; }
  // Unmaps the view and closes its handle; the view is empty afterwards.
  void reset() noexcept;

  // Copies this view's first `length` bytes (bounded by both views) to the
  // start of `to`. When `to` is a new section not yet written to, the ranges
  // of this section that were never written are left out (they read as zero
  // on both sides), so that a grow of a large, mostly unused section costs its
  // written pages, not all of them.
  void copyTo(const MappedSection& to, std::uint64_t length) const noexcept;

 private:
  MappedSection(const SectionView& view, std::size_t length, bool created) noexcept
      : view_(view), length_(length), created_(created) {}

  SectionView view_;
  std::size_t length_ = 0;  // the bound of every access
  bool created_ = false;
};

}  // namespace vornix
