#include "host/offline_drive.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <utility>

#include "util/format.h"

namespace vornix::host {

namespace {

constexpr std::uint32_t kWaitWithoutLimit = 0xFFFFFFFFU;
// Exit status of a process ended because a component never gave the thread
// back (as sysexits' EX_SOFTWARE: an internal error of the software run).
constexpr int kExitStuck = 70;

std::string describe(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "an exception that is not a std::exception";
  }
}

}  // namespace

OfflineDrive::OfflineDrive(ClockSource& clock, std::chrono::milliseconds limit)
    : clock_(clock), limit_(limit), watchdog_([this] { watch(); }) {}

OfflineDrive::~OfflineDrive() {
  {
    std::lock_guard<std::mutex> lock(watchMutex_);
    watchEnds_ = true;
  }
  watchChanged_.notify_all();
  watchdog_.join();
  // Tasks that have not ended are unwound as their tasks go.
  entries_.clear();
}

bool OfflineDrive::add(std::uint32_t id, std::string name, std::function<std::int64_t()> body,
                       std::string& error) {
  auto entry = std::make_unique<Entry>();
  entry->id = id;
  entry->name = std::move(name);
  entry->body = std::move(body);
  Entry* raw = entry.get();
  entry->task = CooperativeTask::create([raw] { raw->result = raw->body(); },
                                        CooperativeTask::defaultStackBytes(), error);
  if (!entry->task) return false;
  if (byId_.size() <= id) byId_.resize(std::size_t{id} + 1U, nullptr);
  byId_[id] = raw;
  entries_.push_back(std::move(entry));
  return true;
}

OfflineDrive::Entry* OfflineDrive::find(std::uint32_t id) {
  return id < byId_.size() ? byId_[id] : nullptr;
}

void OfflineDrive::queued(std::uint32_t id) {
  if (Entry* e = find(id)) e->pending = true;
}

std::vector<std::uint32_t> OfflineDrive::dueAt(Micros now) {
  std::vector<std::uint32_t> due;
  for (std::uint32_t id = 0; id < byId_.size(); ++id) {
    Entry* e = byId_[id];
    if (e != nullptr && !e->ended && e->deadline != 0 && e->deadline <= now) {
      e->deadline = 0;
      due.push_back(id);
    }
  }
  return due;
}

bool OfflineDrive::runRound() {
  bool ran = false;
  for (const auto& entry : entries_) {
    Entry& e = *entry;
    if (!e.pending || e.ended || e.stuck) continue;
    e.pending = false;
    ran = true;
    current_.store(&e, std::memory_order_relaxed);
    resumeSerial_.fetch_add(1, std::memory_order_release);  // odd: running
    e.task->resume();
    resumeSerial_.fetch_add(1, std::memory_order_release);  // even: back
    current_.store(nullptr, std::memory_order_relaxed);
    if (e.task->finished()) {
      e.ended = true;
      e.deadline = 0;
      if (const std::exception_ptr failure = e.task->failure()) {
        problems_.push_back(
            formatString("component '%s' failed: %s", e.name.c_str(), describe(failure).c_str()));
      } else if (!stopping_) {
        problems_.push_back(formatString("component '%s' ended before the stop (result %lld)",
                                         e.name.c_str(), static_cast<long long>(e.result)));
      }
    }
  }
  return ran;
}

bool OfflineDrive::quiet() const noexcept {
  for (const auto& e : entries_) {
    if (e->pending && !e->ended && !e->stuck) return false;
  }
  return true;
}

bool OfflineDrive::allEnded() const noexcept {
  for (const auto& e : entries_) {
    if (!e->ended) return false;
  }
  return true;
}

std::vector<std::string> OfflineDrive::takeProblems() {
  return std::exchange(problems_, {});
}

std::vector<std::string> OfflineDrive::unfinished() const {
  std::vector<std::string> names;
  for (const auto& e : entries_) {
    if (!e->ended) names.push_back(e->name);
  }
  return names;
}

void OfflineDrive::waiting(std::uint32_t componentId, std::uint32_t timeoutMs) {
  Entry* e = find(componentId);
  if (e == nullptr) return;
  // The clock stands still while any task runs, so the deadline is the same
  // on every run.
  e->deadline = timeoutMs != 0 && timeoutMs != kWaitWithoutLimit
                    ? clock_.now() + Micros{timeoutMs} * 1000U
                    : 0;
}

void OfflineDrive::resumed(std::uint32_t componentId) {
  if (Entry* e = find(componentId)) e->deadline = 0;
}

void OfflineDrive::suspend(std::uint32_t componentId) {
  Entry* e = find(componentId);
  // Only the running task can suspend itself; anything else is a misuse
  // that must not switch stacks.
  if (e == nullptr || e != current_.load(std::memory_order_relaxed)) return;
  e->task->suspend();
}

void OfflineDrive::checkpoint(std::uint32_t componentId) {
  // Only the resume the watchdog caught: a long turn that ended in a wait
  // is no fault of the next task.
  if (overrunSerial_.load(std::memory_order_acquire) !=
      resumeSerial_.load(std::memory_order_relaxed)) {
    return;
  }
  Entry* e = find(componentId);
  if (e == nullptr || e != current_.load(std::memory_order_relaxed)) return;
  e->stuck = true;
  problems_.push_back(formatString(
      "component '%s' kept the thread for more than %lld ms without waiting (a busy loop?)",
      e->name.c_str(), static_cast<long long>(limit_.count())));
  // Never resumed again; unwound when the drive goes.
  e->task->suspend();
}

void OfflineDrive::watch() {
  const auto step = std::max(limit_ / 8, std::chrono::milliseconds(1));
  std::unique_lock<std::mutex> lock(watchMutex_);
  std::uint64_t watched = 0;  // the odd serial of a resume being timed
  auto since = std::chrono::steady_clock::now();
  bool warned = false;
  while (!watchEnds_) {
    watchChanged_.wait_for(lock, step, [this] { return watchEnds_; });
    if (watchEnds_) break;
    const std::uint64_t serial = resumeSerial_.load(std::memory_order_acquire);
    const auto now = std::chrono::steady_clock::now();
    if ((serial & 1U) == 0 || serial != watched) {
      watched = serial;
      since = now;
      warned = false;
      continue;
    }
    if (!warned && now - since > limit_) {
      // First the cooperative way: the task is suspended at its next call
      // of the handle.
      overrunSerial_.store(serial, std::memory_order_release);
      warned = true;
      since = now;
    } else if (warned && now - since > limit_) {
      // It never called the handle: nothing can take the thread back.
      const Entry* running = current_.load(std::memory_order_relaxed);
      std::fprintf(stderr,
                   "loquant: component '%s' has kept the thread for more than %lld ms and never "
                   "gives it back; ending the process\n",
                   running != nullptr ? running->name.c_str() : "?",
                   static_cast<long long>(2 * limit_.count()));
      std::fflush(stderr);
      std::_Exit(kExitStuck);
    }
  }
}

}  // namespace vornix::host
