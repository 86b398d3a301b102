// RealTimeRunner: a system on the wall clock. Every component runs its entry
// point on a thread of its own, and a router thread moves what they post as
// it comes.
//
// Thread safety: start, settle and stop are called from the controlling
// thread; the router callback runs on the router thread (and, at the stop,
// on the controlling thread once the router has ended).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/library.h"

namespace vornix {
class ZelAPI;
}

namespace vornix::host {

class QueueReader;

class RealTimeRunner {
 public:
  struct Task {
    std::string name;
    EntryPoint entry;
    ZelAPI* api = nullptr;  // not owned; outlives the runner's threads
  };

  // `drain` routes everything in the system queue and says whether there
  // was anything; `routed` counts the messages routed so far.
  RealTimeRunner(QueueReader& systemQueue, std::function<bool()> drain,
                 std::function<std::uint64_t()> routed, std::chrono::milliseconds stopLimit);
  ~RealTimeRunner();  // stops
  RealTimeRunner(const RealTimeRunner&) = delete;
  RealTimeRunner& operator=(const RealTimeRunner&) = delete;

  // Starts a thread per task and the router.
  void start(std::vector<Task> tasks);
  // Waits (up to 10 s) until every component has taken what was queued for
  // it and the router has been idle for a few looks; false otherwise.
  bool settle();
  // With the running flags cleared and the components woken by the caller:
  // joins every component thread, reporting by name one that did not end
  // within the stop limit (it is joined all the same), then the router, and
  // routes whatever was posted last.
  void stop();

 private:
  struct Thread;
  QueueReader& systemQueue_;
  std::function<bool()> drain_;
  std::function<std::uint64_t()> routed_;
  std::chrono::milliseconds stopLimit_;
  std::vector<std::unique_ptr<Thread>> threads_;
  std::thread router_;
  std::atomic<bool> routing_{false};
};

}  // namespace vornix::host
