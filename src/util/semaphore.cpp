#include "util/semaphore.h"

#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "util/mutex.h"
#include "util/named_objects.h"
#include "util/object_names.h"
#include "util/poll.h"
#include "util/text.h"

namespace vornix {
namespace {

constexpr std::size_t kNameBufferBytes = 256;  // a kept name holds at most 255 characters
constexpr std::int32_t kRegistryMaximumCount = kQueueSemaphoreMaximum;

struct SemaphoreRegistry {
  Mutex guard;  // unnamed; guards `semaphores` and `retired`
  std::map<std::string, std::unique_ptr<Semaphore>, std::less<>> semaphores;
  // Semaphores whose name was removed and replaced in `semaphores`: callers
  // may still hold pointers to them, so they live until unload.
  std::vector<std::unique_ptr<Semaphore>> retired;
};

// Static storage that is built and torn down by the use counter only, so its
// lifetime does not depend on the order of static destructors.
union RegistrySlot {
  constexpr RegistrySlot() noexcept : none() {}
  ~RegistrySlot() {}
  char none;
  SemaphoreRegistry registry;
};
constinit RegistrySlot slot;
constinit SemaphoreRegistry* registry = nullptr;

}  // namespace

namespace detail {

void startSemaphoreRegistry() noexcept {
  registry = std::construct_at(&slot.registry);
}

void stopSemaphoreRegistry() noexcept {
  if (registry == nullptr) return;
  SemaphoreRegistry* ending = registry;
  registry = nullptr;
  {
    const MutexHold hold(ending->guard);
    ending->semaphores.clear();
    ending->retired.clear();
  }
  std::destroy_at(ending);
}

}  // namespace detail

Semaphore::Semaphore(std::string_view logicalName, std::int32_t maximumCount)
    : os_(OsSemaphore::openNamed(semaphoreFullName(logicalName), maximumCount)) {
  const std::string source(logicalName);
  char kept[kNameBufferBytes];
  copyText(kept, source.c_str(), sizeof kept, true);
  name_ = kept;
}

Semaphore::~Semaphore() = default;

bool Semaphore::valid() const noexcept {
  return os_ != nullptr;
}

bool Semaphore::signal() {
  return os_ && os_->signal();
}

bool Semaphore::wait(std::uint32_t timeoutMs) {
  if (!os_) return false;
  // A signal that comes within a few microseconds (a reply, the next
  // message of a burst) is taken without the system's sleep and wake-up,
  // which cost tens of microseconds on a virtual machine, more than the
  // work handed over. The poll is short against any useful time-out.
  if (timeoutMs != 0 && pollFor(kPollBeforeSleepMicros, [this] { return os_->wait(0); })) {
    return true;
  }
  return os_->wait(timeoutMs);
}

std::int32_t Semaphore::count() const noexcept {
  return os_ ? os_->count() : -1;
}

Semaphore::NameBinding Semaphore::nameBinding() const noexcept {
  return os_ ? os_->nameBinding() : NameBinding::noObject;
}

Semaphore* getNamedSemaphore(std::string_view logicalName, bool create) {
  SemaphoreRegistry* current = registry;
  if (current == nullptr) return nullptr;
  // Left on every path, a failed allocation included.
  const MutexHold hold(current->guard);
  if (!hold) return nullptr;
  auto entry = current->semaphores.find(logicalName);
  const Semaphore::NameBinding binding = entry == current->semaphores.end()
                                             ? Semaphore::NameBinding::noObject
                                             : entry->second->nameBinding();
  if (binding == Semaphore::NameBinding::thisObject) return entry->second.get();
  if (!create && binding == Semaphore::NameBinding::noObject) return nullptr;
  // Absent, or the registered object lost its name: open what the name leads
  // to now (creating it when there is none), as every other opener does.
  auto made = std::make_unique<Semaphore>(logicalName, kRegistryMaximumCount);
  if (!made->valid()) return nullptr;
  Semaphore* found = made.get();
  if (entry == current->semaphores.end()) {
    current->semaphores.emplace(std::string(logicalName), std::move(made));
  } else {
    // The old object moves to `retired` (room made first, so that nothing
    // handed out is ever destroyed by a failed allocation).
    current->retired.reserve(current->retired.size() + 1);
    current->retired.push_back(std::exchange(entry->second, std::move(made)));
  }
  return found;
}

bool removeNamedSemaphore(std::string_view logicalName) {
  return removeSystemObject(semaphoreFullName(logicalName), SystemObjectKind::semaphore);
}

}  // namespace vornix
