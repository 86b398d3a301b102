#include "host/owned_section.h"

#include <algorithm>
#include <utility>

#include "util/bytes.h"
#include "util/shared_memory.h"

namespace vornix::host {

std::optional<OwnedSection> OwnedSection::create(std::string_view logicalName, std::uint64_t size) {
  if (size < sizeof(std::uint64_t)) return std::nullopt;
  bool created = false;
  std::uint8_t* address = createSharedMemory(logicalName, size, &created);
  if (address == nullptr) return std::nullopt;
  // The mapping may be longer than asked when the name existed already; the
  // owner only ever uses what it asked for.
  const std::uint64_t mapped = mappedLength(address);
  if (mapped < size) {
    closeSharedMemory(address, size);
    return std::nullopt;
  }
  std::span<std::uint8_t> bytes(address, static_cast<std::size_t>(size));
  if (!created) std::fill(bytes.begin() + 8, bytes.end(), std::uint8_t{0});
  bytes::store<std::uint64_t>(bytes, 0, size);
  return OwnedSection(std::string(logicalName), bytes);
}

OwnedSection::OwnedSection(std::string name, std::span<std::uint8_t> bytes) noexcept
    : name_(std::move(name)), bytes_(bytes) {}

OwnedSection::OwnedSection(OwnedSection&& other) noexcept
    : name_(std::move(other.name_)), bytes_(std::exchange(other.bytes_, {})) {}

OwnedSection& OwnedSection::operator=(OwnedSection&& other) noexcept {
  if (this != &other) {
    release();
    name_ = std::move(other.name_);
    bytes_ = std::exchange(other.bytes_, {});
  }
  return *this;
}

OwnedSection::~OwnedSection() {
  release();
}

void OwnedSection::release() noexcept {
  if (bytes_.empty()) return;
  closeSharedMemory(bytes_.data(), bytes_.size());
  removeSharedMemory(name_);
  bytes_ = {};
}

}  // namespace vornix::host
