#include "runtime/mapped_section.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "util/bytes.h"
#include "util/shared_memory.h"

namespace vornix {

namespace {
constexpr std::uint64_t kFormatMarkOffset = 8;
constexpr std::uint64_t kHeadBytes = 12;  // size word and format mark
}  // namespace

// Views keep their POSIX descriptor too, so that copyTo can ask which ranges
// were ever written.
MappedSection MappedSection::open(std::string_view logicalName,
                                  std::optional<std::uint32_t> formatMark,
                                  std::uint64_t minimumBytes, bool* absent) {
  const SectionView view = openSectionLogged(logicalName, true).view;
  if (absent != nullptr) *absent = view.address == nullptr;
  if (view.address == nullptr) return {};
  const std::span<const std::uint8_t> whole(view.address, static_cast<std::size_t>(view.length));
  const std::uint64_t sizeWord = bytes::loadOr<std::uint64_t>(whole, 0, 0);
  const std::uint64_t length = std::min(view.length, sizeWord);
  if (length < std::max(kHeadBytes, minimumBytes) ||
      (formatMark && bytes::loadOr<std::uint32_t>(whole, kFormatMarkOffset, 0) != *formatMark)) {
    unmapSection(view);  // released whole, whatever the size word says
    return {};
  }
  return MappedSection(view, static_cast<std::size_t>(length), false);
}

MappedSection MappedSection::create(std::string_view logicalName, std::uint64_t size) {
  const SectionResult result = createSectionLogged(logicalName, size, true);
  if (result.view.address == nullptr) return {};
  if (result.view.length < size) {
    unmapSection(result.view);
    return {};
  }
  return MappedSection(result.view, static_cast<std::size_t>(size), result.created);
}

MappedSection::MappedSection(MappedSection&& other) noexcept
    : view_(std::exchange(other.view_, {})),
      length_(std::exchange(other.length_, 0)),
      created_(std::exchange(other.created_, false)) {}

MappedSection& MappedSection::operator=(MappedSection&& other) noexcept {
  if (this != &other) {
    reset();
    view_ = std::exchange(other.view_, {});
    length_ = std::exchange(other.length_, 0);
    created_ = std::exchange(other.created_, false);
  }
  return *this;
}

MappedSection::~MappedSection() {
  reset();
}

void MappedSection::reset() noexcept {
  length_ = 0;
  created_ = false;
  if (view_.address == nullptr) return;
  unmapSection(std::exchange(view_, {}));
}

void MappedSection::copyTo(const MappedSection& to, std::uint64_t length) const noexcept {
  length = std::min<std::uint64_t>({length, length_, to.length_});
  if (length == 0) return;
  if (to.created_) {
    copyWrittenBytes(view_, to.view_.address, length);
  } else {
    std::memcpy(to.view_.address, view_.address, static_cast<std::size_t>(length));
  }
}

}  // namespace vornix
