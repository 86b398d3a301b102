// ZelAPI: the component handle.
//
// The host creates one handle per component, fills it, and calls the
// component's entry point with it on a thread of its own. Everything the
// component learns from the host (id, parameters, triggers, messages) and
// everything it gives back (messages, log lines) goes through the handle.
//
// Threads: the component's thread calls the component operations; the host's
// delivering thread calls queuePair(). The handle's lock (1000 ms limit)
// guards the inbound queue, the current trigger and the counters; the inbound
// semaphore is released once per queued pair. Lock order: the handle lock may
// be held while section mutexes are taken, never the reverse.
//
// Ownership: a message handed to postOutputMessage belongs to it from that
// moment, on every path, and is destroyed by it. A message returned by
// waitForNewMessage belongs to the handle: with the keep flag set the handle
// destroys it at the next wait; without it the host is responsible for it.
// The trigger name returned by a wait is valid until the next wait.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "runtime/data_message.h"
#include "runtime/trigger_spec.h"
#include "util/clock.h"
#include "util/mutex.h"
#include "util/printf_check.h"
#include "util/semaphore.h"

namespace vornix {
class ComponentMemory;
}

namespace vornix {

class LogSink;
class MemoryHub;

// The hooks of a host that runs every component as a cooperative task on
// one thread of its own (the offline drive): a wait that finds nothing hands
// control to the host instead of blocking, and the host times the waits on
// its own clock. A handle whose context names no observer blocks on its
// inbound signal with real time-outs. Called on the component's task, with
// no lock of the handle held.
class WaitObserver {
 public:
  virtual ~WaitObserver() = default;
  // The component found its inbound queue empty and is about to hand control
  // to the host until a pair is queued. `timeoutMs` is the time-out on the
  // host's clock after which the host queues it a pair that carries nothing
  // (0xFFFFFFFF: none; the host then ends the wait at input or stop only).
  virtual void waiting(std::uint32_t componentId, std::uint32_t timeoutMs) = 0;
  // The component's wait has a pair again.
  virtual void resumed(std::uint32_t componentId) = 0;
  // True for a cooperative host; the inbound signal is then neither raised
  // nor awaited.
  virtual bool cooperative() const noexcept { return true; }
  // Hands control to the host; returns when the host resumes the component,
  // which it does once a pair is queued for it.
  virtual void suspend(std::uint32_t componentId) = 0;
  // A point where a component that does not wait may loop (its running
  // flag, a wait that only tries): the host may suspend a task that has
  // kept the thread too long there, for good.
  virtual void checkpoint(std::uint32_t componentId) { static_cast<void>(componentId); }
};

// The host's context of one component, in this order: log sink, memory hub,
// process id. The two fields after them are the host's hooks for offline
// analysis (both may be null): the clock the component's library is to use,
// and the cooperative host's observer of its waits.
struct HostContext {
  LogSink* logSink = nullptr;
  MemoryHub* memoryHub = nullptr;
  std::uint16_t processId = 0;
  ClockSource* clock = nullptr;
  WaitObserver* waitObserver = nullptr;
};

// One inbound pair; the message is owned by the queue until taken. The
// trigger message is never changed after it is queued, so one trigger's
// message serves every pair the host queues for it.
struct InboundPair {
  std::shared_ptr<const DataMessage> trigger;
  std::unique_ptr<DataMessage> message;
};

class ZelAPI {
 public:
  static constexpr std::uint32_t kLockTimeoutMs = 1000;
  static constexpr std::size_t kDropThreshold = 100;

  // `context` is not owned and must outlive the handle. `inboundName` names
  // the inbound semaphore. The running flag starts set.
  ZelAPI(HostContext* context, std::uint32_t componentId, std::string_view inboundName);
  ~ZelAPI();
  ZelAPI(const ZelAPI&) = delete;
  ZelAPI& operator=(const ZelAPI&) = delete;

  // ---- host side ----
  // Appends a pair under the lock, then releases the inbound semaphore once.
  // False (and the pair destroyed) when the lock could not be had: the
  // message is lost to the component, which the host must account for.
  [[nodiscard]] bool queuePair(std::shared_ptr<const DataMessage> trigger,
                               std::unique_ptr<DataMessage> message);
  void setRunning(bool running);
  // Ends the component's current or next wait without a message, as a
  // time-out would (a host timing waits on its own clock; a stop). False
  // when the lock could not be had and nothing was queued.
  [[nodiscard]] bool wake();
  void setKeep(bool keep);
  HostContext* hostContext() const noexcept { return context_; }
  std::uint32_t receivedCount() const noexcept { return received_; }
  std::uint32_t deliveredCount() const noexcept { return delivered_; }
  std::uint32_t postCount() const noexcept { return posts_; }
  // Pairs still queued (under the lock; 0 when it cannot be had).
  std::size_t queuedPairs();

  // ---- component side ----
  // True while the running flag is set; true also when the lock could not be
  // had within 1000 ms.
  bool keepRunning();
  std::uint32_t componentId() const noexcept { return componentId_; }

  // The next message and, through `triggerName`, the name of its trigger (or
  // null when the pair had no trigger message); null after `timeoutMs` ms
  // without a message or when the lock could not be had.
  DataMessage* waitForNewMessage(std::uint32_t timeoutMs, const char** triggerName);
  // What a component's time-out is for. A component that only looks at its
  // running flag when a wait times out says `runningFlagOnly`: a host that
  // times waits on its own clock then lets the wait last until input or
  // stop (it wakes every component at stop) instead of waking it each time
  // the time-out passes on that clock, which would change nothing it does;
  // on the real clock such a wait lasts until input, stop or a second (a
  // live speech component waiting 5 ms woke 200 times a second for frames
  // that come 43 times). A wait of 0 ms only tries, for either purpose.
  enum class TimeoutUse { acts, runningFlagOnly };
  DataMessage* waitForNewMessage(std::uint32_t timeoutMs, const char** triggerName, TimeoutUse use);

  // Posts `message` (may be null) under `postName` (null or empty: every post
  // specification of the current trigger). Returns the number of deliveries,
  // 0 when none was attempted successfully and none failed, -1 when a
  // delivery failed or the lock could not be had, -2 when no post
  // specification matched, -3 for a post out of context.
  int postOutputMessage(const char* postName, DataMessage* message);

  // Sends "[<component name>] <text>" to the host's log sink as a LogEntry.
  bool reportError(std::uint8_t level, const char* format, ...) LOQUANT_PRINTF(3, 4);

  // Parameters of this component (see ComponentMemory): no conversion
  // between integer and real; missing reads as 0, 0.0, false, "".
  bool getParameter(const char* name, std::int64_t& value);
  bool getParameter(const char* name, double& value);
  std::int64_t getParameterInt(const char* name);
  double getParameterReal(const char* name);
  bool getParameterAsBool(const char* name);
  std::string getParameterString(const char* name);
  bool hasParameter(const char* name);
  std::string componentName();
  // The printable name of a message type.
  std::string typeName(const MessageType& type);

 private:
  // Adds the content triples of `spec` to `message`; returns the triple count
  // when they were added, 0 otherwise.
  static std::uint32_t addPostContent(const PostSpecView& spec, DataMessage& message);
  bool deliver(DataMessage& message);
  // True when the host runs this component as a cooperative task.
  bool cooperative() const noexcept;
  // The wait of a cooperative host: suspends the task until the host queues
  // a pair (a time-out or stop included). Called with `hold` released. True
  // with `hold` holding the lock again and a pair queued; false (not held)
  // for a wait that only tries, or when the lock could not be had.
  bool waitCooperatively(MutexHold& hold, std::uint32_t timeoutMs, TimeoutUse use);
  void recordStats(std::uint64_t cpuMark, const DataMessage* received, const DataMessage* posted,
                   std::uint32_t wakeups);
  // The component's CPU time in microseconds, for its statistics and the
  // chain times of what it posts. Threaded, the thread's CPU clock. As a
  // cooperative task, the monotonic time the task has run: the host's thread
  // runs nothing else while a task runs, so this is its CPU time plus any
  // time the system took the core away, and it costs no system call (two
  // per step of every component were a tenth of an offline analysis).
  std::uint64_t cpuMark() noexcept;
  ComponentMemory* components() const noexcept;

  // Fields in the order of the handle's layout.
  HostContext* context_;
  Mutex lock_;
  std::uint8_t running_ = 1;
  std::uint32_t componentId_;
  std::uint32_t received_ = 0;
  std::uint32_t delivered_ = 0;
  std::uint32_t posts_ = 0;
  std::uint64_t lastCpuMark_ = 0;
  Micros lastWaitReturn_ = 0;
  std::uint32_t chainCpu_ = 0, chainWall_ = 0, chainLength_ = 0;
  std::deque<InboundPair> inbound_;
  Semaphore inboundSignal_;
  std::uint8_t keep_ = 0;
  std::shared_ptr<const DataMessage> currentTrigger_;
  std::unique_ptr<DataMessage> kept_;
  std::optional<TriggerSpecView> triggerSpec_;
  bool triggerSpecDamaged_ = false;  // a "TriggerSpec" entry that failed validation
  char triggerName_[256] = {};
  // The task clock of cpuMark under a cooperative host: the time run before
  // the last resume, and when that was (0: not yet marked).
  std::uint64_t taskRunMicros_ = 0;
  std::uint64_t taskResumedAt_ = 0;
};

}  // namespace vornix
