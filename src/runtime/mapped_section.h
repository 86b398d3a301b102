// MappedSection: one mapped view of a shared-memory section opened by name,
// closed again when the view is dropped or replaced. The one view type of the
// section clients and of the host's readers and viewer: none of them checks
// the bounds of a mapping itself.
//
// The usable bytes are bounded by the smaller of the bytes really mapped and
// the section's own size word (its first 8 bytes), so every access the
// clients make through bytes() stays inside the mapping even when the size
// word or any offset in the section is corrupt.
//
// Thread safety: a view is used under its section's named mutex; the object
// itself has no lock.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "util/shared_memory.h"

namespace vornix {

class MappedSection {
 public:
  MappedSection() noexcept = default;
  // Opens the section "<logicalName>" and accepts it only when its usable
  // bytes number at least `minimumBytes` (and never fewer than 12: the size
  // word and the format mark) and, when a mark is given, its format mark (u32
  // at offset 8) is `formatMark`; otherwise the view is closed again and the
  // result is empty. `absent`, when given, tells whether the name led to no
  // section at all, as opposed to one that was refused.
  static MappedSection open(std::string_view logicalName, std::optional<std::uint32_t> formatMark,
                            std::uint64_t minimumBytes = 0, bool* absent = nullptr);

  MappedSection(MappedSection&& other) noexcept;
  MappedSection& operator=(MappedSection&& other) noexcept;
  MappedSection(const MappedSection&) = delete;
  MappedSection& operator=(const MappedSection&) = delete;
  ~MappedSection() = default;

  explicit operator bool() const noexcept { return static_cast<bool>(view_); }
  // The bounded bytes of the section; empty for an empty view. Valid until the
  // view is dropped, replaced or moved from.
  std::span<std::uint8_t> bytes() const noexcept { return {view_.data(), length_}; }

 private:
  MappedSection(SharedView view, std::size_t length) noexcept;

  // Carries its own handle: the object may be dropped by the other copy of
  // the runtime (docs/decisions.md), which must release the view whole.
  SharedView view_;
  std::size_t length_ = 0;  // the bound of every access
};

}  // namespace vornix
