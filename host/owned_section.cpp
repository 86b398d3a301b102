#include "host/owned_section.h"

#include <algorithm>
#include <utility>

#include "util/bytes.h"
#include "util/shared_memory.h"

namespace vornix::host {

std::optional<OwnedSection> OwnedSection::create(std::string_view logicalName, std::uint64_t size) {
  if (size < sizeof(std::uint64_t)) return std::nullopt;
  // The view is bounded by what the owner asked for, even when the name
  // existed already and its mapping is longer.
  MappedSection view = MappedSection::create(logicalName, size);
  if (!view) return std::nullopt;
  const std::span<std::uint8_t> bytes = view.bytes();
  if (!view.created()) std::fill(bytes.begin() + 8, bytes.end(), std::uint8_t{0});
  bytes::store<std::uint64_t>(bytes, 0, size);
  return OwnedSection(std::string(logicalName), std::move(view));
}

OwnedSection::OwnedSection(std::string name, MappedSection view) noexcept
    : name_(std::move(name)), view_(std::move(view)) {}

OwnedSection::OwnedSection(OwnedSection&& other) noexcept
    : name_(std::move(other.name_)), view_(std::move(other.view_)) {}

OwnedSection& OwnedSection::operator=(OwnedSection&& other) noexcept {
  if (this != &other) {
    release();
    name_ = std::move(other.name_);
    view_ = std::move(other.view_);
  }
  return *this;
}

OwnedSection::~OwnedSection() {
  release();
}

void OwnedSection::release() noexcept {
  if (!view_) return;
  view_.reset();
  removeSharedMemory(name_);
}

}  // namespace vornix::host
