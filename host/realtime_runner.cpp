#include "host/realtime_runner.h"

#include <cstdio>

#include "host/process_section.h"
#include "runtime/zel_api.h"

namespace vornix::host {

struct RealTimeRunner::Thread {
  Task task;
  std::thread thread;
  std::mutex doneMutex;
  std::condition_variable doneChanged;
  bool done = false;
};

RealTimeRunner::RealTimeRunner(QueueReader& systemQueue, std::function<bool()> drain,
                               std::function<std::uint64_t()> routed,
                               std::chrono::milliseconds stopLimit)
    : systemQueue_(systemQueue),
      drain_(std::move(drain)),
      routed_(std::move(routed)),
      stopLimit_(stopLimit) {}

RealTimeRunner::~RealTimeRunner() {
  stop();
}

void RealTimeRunner::start(std::vector<Task> tasks) {
  for (Task& task : tasks) {
    auto t = std::make_unique<Thread>();
    t->task = std::move(task);
    Thread* raw = t.get();
    t->thread = std::thread([raw] {
      raw->task.entry(raw->task.api);
      std::lock_guard<std::mutex> lock(raw->doneMutex);
      raw->done = true;
      raw->doneChanged.notify_all();
    });
    threads_.push_back(std::move(t));
  }
  routing_ = true;
  router_ = std::thread([this] {
    while (routing_.load()) {
      systemQueue_.wait(50);
      drain_();
    }
  });
}

bool RealTimeRunner::settle() {
  // Nobody can tell when a thread has finished with what it took, but once
  // every component has taken what was queued for it and the router has
  // stopped moving messages for a few looks, a stop comes after all of it.
  constexpr auto kLook = std::chrono::milliseconds(2);
  constexpr int kQuietLooks = 3;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int quietLooks = 0;
  std::uint64_t seen = routed_();
  while (quietLooks < kQuietLooks) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(kLook);
    bool taken = true;
    for (const auto& t : threads_) {
      if (t->task.api->queuedPairs() != 0) taken = false;
    }
    const std::uint64_t now = routed_();
    quietLooks = taken && now == seen ? quietLooks + 1 : 0;
    seen = now;
  }
  return true;
}

void RealTimeRunner::stop() {
  for (auto& t : threads_) {
    if (!t->thread.joinable()) continue;
    std::unique_lock<std::mutex> lock(t->doneMutex);
    if (!t->doneChanged.wait_for(lock, stopLimit_, [&] { return t->done; })) {
      std::fprintf(stderr, "loquant: component '%s' did not stop within %lld ms\n",
                   t->task.name.c_str(), static_cast<long long>(stopLimit_.count()));
    }
    lock.unlock();
    t->thread.join();
  }
  threads_.clear();
  if (router_.joinable()) {
    routing_ = false;
    router_.join();
  }
  // Whatever was posted last still reaches the sinks.
  while (drain_()) {
  }
}

}  // namespace vornix::host
