#include "runtime/mapped_section.h"

#include <algorithm>
#include <utility>

#include "util/bytes.h"
#include "util/shared_memory.h"

namespace vornix {

namespace {
constexpr std::uint64_t kFormatMarkOffset = 8;
constexpr std::uint64_t kHeadBytes = 12;  // size word and format mark
}  // namespace

MappedSection MappedSection::open(std::string_view logicalName, std::uint32_t formatMark) {
  std::uint8_t* address = openSharedMemory(logicalName);
  if (address == nullptr) return {};
  const std::uint64_t mapped = mappedLength(address);
  const std::span<const std::uint8_t> whole(address, static_cast<std::size_t>(mapped));
  const std::uint64_t sizeWord = bytes::loadOr<std::uint64_t>(whole, 0, 0);
  const std::uint64_t length = std::min(mapped, sizeWord);
  if (length < kHeadBytes ||
      bytes::loadOr<std::uint32_t>(whole, kFormatMarkOffset, 0) != formatMark) {
    // Closed with what is really mapped: a zero or corrupt size word must not
    // leave the view behind.
    closeSharedMemory(address, mapped);
    return {};
  }
  return MappedSection(address, mapped, static_cast<std::size_t>(length));
}

MappedSection::MappedSection(std::uint8_t* address, std::uint64_t mapped,
                             std::size_t length) noexcept
    : address_(address), mapped_(mapped), length_(length) {}

MappedSection::MappedSection(MappedSection&& other) noexcept
    : address_(std::exchange(other.address_, nullptr)),
      mapped_(std::exchange(other.mapped_, 0)),
      length_(std::exchange(other.length_, 0)) {}

MappedSection& MappedSection::operator=(MappedSection&& other) noexcept {
  if (this != &other) {
    close();
    address_ = std::exchange(other.address_, nullptr);
    mapped_ = std::exchange(other.mapped_, 0);
    length_ = std::exchange(other.length_, 0);
  }
  return *this;
}

MappedSection::~MappedSection() {
  close();
}

void MappedSection::close() noexcept {
  if (address_ == nullptr) return;
  closeSharedMemory(address_, mapped_);
  address_ = nullptr;
  mapped_ = 0;
  length_ = 0;
}

}  // namespace vornix
