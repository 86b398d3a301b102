#include "util/mutex.h"

#include "util/log.h"
#include "util/named_objects.h"
#include "util/object_names.h"

namespace vornix {
namespace {

constexpr std::uint32_t kForever = 0xFFFFFFFFU;

// enter sits on hot paths: the thread id comes from a per-thread cache.
std::uint32_t thisThread() noexcept {
  return cachedThreadId();
}

}  // namespace

Mutex::Mutex(std::string_view logicalName)
    : fullName_(mutexFullName(logicalName)), os_(OsMutex::openNamed(fullName_)) {}

Mutex::Mutex() : os_(OsMutex::createUnnamed()) {
  if (!os_) logLine(0, 1, 0, "Could not create unnamed mutex");
}

Mutex::~Mutex() {
  // Unmapping a mutex that this thread still holds would leave the system's
  // list of held robust mutexes pointing into freed memory.
  if (os_ && ownerThread() == thisThread()) {
    for (std::uint32_t level = depth(); level > 0; --level) os_->release();
  }
}

bool Mutex::valid() const noexcept {
  return os_ != nullptr;
}

void Mutex::acquired() noexcept {
  // Only the holder writes the counters; relaxed is enough for diagnostics.
  ownerThread_.store(thisThread(), std::memory_order_relaxed);
  depth_.store(depth() + 1, std::memory_order_relaxed);
  totalEnters_.store(totalEnters() + 1, std::memory_order_relaxed);
}

bool Mutex::enter(std::uint32_t timeoutMs, const char* label) {
  const MutexWait result = os_ ? os_->wait(timeoutMs) : MutexWait::failed;
  if (result == MutexWait::acquired) {
    acquired();
    return true;
  }
  if (label == nullptr) return false;
  const void* object = os_ ? os_->systemObject() : nullptr;
  if (result == MutexWait::timedOut) {
    logLine(0, 1, 0, "[%u]Mutex enter timeout[%p](%s) - currently held by %u, count %u, total %u",
            thisThread(), object, label, ownerThread(), depth(), totalEnters());
  } else {
    logLine(0, 1, 0, "[%u]Mutex enter error[%p](%s): %u - currently held by %u, count %u, total %u",
            thisThread(), object, label, static_cast<std::uint32_t>(result), ownerThread(), depth(),
            totalEnters());
  }
  return false;
}

bool Mutex::lock() {
  const MutexWait result = os_ ? os_->wait(kForever) : MutexWait::failed;
  if (result == MutexWait::acquired) {
    acquired();
    return true;
  }
  if (result == MutexWait::abandoned) return false;
  if (fullName_.empty()) {
    logLine(0, 1, 0, "Lock of unnamed mutex failed");
  } else {
    logLine(0, 1, 0, "Lock of mutex failed: %s", fullName_.c_str());
  }
  return false;
}

bool Mutex::leave() {
  const std::uint32_t depthBefore = depth();
  if (depthBefore == 0) return true;
  const std::uint32_t ownerBefore = ownerThread();
  depth_.store(depthBefore - 1, std::memory_order_relaxed);
  if (depthBefore == 1) ownerThread_.store(0, std::memory_order_relaxed);
  if (os_ && os_->release()) return true;
  depth_.store(depthBefore, std::memory_order_relaxed);
  ownerThread_.store(ownerBefore, std::memory_order_relaxed);
  return false;
}

bool removeNamedMutex(std::string_view logicalName) {
  return removeSystemObject(mutexFullName(logicalName), SystemObjectKind::mutex);
}

}  // namespace vornix
