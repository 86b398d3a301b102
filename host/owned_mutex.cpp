#include "host/owned_mutex.h"

#include <utility>

namespace vornix::host {

std::optional<OwnedMutex> OwnedMutex::create(std::string_view logicalName) {
  auto mutex = std::make_unique<Mutex>(logicalName);
  if (!mutex->valid()) return std::nullopt;
  return OwnedMutex(std::string(logicalName), std::move(mutex));
}

OwnedMutex::OwnedMutex(std::string name, std::unique_ptr<Mutex> mutex) noexcept
    : name_(std::move(name)), mutex_(std::move(mutex)) {}

OwnedMutex& OwnedMutex::operator=(OwnedMutex&& other) noexcept {
  if (this != &other) {
    release();
    name_ = std::move(other.name_);
    mutex_ = std::move(other.mutex_);
  }
  return *this;
}

OwnedMutex::~OwnedMutex() {
  release();
}

void OwnedMutex::release() noexcept {
  if (mutex_ == nullptr) return;
  mutex_.reset();
  removeNamedMutex(name_);
}

}  // namespace vornix::host
