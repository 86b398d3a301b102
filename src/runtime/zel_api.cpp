#include "runtime/zel_api.h"

#include <chrono>
#include <cstdarg>
#include <cstdlib>

#include "runtime/component_memory.h"
#include "runtime/log_entry.h"
#include "runtime/memory_hub.h"
#include "util/format.h"
#include "util/text.h"

namespace vornix {

namespace {

constexpr const char* kWaitLabel = "vornix::ZelAPI::waitForNewMessage";
constexpr std::int32_t kInboundMaximum = 0x7FFFFFFF;
constexpr std::uint32_t kWaitWithoutLimit = 0xFFFFFFFF;
// On the real clock, the longest a wait that only looks at the running flag
// lasts without input. The stop wakes every component; this bounds the stop
// of one whose wake-up could not be queued.
constexpr std::uint32_t kRunningFlagOnlyLimitMs = 1000;
constexpr std::uint8_t kStatusRunning = 3;
constexpr std::uint8_t kCategoryComponent = 8;

// Parameter names from components may be null; a null name is the empty one.
std::string_view nameOf(const char* name) {
  return name != nullptr ? name : "";
}

std::uint64_t monotonicMicros() noexcept {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

}  // namespace

ZelAPI::ZelAPI(HostContext* context, std::uint32_t componentId, std::string_view inboundName)
    : context_(context), componentId_(componentId), inboundSignal_(inboundName, kInboundMaximum) {}

ZelAPI::~ZelAPI() = default;

ComponentMemory* ZelAPI::components() const noexcept {
  return context_ != nullptr && context_->memoryHub != nullptr ? context_->memoryHub->component()
                                                               : nullptr;
}

// ---- host side ----

bool ZelAPI::queuePair(std::shared_ptr<const DataMessage> trigger,
                       std::unique_ptr<DataMessage> message) {
  {
    MutexHold hold(lock_, kLockTimeoutMs, "vornix::ZelAPI::queuePair");
    if (!hold) return false;
    inbound_.push_back(InboundPair{std::move(trigger), std::move(message)});
  }
  // A cooperative host resumes the component itself once it has queued.
  if (!cooperative()) inboundSignal_.signal();
  return true;
}

bool ZelAPI::wake() {
  // A pair that carries nothing: every signal has its pair, and the wait
  // that takes this one returns without a message.
  return queuePair(nullptr, nullptr);
}

void ZelAPI::setRunning(bool running) {
  MutexHold hold(lock_, kLockTimeoutMs, "vornix::ZelAPI::setRunning");
  running_ = running ? 1 : 0;
}

void ZelAPI::setKeep(bool keep) {
  MutexHold hold(lock_, kLockTimeoutMs, "vornix::ZelAPI::setKeep");
  keep_ = keep ? 1 : 0;
}

std::size_t ZelAPI::queuedPairs() {
  MutexHold hold(lock_, kLockTimeoutMs, "vornix::ZelAPI::queuedPairs");
  return hold ? inbound_.size() : 0;
}

// ---- component side ----

bool ZelAPI::keepRunning() {
  if (cooperative()) context_->waitObserver->checkpoint(componentId_);
  MutexHold hold(lock_, kLockTimeoutMs, nullptr);
  if (!hold) return true;
  return running_ != 0;
}

std::uint64_t ZelAPI::cpuMark() noexcept {
  if (!cooperative()) {
    std::uint64_t mark = 0;
    threadCpuTime(mark);
    return mark;
  }
  const std::uint64_t now = monotonicMicros();
  if (taskResumedAt_ == 0) taskResumedAt_ = now;
  return taskRunMicros_ + (now - taskResumedAt_);
}

void ZelAPI::recordStats(std::uint64_t mark, const DataMessage* received, const DataMessage* posted,
                         std::uint32_t wakeups) {
  if (ComponentMemory* memory = components()) {
    memory->addComponentStats(componentId_, kStatusRunning, mark - lastCpuMark_, received, posted,
                              0, wakeups);
  }
  lastCpuMark_ = mark;
}

DataMessage* ZelAPI::waitForNewMessage(std::uint32_t timeoutMs, const char** triggerName) {
  return waitForNewMessage(timeoutMs, triggerName, TimeoutUse::acts);
}

DataMessage* ZelAPI::waitForNewMessage(std::uint32_t timeoutMs, const char** triggerName,
                                       TimeoutUse use) {
  // Every level of the lock is held by `hold`, so a throw anywhere below
  // (a trigger specification that cannot be copied) leaves it unlocked.
  MutexHold hold(lock_, kLockTimeoutMs, kWaitLabel);
  if (!hold) return nullptr;
  if (inbound_.empty() && cooperative()) {
    hold.release();
    if (!waitCooperatively(hold, timeoutMs, use)) {
      recordStats(cpuMark(), nullptr, nullptr, 1);
      lastWaitReturn_ = currentTime();
      chainCpu_ = chainWall_ = chainLength_ = 0;
      return nullptr;
    }
    // The lock is held again and a pair is queued.
  } else if (inbound_.empty()) {
    hold.release();
    // A signal finds its pair in the queue, except the signal of a pair that
    // an earlier call took without waiting: then the wait goes on for the
    // time left, so such a signal never passes for a time-out.
    std::uint32_t limitMs = use == TimeoutUse::runningFlagOnly && timeoutMs != 0
                                ? std::max(timeoutMs, kRunningFlagOnlyLimitMs)
                                : timeoutMs;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    bool haveMessage = false;
    while (inboundSignal_.wait(limitMs)) {
      if (!hold.enter(kLockTimeoutMs, kWaitLabel)) return nullptr;
      haveMessage = !inbound_.empty();
      if (haveMessage) break;  // the lock stays held
      hold.release();
      if (limitMs != kWaitWithoutLimit) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        limitMs = static_cast<std::uint32_t>(left.count());
      }
    }
    if (!haveMessage) {
      recordStats(cpuMark(), nullptr, nullptr, 1);
      lastWaitReturn_ = currentTime();
      chainCpu_ = chainWall_ = chainLength_ = 0;
      return nullptr;
    }
  }

  kept_.reset();
  InboundPair pair = std::move(inbound_.front());
  inbound_.pop_front();
  // Long queues shed droppable messages; a pair without a message is never
  // dropped.
  while (inbound_.size() > kDropThreshold && pair.message != nullptr &&
         (pair.message->dropFlags() & 1U) != 0) {
    pair = std::move(inbound_.front());
    inbound_.pop_front();
  }

  const bool hadTrigger = pair.trigger != nullptr;
  if (hadTrigger && pair.trigger == currentTrigger_) {
    // The same trigger message again: what was read from it stands.
    if (triggerName != nullptr) *triggerName = triggerName_;
  } else if (hadTrigger) {
    currentTrigger_ = std::move(pair.trigger);
    triggerSpec_.reset();
    triggerSpecDamaged_ = false;
    triggerName_[0] = '\0';
    std::uint32_t length = 0;
    bool found = false;
    const std::uint8_t* data = currentTrigger_->getData("TriggerSpec", length, &found);
    if (found) {
      triggerSpec_ = TriggerSpecView::parse(std::span<const std::uint8_t>(data, length));
      if (triggerSpec_) {
        const std::string name(triggerSpec_->triggerName());
        copyText(triggerName_, name.c_str(), sizeof triggerName_, true);
      } else {
        triggerSpecDamaged_ = true;
      }
    }
    if (triggerName != nullptr) *triggerName = triggerName_;
  } else if (triggerName != nullptr) {
    *triggerName = nullptr;
  }

  DataMessage* message = pair.message.get();
  if (hadTrigger && message != nullptr) {
    chainCpu_ = message->chainCpuTime();
    chainWall_ = message->chainWallTime();
    chainLength_ = message->chainLength();
  } else {
    chainCpu_ = chainWall_ = chainLength_ = 0;
  }
  if (keep_ != 0) {
    kept_ = std::move(pair.message);
  } else {
    // Without the keep flag the returned message is the host's to release.
    static_cast<void>(pair.message.release());
  }
  if (message != nullptr) ++received_;
  hold.release();

  recordStats(cpuMark(), message, nullptr, 1);
  lastWaitReturn_ = currentTime();
  return message;
}

bool ZelAPI::cooperative() const noexcept {
  return context_ != nullptr && context_->waitObserver != nullptr &&
         context_->waitObserver->cooperative();
}

bool ZelAPI::waitCooperatively(MutexHold& hold, std::uint32_t timeoutMs, TimeoutUse use) {
  // A wait that only tries finds nothing: nothing can arrive while this
  // task runs, since the host delivers only while every task is suspended.
  WaitObserver& observer = *context_->waitObserver;
  if (timeoutMs == 0) {
    observer.checkpoint(componentId_);
    return false;
  }
  observer.waiting(componentId_,
                   use == TimeoutUse::runningFlagOnly ? kWaitWithoutLimit : timeoutMs);
  while (true) {
    if (taskResumedAt_ != 0) taskRunMicros_ += monotonicMicros() - taskResumedAt_;
    observer.suspend(componentId_);
    taskResumedAt_ = monotonicMicros();
    if (!hold.enter(kLockTimeoutMs, kWaitLabel)) {
      observer.resumed(componentId_);
      return false;
    }
    // The host resumes a component only with a pair queued (a time-out and
    // a stop queue one that carries nothing); anything else waits on.
    if (!inbound_.empty()) break;
    hold.release();
  }
  observer.resumed(componentId_);
  return true;
}

std::uint32_t ZelAPI::addPostContent(const PostSpecView& spec, DataMessage& message) {
  const std::uint32_t triples = spec.tripleCount();
  if (triples == 0) return 0;
  const std::vector<std::string> pieces = split(spec.content(), "||", false, true);
  if (pieces.size() != std::uint64_t{triples} * 3U) return 0;
  for (std::size_t i = 0; i + 2 < pieces.size(); i += 3) {
    const std::string& type = pieces[i];
    const char* name = pieces[i + 1].c_str();
    const char* value = pieces[i + 2].c_str();
    if (type == "S") {
      message.setString(name, value);
    } else if (type == "I") {
      message.setInt(name, parseInteger(value, 0, 0));
    } else if (type == "F") {
      message.setDouble(name, parseReal(value, 0, 0));
    }
  }
  return triples;
}

bool ZelAPI::deliver(DataMessage& message) {
  if (context_ == nullptr || context_->memoryHub == nullptr) return false;
  return context_->memoryHub->deliver(message, context_->processId);
}

int ZelAPI::postOutputMessage(const char* postName, DataMessage* raw) {
  std::unique_ptr<DataMessage> message(raw);
  const std::uint64_t now = cpuMark();
  MutexHold hold(lock_, kLockTimeoutMs, nullptr);
  if (!hold) return -1;

  const auto stepWall = [this]() -> std::uint32_t {
    if (lastWaitReturn_ == 0) return 0;
    return static_cast<std::uint32_t>(currentTime() - lastWaitReturn_);
  };
  const auto stampChain = [&](DataMessage& m) {
    m.setChainInfo(static_cast<std::uint32_t>(now - lastCpuMark_), stepWall(), chainCpu_,
                   chainWall_, chainLength_ + 1U);
  };
  if (message != nullptr) stampChain(*message);

  int deliveries = 0;
  bool failed = false;
  if (!triggerSpec_ && !triggerSpecDamaged_) {
    // Direct post: no trigger has routed anything to this component yet.
    if (message == nullptr || (message->toId() == 0 && message->getType().empty())) {
      hold.release();
      reportError(1, "Posting none - out of context");
      return -3;
    }
    if (deliver(*message)) {
      deliveries = 1;
    } else {
      failed = true;
      reportError(0, "Failed to post direct message to component %u", message->toId());
    }
  } else {
    const std::string name = postName != nullptr ? postName : "";
    std::vector<const PostSpecView*> specs;
    if (triggerSpec_) {
      specs = triggerSpec_->byName(name);
      if (specs.empty() && message != nullptr) specs = triggerSpec_->byType(message->getType());
    }
    if (specs.empty()) {
      hold.release();
      if (triggerSpecDamaged_) {
        reportError(2, "Posting nothing - damaged trigger specification for post name '%s'",
                    name.c_str());
      } else {
        reportError(2, "Posting nothing - no post specs match for post name '%s'", name.c_str());
      }
      return -2;
    }
    if (message == nullptr) {
      message = std::make_unique<DataMessage>();
      stampChain(*message);
    }
    const std::uint64_t postedTtl = message->ttl();
    for (const PostSpecView* spec : specs) {
      const MessageContext context = spec->context();
      if (!context.empty()) {
        message->setType(controlType());
        message->setContext(context);
      } else {
        message->setType(spec->type());
      }
      addPostContent(*spec, *message);
      message->setFromId(componentId_);
      message->setToId(spec->targetId());
      message->setPostTag(spec->postTag());
      message->setTtl(postedTtl != 0 ? postedTtl : spec->defaultTtl());
      message->setDropFlags(spec->dropFlags());
      message->setSentTime(currentTime());
      if (deliver(*message)) {
        ++deliveries;
      } else {
        failed = true;
        reportError(0, "Failed to deliver posted msg to %u", spec->targetId());
      }
    }
  }

  ++posts_;
  delivered_ += static_cast<std::uint32_t>(deliveries);
  if (deliveries == 0) reportError(0, "No msgs were delivered at postOutputMessage");
  recordStats(now, nullptr, message.get(), 0);
  hold.release();
  message.reset();
  if (deliveries > 0) return deliveries;
  return failed ? -1 : 0;
}

bool ZelAPI::reportError(std::uint8_t level, const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  const std::string text = formatStringV(format, arguments);
  va_end(arguments);
  if (text.empty() || context_ == nullptr || context_->logSink == nullptr) return false;
  ComponentMemory* memory = components();
  if (memory == nullptr) return false;
  char name[256] = {};
  if (!memory->getComponentName(componentId_, std::span<char>(name, sizeof name))) return false;
  const std::string line = formatString("[%s] %s", name, text.c_str());
  return context_->logSink->take(
      LogEntry(currentTime(), componentId_, kCategoryComponent, level, line));
}

bool ZelAPI::getParameter(const char* name, std::int64_t& value) {
  ComponentMemory* memory = components();
  return memory != nullptr && memory->getParameter(componentId_, nameOf(name), value);
}

bool ZelAPI::getParameter(const char* name, double& value) {
  ComponentMemory* memory = components();
  return memory != nullptr && memory->getParameter(componentId_, nameOf(name), value);
}

std::int64_t ZelAPI::getParameterInt(const char* name) {
  std::int64_t value = 0;
  return getParameter(name, value) ? value : 0;
}

double ZelAPI::getParameterReal(const char* name) {
  double value = 0.0;
  return getParameter(name, value) ? value : 0.0;
}

bool ZelAPI::getParameterAsBool(const char* name) {
  ComponentMemory* memory = components();
  return memory != nullptr && memory->getParameterAsBool(componentId_, nameOf(name));
}

std::string ZelAPI::getParameterString(const char* name) {
  ComponentMemory* memory = components();
  return memory != nullptr ? memory->getParameterString(componentId_, nameOf(name)) : std::string();
}

bool ZelAPI::hasParameter(const char* name) {
  ComponentMemory* memory = components();
  return memory != nullptr && memory->hasParameter(componentId_, nameOf(name));
}

std::string ZelAPI::componentName() {
  ComponentMemory* memory = components();
  return memory != nullptr ? memory->getComponentNameString(componentId_) : std::string();
}

std::string ZelAPI::typeName(const MessageType& type) {
  if (context_ == nullptr || context_->memoryHub == nullptr) return vornix::typeName(type, {});
  return context_->memoryHub->typeName(type);
}

}  // namespace vornix
