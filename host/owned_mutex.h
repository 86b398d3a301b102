// OwnedMutex: the host's owner of one named mutex that it created for a
// section. On destruction it closes the mutex and removes its name, so that a
// stopped instance leaves nothing behind; processes that still hold the mutex
// keep using it.
//
// Thread safety: the Mutex itself may be used by any thread; the owner is
// moved and destroyed by one thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "util/mutex.h"

namespace vornix::host {

class OwnedMutex {
 public:
  // Creates or opens the mutex "<logicalName>"; empty when the system object
  // cannot be had (the platform layer has logged why).
  static std::optional<OwnedMutex> create(std::string_view logicalName);

  OwnedMutex(OwnedMutex&&) noexcept = default;
  OwnedMutex& operator=(OwnedMutex&& other) noexcept;
  OwnedMutex(const OwnedMutex&) = delete;
  OwnedMutex& operator=(const OwnedMutex&) = delete;
  ~OwnedMutex();

  // Valid while this object lives (and is not moved from).
  Mutex& get() const noexcept { return *mutex_; }

 private:
  OwnedMutex(std::string name, std::unique_ptr<Mutex> mutex) noexcept;
  void release() noexcept;

  std::string name_;
  std::unique_ptr<Mutex> mutex_;
};

}  // namespace vornix::host
