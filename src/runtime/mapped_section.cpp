#include "runtime/mapped_section.h"

#include <algorithm>
#include <utility>

#include "util/bytes.h"

namespace vornix {

namespace {
constexpr std::uint64_t kFormatMarkOffset = 8;
constexpr std::uint64_t kHeadBytes = 12;  // size word and format mark
}  // namespace

MappedSection MappedSection::open(std::string_view logicalName,
                                  std::optional<std::uint32_t> formatMark,
                                  std::uint64_t minimumBytes, bool* absent) {
  SharedView view = SharedView::open(logicalName);
  if (absent != nullptr) *absent = !view;
  if (!view) return {};
  const std::uint64_t mapped = view.length();
  const std::span<const std::uint8_t> whole(view.data(), static_cast<std::size_t>(mapped));
  const std::uint64_t sizeWord = bytes::loadOr<std::uint64_t>(whole, 0, 0);
  const std::uint64_t length = std::min(mapped, sizeWord);
  if (length < std::max(kHeadBytes, minimumBytes) ||
      (formatMark && bytes::loadOr<std::uint32_t>(whole, kFormatMarkOffset, 0) != *formatMark)) {
    return {};  // the view is released whole, whatever the size word says
  }
  return MappedSection(std::move(view), static_cast<std::size_t>(length));
}

MappedSection::MappedSection(SharedView view, std::size_t length) noexcept
    : view_(std::move(view)), length_(length) {}

MappedSection::MappedSection(MappedSection&& other) noexcept
    : view_(std::move(other.view_)), length_(std::exchange(other.length_, 0)) {}

MappedSection& MappedSection::operator=(MappedSection&& other) noexcept {
  if (this != &other) {
    view_ = std::move(other.view_);
    length_ = std::exchange(other.length_, 0);
  }
  return *this;
}

}  // namespace vornix
