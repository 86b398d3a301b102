#include "host/activity.h"

namespace vornix::host {

void ActivityMonitor::add(std::uint32_t componentId) {
  std::lock_guard<std::mutex> lock(mutex_);
  idle_[componentId] = false;
}

void ActivityMonitor::finished(std::uint32_t componentId) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    idle_[componentId] = true;
    ++version_;
  }
  changed_.notify_all();
}

void ActivityMonitor::waiting(std::uint32_t componentId) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    idle_[componentId] = true;
    ++version_;
  }
  changed_.notify_all();
}

void ActivityMonitor::resumed(std::uint32_t componentId) {
  std::lock_guard<std::mutex> lock(mutex_);
  idle_[componentId] = false;
  ++version_;
}

void ActivityMonitor::poke() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++version_;
  }
  changed_.notify_all();
}

bool ActivityMonitor::awaitQuiet(
    const std::function<bool(const std::function<bool(std::uint32_t)>&)>& isQuiet,
    std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  const std::function<bool(std::uint32_t)> idle = [this](std::uint32_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = idle_.find(id);
    return found == idle_.end() || found->second;
  };
  while (true) {
    std::uint64_t seen = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      seen = version_;
    }
    if (isQuiet(idle)) return true;
    std::unique_lock<std::mutex> lock(mutex_);
    // A change since `seen` means look again at once; otherwise sleep until
    // one comes, with a short bound as a safety net for changes that are not
    // announced (a wait that returns by its time-out).
    if (version_ == seen) {
      changed_.wait_for(lock, std::chrono::microseconds(500),
                        [&] { return version_ != seen; });
    }
    if (std::chrono::steady_clock::now() > deadline) return false;
  }
}

}  // namespace vornix::host
