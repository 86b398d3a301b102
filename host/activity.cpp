#include "host/activity.h"

#include "util/poll.h"

namespace vornix::host {

namespace {
// A safety net only: every change that can end a wait is announced, so a
// waiter normally wakes on the announcement well before this bound.
constexpr std::chrono::milliseconds kLookAgain{2};
}  // namespace

void ActivityMonitor::changed(std::uint32_t componentId, bool idle, Micros deadline, bool wake) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_[componentId] = Entry{idle, deadline};
    version_.fetch_add(1, std::memory_order_release);
  }
  if (wake) changed_.notify_all();
}

void ActivityMonitor::add(std::uint32_t componentId) {
  changed(componentId, false, 0, false);
}
void ActivityMonitor::finished(std::uint32_t componentId) {
  changed(componentId, true, 0, true);
}
void ActivityMonitor::waiting(std::uint32_t componentId, std::uint32_t timeoutMs) {
  // The clock stands still while any component works, so the deadline is
  // the same on every run.
  Micros deadline = 0;
  if (clock_ != nullptr && timeoutMs != 0 && timeoutMs != 0xFFFFFFFFU) {
    deadline = clock_->now() + Micros{timeoutMs} * 1000U;
  }
  changed(componentId, true, deadline, true);
}
// Resuming cannot make the system quiet, so nobody needs waking; the version
// still moves so that a look in progress is discarded.
void ActivityMonitor::resumed(std::uint32_t componentId) {
  changed(componentId, false, 0, false);
}

std::vector<std::uint32_t> ActivityMonitor::dueAt(Micros now) {
  std::vector<std::uint32_t> due;
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& [id, entry] : entries_) {
    if (entry.idle && entry.deadline != 0 && entry.deadline <= now) {
      entry.deadline = 0;
      due.push_back(id);
    }
  }
  return due;
}

bool ActivityMonitor::idle(std::uint32_t componentId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = entries_.find(componentId);
  return found == entries_.end() || found->second.idle;
}

bool ActivityMonitor::awaitQuiet(const std::function<Look()>& look,
                                 std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (true) {
    std::uint64_t seen = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      seen = version_.load(std::memory_order_relaxed);
    }
    const Look found = look();
    if (found == Look::busy && pollMicros_ != 0) {
      pollFor(pollMicros_, [&] { return version_.load(std::memory_order_acquire) != seen; });
    }
    if (found != Look::progressed) {
      std::unique_lock<std::mutex> lock(mutex_);
      if (found == Look::quiet && version_ == seen) return true;
      // A change since `seen` means look again at once; otherwise sleep until
      // a component goes back to its wait or ends.
      if (version_ == seen) {
        changed_.wait_for(lock, kLookAgain, [&] { return version_ != seen; });
      }
    }
    if (std::chrono::steady_clock::now() > deadline) return false;
  }
}

}  // namespace vornix::host
