#include "host/system.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>

#include "host/component_section.h"
#include "host/instance.h"
#include "host/library.h"
#include "host/log_printer.h"
#include "host/offline_drive.h"
#include "host/process_section.h"
#include "host/realtime_runner.h"
#include "host/simulated_clock.h"
#include "host/wiring.h"
#include "runtime/memory_hub.h"
#include "runtime/zel_api.h"
#include "util/format.h"

namespace vornix::host {

struct Component {
  const ComponentConfig* config = nullptr;
  const ComponentWiring* wired = nullptr;
  bool sink() const noexcept { return wired->builtIn == BuiltIn::sink; }
  std::uint32_t id() const noexcept { return wired->id; }
  const std::string& name() const noexcept { return config->name; }

  HostContext context;
  std::unique_ptr<ZelAPI> api;  // library components that have their entry point
  EntryPoint entry;
  // Messages routed to it that its handle could not queue, and how many of
  // them the last report line covered (under State::undeliveredMutex).
  std::atomic<std::uint64_t> undelivered{0};
  std::uint64_t undeliveredReported = 0;
};

struct System::State {
  SystemConfig config;
  SystemOptions options;
  TypeRegistry types;
  std::optional<Wiring> wiring;
  std::unique_ptr<Instance> instance;
  std::unique_ptr<LogPrinter> logPrinter;
  SimulatedClock clock{0};
  std::unique_ptr<OfflineDrive> drive;  // simulated clock: the cooperative drive
  std::unique_ptr<ComponentLibrary> library;
  std::vector<std::unique_ptr<Component>> components;
  std::vector<std::string> missing;

  std::unique_ptr<RealTimeRunner> runner;  // real time: the threads
  std::atomic<std::uint64_t> routed{0};
  std::function<void(SinkRecord&&)> sinkHandler;
  bool started = false;
  bool clockInstalled = false;
  bool failed = false;
  // Reports of undelivered messages: at most one round of lines a second.
  std::mutex undeliveredMutex;
  std::chrono::steady_clock::time_point undeliveredSaid{};

  ~State();
  bool build(std::string& error);
  // Delivers `message` to every component whose trigger matches it (and to
  // the sinks). `owned`, when given, is `message` itself, which its last
  // taker then gets instead of a copy.
  void route(const DataMessage& message, std::unique_ptr<DataMessage> owned = nullptr);
  void deliverToSink(const Component& sink, const DataMessage& message);
  // A message routed to `c` that its handle could not queue: counted in its
  // statistics and reported.
  void undelivered(Component& c);
  // Says on stderr, per component, how many messages could not be queued
  // since the last line; unless `now`, at most once a second.
  void reportUndelivered(bool now);
  // Routes everything in the system queue in queue order; true when there
  // was anything.
  bool drainSystemQueue();
  // Routes everything in the system queue, ordered by sender (see settle());
  // true when there was anything.
  bool routeRound();
  std::string nameOf(std::uint32_t id) const;

  void startThreads();
  void startDrive();
  void stopDrive();
  // Prints the drive's problems, once each; true when there were none so far.
  bool reportProblems();
};

System::State::~State() {
  // The threads and tasks go first (an unfinished task is unwound on this
  // thread's clock), then the handles, then the sections they use.
  runner.reset();
  drive.reset();
  components.clear();
  instance.reset();
  if (clockInstalled) setThreadClockSource(nullptr);
}

std::string System::State::nameOf(std::uint32_t id) const {
  return id >= 1 && id <= components.size() ? components[id - 1]->name() : std::string();
}

bool System::State::build(std::string& error) {
  wiring = Wiring::build(config, types, error);
  if (!wiring) return false;
  instance = Instance::create(config.instance, config, types, error);
  if (!instance) return false;
  logPrinter = std::make_unique<LogPrinter>(options.logOutput);
  if (options.simulatedClock) {
    drive = std::make_unique<OfflineDrive>(clock, options.taskLimit);
    clock.set(options.clockStart);
    // The drive runs the whole system on this thread.
    setThreadClockSource(&clock);
    clockInstalled = true;
  }

  bool needLibrary = false;
  for (std::size_t i = 0; i < config.components.size(); ++i) {
    auto c = std::make_unique<Component>();
    c->config = &config.components[i];
    c->wired = &wiring->components()[i];
    needLibrary = needLibrary || c->wired->builtIn == BuiltIn::none;
    components.push_back(std::move(c));
  }
  if (needLibrary) {
    const std::string path =
        options.libraryPath.empty() ? ComponentLibrary::defaultPath() : options.libraryPath;
    std::string why;
    library = ComponentLibrary::open(path, why);
    if (!library) {
      error = "cannot load the component library '" + path + "': " + why;
      return false;
    }
  }

  for (auto& c : components) {
    c->context.logSink = logPrinter.get();
    c->context.memoryHub = &instance->hub();
    c->context.processId = c->config->process;
    c->context.clock = options.simulatedClock ? &clock : nullptr;
    c->context.waitObserver = drive.get();
    if (c->wired->builtIn != BuiltIn::none) continue;
    c->entry = library->find(c->config->entry);
    if (!c->entry) {
      missing.push_back(c->name());
      std::fprintf(stderr, "loquant: component '%s': the library has no entry point '%s'\n",
                   c->name().c_str(), c->config->entry.c_str());
      continue;
    }
    c->api = std::make_unique<ZelAPI>(&c->context, c->id(), instance->inboundName(c->id()));
    // The host owns what it routes: the handle releases each message at the
    // next wait.
    c->api->setKeep(true);
  }
  return true;
}

void System::State::route(const DataMessage& message, std::unique_ptr<DataMessage> owned) {
  const MessageType type = message.getType();
  // Who takes it, in configuration order: a sink, or a component with the
  // trigger that matched first.
  struct Taker {
    Component* component;
    const Trigger* trigger;  // null: a sink without triggers
  };
  std::array<Taker, 8> few{};
  std::vector<Taker> many;
  std::size_t count = 0;
  const auto add = [&](Taker taker) {
    if (count < few.size()) {
      few[count] = taker;
    } else {
      if (many.empty()) many.assign(few.begin(), few.end());
      many.push_back(taker);
    }
    ++count;
  };
  for (auto& c : components) {
    if (message.toId() != 0 && message.toId() != c->id()) continue;
    const std::vector<Trigger>& triggers = c->wired->triggers;
    if (c->sink() && triggers.empty()) {
      // A sink without triggers takes every message.
      add(Taker{c.get(), nullptr});
      continue;
    }
    for (const Trigger& t : triggers) {
      if (!typeMatches(type, t.pattern)) continue;
      if (c->sink() || c->api) add(Taker{c.get(), &t});
      break;
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    const Taker& taker = count <= few.size() ? few[i] : many[i];
    Component& c = *taker.component;
    if (c.sink()) {
      deliverToSink(c, message);
      continue;
    }
    // The last taker gets the message itself when the caller gave it away:
    // nothing reads `message` after that.
    std::unique_ptr<DataMessage> copy =
        i + 1 == count && owned ? std::move(owned) : std::make_unique<DataMessage>(message);
    if (!c.api->queuePair(taker.trigger->message, std::move(copy))) {
      undelivered(c);
    } else if (drive) {
      drive->queued(c.id());
    }
  }
  routed.fetch_add(1, std::memory_order_relaxed);
}

void System::State::undelivered(Component& c) {
  c.undelivered.fetch_add(1, std::memory_order_relaxed);
  // The section's count is for readers such as `loquant inspect`; the line
  // below is said even when the section cannot be had.
  static_cast<void>(instance->componentSection().addUndelivered(c.id(), 1));
  reportUndelivered(false);
}

void System::State::reportUndelivered(bool now) {
  std::lock_guard<std::mutex> lock(undeliveredMutex);
  const auto time = std::chrono::steady_clock::now();
  if (!now && time - undeliveredSaid < std::chrono::seconds(1)) return;
  for (auto& c : components) {
    const std::uint64_t total = c->undelivered.load(std::memory_order_relaxed);
    if (total == c->undeliveredReported) continue;
    std::fprintf(stderr,
                 "loquant: %llu message%s for component '%s' could not be queued (%llu in all)\n",
                 static_cast<unsigned long long>(total - c->undeliveredReported),
                 total - c->undeliveredReported == 1 ? "" : "s", c->name().c_str(),
                 static_cast<unsigned long long>(total));
    c->undeliveredReported = total;
    undeliveredSaid = time;
  }
}

void System::State::deliverToSink(const Component& sink, const DataMessage& message) {
  if (!sinkHandler) return;
  SinkRecord record{sink.name(),
                    nameOf(message.fromId()),
                    wiring->postName(message.fromId(), message.postTag()),
                    instance->hub().typeName(message.getType()),
                    DataMessage(message),
                    wiring->sourceOf(message.fromId())};
  sinkHandler(std::move(record));
}

bool System::State::routeRound() {
  std::optional<std::vector<std::vector<std::uint8_t>>> records = instance->systemQueue().drain();
  if (!records || records->empty()) return false;
  std::vector<DataMessage> messages;
  messages.reserve(records->size());
  for (const std::vector<std::uint8_t>& bytes : *records) messages.emplace_back(bytes);
  // Components are numbered in configuration order, and one sender's posts
  // keep the order it posted them in.
  std::stable_sort(
      messages.begin(), messages.end(),
      [](const DataMessage& a, const DataMessage& b) { return a.fromId() < b.fromId(); });
  for (const DataMessage& message : messages) route(message);
  return true;
}

bool System::State::drainSystemQueue() {
  std::optional<std::vector<std::vector<std::uint8_t>>> records = instance->systemQueue().drain();
  if (!records || records->empty()) return false;
  for (const std::vector<std::uint8_t>& bytes : *records) route(DataMessage(bytes));
  return true;
}

// ---- real time: a thread per component and a router ----

void System::State::startThreads() {
  runner = std::make_unique<RealTimeRunner>(
      instance->systemQueue(), [this] { return drainSystemQueue(); },
      [this] { return routed.load(); }, options.stopLimit);
  std::vector<RealTimeRunner::Task> tasks;
  for (auto& c : components) {
    if (c->api) tasks.push_back(RealTimeRunner::Task{c->name(), c->entry, c->api.get()});
  }
  runner->start(std::move(tasks));
}

// ---- simulated clock: the cooperative drive ----

void System::State::startDrive() {
  // Every component becomes a task of the drive; each runs up to its first
  // wait at the first settle.
  for (auto& c : components) {
    if (!c->api) continue;
    Component* raw = c.get();
    std::string error;
    if (!drive->add(
            c->id(), c->name(),
            [raw] { return static_cast<std::int64_t>(raw->entry(raw->api.get())); }, error)) {
      std::fprintf(stderr, "loquant: component '%s': %s\n", c->name().c_str(), error.c_str());
      missing.push_back(c->name());
      c->api.reset();
    }
  }
}

void System::State::stopDrive() {
  drive->stopping();
  // A component takes the wake-up, sees the cleared flag and returns; a few
  // rounds allow for one that posts on its way out.
  for (int round = 0; round < 8 && !drive->allEnded(); ++round) {
    drive->runRound();
    routeRound();
    for (auto& c : components) {
      if (c->api && c->api->wake()) drive->queued(c->id());
    }
  }
  for (const std::string& name : drive->unfinished()) {
    std::fprintf(stderr, "loquant: component '%s' did not stop\n", name.c_str());
  }
  reportProblems();
  // Whatever was posted last still reaches the sinks.
  while (drainSystemQueue()) {
  }
}

bool System::State::reportProblems() {
  if (drive) {
    for (const std::string& line : drive->takeProblems()) {
      std::fprintf(stderr, "loquant: %s\n", line.c_str());
      failed = true;
    }
  }
  return !failed;
}

// ---- System ----

System::System(Key, std::unique_ptr<State> state) : state_(std::move(state)) {}

std::unique_ptr<System> System::create(const SystemConfig& config, const SystemOptions& options,
                                       std::string& error) {
  auto state = std::make_unique<State>();
  state->config = config;
  state->options = options;
  if (!state->build(error)) return nullptr;
  return std::make_unique<System>(Key{}, std::move(state));
}

System::~System() {
  stop();
}

bool System::start() {
  State& s = *state_;
  if (s.started) return true;
  s.started = true;
  if (s.drive) {
    s.startDrive();
  } else {
    s.startThreads();
  }
  return true;
}

void System::stop() {
  State& s = *state_;
  if (!s.started) return;
  s.started = false;
  for (auto& c : s.components) {
    if (c->api) c->api->setRunning(false);
  }
  // A component blocked in a long wait sees the cleared flag at once.
  for (auto& c : s.components) {
    if (!c->api) continue;
    if (!c->api->wake()) {
      std::fprintf(stderr, "loquant: component '%s' could not be woken to stop\n",
                   c->name().c_str());
    } else if (s.drive) {
      s.drive->queued(c->id());
    }
  }
  if (s.drive) {
    s.stopDrive();
  } else {
    s.runner->stop();
  }
  s.reportUndelivered(true);
}

void System::onSink(std::function<void(SinkRecord&&)> handler) {
  state_->sinkHandler = std::move(handler);
}

void System::inject(std::unique_ptr<DataMessage> message) {
  if (!message) return;
  const DataMessage& ref = *message;
  state_->route(ref, std::move(message));
}

Micros System::now() const {
  return state_->clock.now();
}

void System::advanceTo(Micros t) {
  State& s = *state_;
  s.clock.set(t);
  if (!s.drive) return;
  // Waits whose time-out has now passed end with a pair that carries
  // nothing: the component sees a time-out, and sees it before anything
  // queued for it after this call.
  for (const std::uint32_t id : s.drive->dueAt(t)) {
    Component& c = *s.components[id - 1];
    if (!c.api) continue;
    // A time-out the handle cannot take is lost like a message: counted.
    if (c.api->wake()) {
      s.drive->queued(id);
    } else {
      s.undelivered(c);
    }
  }
}

bool System::settle() {
  State& s = *state_;
  if (!s.started) return s.reportProblems();
  if (!s.drive) return s.runner->settle();
  // Rounds: every component with something queued runs until it waits
  // again; then what they posted is routed in sender order, which queues
  // the next round's work.
  do {
    s.drive->runRound();
  } while (s.routeRound());
  return s.reportProblems();
}

MessageType System::type(const std::string& dotted) const {
  return state_->types.intern(dotted).value_or(MessageType{});
}

std::string System::typeName(const MessageType& type) const {
  return state_->instance->hub().typeName(type);
}

std::uint16_t System::instanceId() const {
  return state_->instance->number();
}

std::uint32_t System::componentId(const std::string& name) const {
  return state_->wiring->idOf(name);
}

int System::sourceOf(std::uint32_t componentId) const {
  return state_->wiring->sourceOf(componentId);
}

const std::vector<std::string>& System::missing() const {
  return state_->missing;
}

std::uint64_t System::routedMessages() const {
  return state_->routed.load();
}

std::uint64_t System::lostMessages() const {
  return state_->instance->hub().lostMessages();
}

bool System::addSourceLoss(std::uint32_t componentId, std::uint64_t count) {
  return state_->instance->componentSection().addUndelivered(componentId, count);
}

std::string System::foreignObject() const {
  return state_->instance->foreignObject();
}

std::uint64_t System::errorLines() const {
  return state_->logPrinter->errorLines();
}

}  // namespace vornix::host
