// OfflineDrive: runs every component of a system on the simulated clock as a
// cooperative task on the calling thread.
//
// A component whose wait finds its inbound queue empty suspends its task;
// the drive resumes it once the host has queued a pair for it (a message, a
// wait that fell due on the simulated clock, or a stop). One round resumes
// every component with something queued, in a fixed order (the order they
// were added in), each until it waits again; nothing reaches a component
// while another runs. So the outcome depends only on the input, never on
// how threads happen to be scheduled, and the per-frame path has no lock
// contention, polling, sleeping or kernel wait.
//
// A component that keeps the thread too long (a busy loop: it neither waits
// nor returns) is caught by a watchdog: if it calls its handle (its running
// flag, a wait that only tries), its task is suspended there and the run
// fails with its name; one that never calls the handle is reported by name
// and ends the process, since nothing else can take the thread back.
//
// Thread safety: one thread (the one that created the drive) calls every
// operation; the WaitObserver calls come from the tasks on that thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/cooperative_task.h"
#include "runtime/zel_api.h"
#include "util/clock.h"

namespace vornix::host {

class OfflineDrive final : public WaitObserver {
 public:
  // `clock` times the components' waits; not owned. `limit`: how long one
  // resume may keep the thread before the watchdog steps in.
  OfflineDrive(ClockSource& clock, std::chrono::milliseconds limit);
  ~OfflineDrive() override;
  OfflineDrive(const OfflineDrive&) = delete;
  OfflineDrive& operator=(const OfflineDrive&) = delete;

  // Adds the task of component `id` (non-zero, unique); `body` runs the
  // component's entry point and returns its result. It first runs at the
  // next round. False with the reason when its stack cannot be had.
  [[nodiscard]] bool add(std::uint32_t id, std::string name, std::function<std::int64_t()> body,
                         std::string& error);
  // Something was queued for component `id`: it runs at the next round.
  void queued(std::uint32_t id);
  // The components whose current wait has a time-out that has passed at
  // `now`, in id order; each is reported once per wait. The caller queues
  // them a pair that carries nothing and calls queued().
  std::vector<std::uint32_t> dueAt(Micros now);
  // Resumes every component with something queued, in order, each until it
  // waits again or ends. True when one did run.
  bool runRound();
  // True when no component has anything queued.
  bool quiet() const noexcept;
  // True once every task has ended.
  bool allEnded() const noexcept;

  // What went wrong so far, one line each ("component 'X' ..."): a task that
  // threw, ended before the stop, or was caught in a busy loop. Taken lines
  // are not repeated.
  std::vector<std::string> takeProblems();
  // Marks the stop: from now on a component that ends is not a problem.
  void stopping() noexcept { stopping_ = true; }
  // The names of the tasks that have not ended.
  std::vector<std::string> unfinished() const;

  // ---- WaitObserver ----
  void waiting(std::uint32_t componentId, std::uint32_t timeoutMs) override;
  void resumed(std::uint32_t componentId) override;
  bool cooperative() const noexcept override { return true; }
  void suspend(std::uint32_t componentId) override;
  void checkpoint(std::uint32_t componentId) override;

 private:
  struct Entry {
    std::uint32_t id = 0;
    std::string name;
    std::function<std::int64_t()> body;
    std::unique_ptr<CooperativeTask> task;
    std::int64_t result = 0;
    bool pending = true;  // a new task runs at the first round
    bool ended = false;
    bool stuck = false;   // suspended by the watchdog: never resumed again
    Micros deadline = 0;  // of the current wait on the clock; 0: none
  };
  Entry* find(std::uint32_t id);
  void watch();

  ClockSource& clock_;
  const std::chrono::milliseconds limit_;
  std::vector<std::unique_ptr<Entry>> entries_;  // in the order added
  std::vector<Entry*> byId_;                     // index: component id
  std::atomic<Entry*> current_{nullptr};         // the task running now
  std::vector<std::string> problems_;
  bool stopping_ = false;

  // The watchdog: a thread that looks at how long the current resume runs.
  std::mutex watchMutex_;
  std::condition_variable watchChanged_;
  bool watchEnds_ = false;
  std::atomic<std::uint64_t> resumeSerial_{0};   // odd while a task runs
  std::atomic<std::uint64_t> overrunSerial_{0};  // the resume the watchdog caught
  std::thread watchdog_;
};

}  // namespace vornix::host
