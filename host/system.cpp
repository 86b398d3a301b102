#include "host/system.h"

#include <unistd.h>
#include <algorithm>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "host/component_section.h"
#include "host/data_maps_section.h"
#include "host/library.h"
#include "host/log_printer.h"
#include "host/master_section.h"
#include "host/offline_drive.h"
#include "host/process_section.h"
#include "host/simulated_clock.h"
#include "host/temporal_section.h"
#include "host/trigger_spec_writer.h"
#include "host/type_registry.h"
#include "runtime/component_memory.h"
#include "runtime/data_maps_memory.h"
#include "runtime/memory_hub.h"
#include "runtime/process_memory.h"
#include "runtime/temporal_memory.h"
#include "runtime/zel_api.h"
#include "util/format.h"
#include "util/mutex.h"
#include "util/semaphore.h"
#include "util/shared_memory.h"

namespace vornix::host {

namespace {

constexpr std::uint64_t kProcessRecordsEnd = 40 + 64ULL * 83800 + 256 * 8;
constexpr std::uint16_t kSystemProcess = 0;

std::uint16_t defaultInstance() {
  // Distinct per running host process, so that two programs never share an
  // instance unless a configuration says so.
  return static_cast<std::uint16_t>(1000U + static_cast<std::uint32_t>(getpid()) % 60000U);
}

std::uint32_t queueIdOf(std::uint16_t process) {
  return std::uint32_t{process} + 1U;
}

// Removes every named object of one instance: what a crashed run left
// behind (at start) and whatever is still named at the end of a run.
void clearInstance(std::uint16_t instance) {
  for (const char* kind : {"Master", "Component", "Process", "Temporal", "DataMaps"}) {
    removeNamedMutex(formatString("Zelkora%sMemoryMutex_%u", kind, instance));
    removeNamedObjectsWithPrefix(formatString("Local\\Shmem_Zelkora%sMemory_%u_", kind, instance));
  }
  removeSharedMemory(formatString("ZelkoraMasterMemory_%u", instance));
  removeSharedMemory(formatString("ZelkoraTemporalOwner_%u", instance));
  removeNamedObjectsWithPrefix(formatString("Local\\Semaphore_ZelkoraQueue_%u_", instance));
  removeNamedObjectsWithPrefix(formatString("Local\\Semaphore_ZelkoraInbound_%u_", instance));
}

}  // namespace

struct Trigger {
  std::string name;
  MessageType pattern;
  std::unique_ptr<DataMessage> message;  // carries the "TriggerSpec" entry
};

struct Component {
  ComponentConfig config;
  std::uint32_t id = 0;
  bool sink = false;
  bool builtIn = false;  // "sink" or "source": run by the host, not the library
  std::vector<Trigger> triggers;
  HostContext context;
  std::unique_ptr<ZelAPI> api;
  EntryPoint entry;
  std::thread thread;  // real time: the component's own thread
  std::mutex doneMutex;
  std::condition_variable doneChanged;
  bool done = false;
};

struct System::State {
  SystemConfig config;
  SystemOptions options;
  std::uint16_t instance = 0;
  TypeRegistry types;

  std::unique_ptr<MasterSection> master;
  std::unique_ptr<DataMapsSection> dataMapsSection;
  std::unique_ptr<ComponentSection> componentSection;
  std::unique_ptr<ProcessSection> processSection;
  std::unique_ptr<TemporalSection> temporalSection;

  std::unique_ptr<ComponentMemory> componentMemory;
  std::unique_ptr<ProcessMemory> processMemory;
  std::unique_ptr<TemporalMemory> temporalMemory;
  std::unique_ptr<DataMapsMemory> dataMapsMemory;
  std::unique_ptr<MemoryHub> hub;

  std::unique_ptr<LogPrinter> logPrinter;
  SimulatedClock clock{0};
  std::unique_ptr<OfflineDrive> drive;  // simulated clock: the cooperative drive
  std::unique_ptr<ComponentLibrary> library;
  std::vector<std::unique_ptr<Component>> components;
  std::vector<std::string> missing;
  std::map<std::pair<std::uint32_t, std::uint32_t>, std::string> postNames;  // (from, tag)

  std::unique_ptr<QueueReader> systemQueue;
  std::thread router;
  std::atomic<bool> routing{false};
  std::atomic<std::uint64_t> routed{0};
  std::function<void(SinkRecord&&)> sinkHandler;
  bool started = false;
  bool clockInstalled = false;
  bool named = false;  // the instance number is set and its objects are ours

  ~State();
  bool build(std::string& error);
  void route(const DataMessage& message);
  void deliverToSink(const Component& sink, const DataMessage& message);
  bool drainSystemQueue();
  // Routes everything in the system queue, ordered by sender (see settle()).
  // True when there was anything.
  bool routeRound();
  std::string nameOf(std::uint32_t id) const;
  // Drive only: lets every task end after the stop and routes what they
  // posted on the way; reports the tasks that do not end.
  void stopDrive();
  // Real time: waits until every component has taken its queued pairs and
  // the router has been idle for a few looks; false after 10 s.
  bool settleRealTime();
  // Prints the drive's problems, once each; true when there were none so far.
  bool reportProblems();
  bool failed = false;
};

bool System::State::settleRealTime() {
  // Nobody can tell when a thread has finished with what it took, but once
  // every component has taken what was queued for it and the router has
  // stopped moving messages for a few looks, a stop comes after all of it.
  constexpr auto kLook = std::chrono::milliseconds(2);
  constexpr int kQuietLooks = 3;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int quietLooks = 0;
  std::uint64_t seen = routed.load();
  while (quietLooks < kQuietLooks) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(kLook);
    bool taken = true;
    for (const auto& c : components) {
      if (c->api && c->api->queuedPairs() != 0) taken = false;
    }
    const std::uint64_t now = routed.load();
    quietLooks = taken && now == seen ? quietLooks + 1 : 0;
    seen = now;
  }
  return true;
}

void System::State::stopDrive() {
  drive->stopping();
  // A component takes the wake-up, sees the cleared flag and returns; a few
  // rounds allow for one that posts on its way out.
  for (int round = 0; round < 8 && !drive->allEnded(); ++round) {
    drive->runRound();
    routeRound();
    for (auto& c : components) {
      if (!c->api) continue;
      c->api->wake();
      drive->queued(c->id);
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

System::State::~State() {
  // The clients go before the sections they map; the sections remove their
  // names as they go.
  hub.reset();
  components.clear();
  systemQueue.reset();
  dataMapsMemory.reset();
  temporalMemory.reset();
  processMemory.reset();
  componentMemory.reset();
  temporalSection.reset();
  processSection.reset();
  componentSection.reset();
  dataMapsSection.reset();
  master.reset();
  if (named) clearInstance(instance);
  drive.reset();  // unwinds a task that never ended, on this thread's clock
  if (clockInstalled) setThreadClockSource(nullptr);
}

std::string System::State::nameOf(std::uint32_t id) const {
  for (const auto& c : components) {
    if (c->id == id) return c->config.name;
  }
  return std::string();
}

bool System::State::build(std::string& error) {
  instance = config.instance.value_or(defaultInstance());
  named = true;
  // A crashed earlier run of this instance may have left objects behind.
  clearInstance(instance);
  if (options.simulatedClock) drive = std::make_unique<OfflineDrive>(clock, options.taskLimit);

  // Number every component and every type first: the sections need both.
  std::uint32_t nextId = 1;
  std::map<std::string, std::uint32_t> ids;
  for (const ComponentConfig& c : config.components) ids[c.name] = nextId++;
  const std::optional<MessageType> frameType = types.intern("Audio.Frame");
  if (!frameType) {
    error = "too many type level names";
    return false;
  }

  std::uint32_t nextTag = 1;
  for (const ComponentConfig& cfg : config.components) {
    auto component = std::make_unique<Component>();
    component->config = cfg;
    component->id = ids[cfg.name];
    component->sink = cfg.entry == "sink";
    // A source is driven by the host (host/audio_source.h), not the library.
    component->builtIn = component->sink || cfg.entry == "source";
    for (const TriggerConfig& t : cfg.triggers) {
      std::optional<MessageType> pattern = types.intern(t.pattern);
      std::vector<PostSpecBytes> posts;
      for (const PostConfig& p : t.posts) {
        PostSpecBytes spec;
        std::optional<MessageType> postType = types.intern(p.type);
        std::optional<MessageType> postContext = types.intern(p.context);
        if (!pattern || !postType || !postContext) {
          error = "too many type level names";
          return false;
        }
        spec.targetId = p.target.empty() ? 0 : ids[p.target];
        spec.type = *postType;
        spec.context = *postContext;
        spec.postTag = p.postTag != 0 ? p.postTag : nextTag++;
        spec.defaultTtl = p.ttl;
        spec.dropFlags = p.drop ? 1 : 0;
        spec.tripleCount = static_cast<std::uint32_t>(p.content.size());
        spec.postName = p.name;
        for (const ContentTriple& triple : p.content) {
          if (!spec.content.empty()) spec.content += "||";
          spec.content += triple.type + "||" + triple.name + "||" + triple.value;
        }
        postNames[{component->id, spec.postTag}] = p.name;
        posts.push_back(std::move(spec));
      }
      if (!pattern) {
        error = "too many type level names";
        return false;
      }
      std::optional<std::vector<std::uint8_t>> bytes = buildTriggerSpec(t.name, posts);
      if (!bytes) {
        error = "component '" + cfg.name + "', trigger '" + t.name +
                "': a name or content is too long for its field";
        return false;
      }
      Trigger trigger{t.name, *pattern, std::make_unique<DataMessage>()};
      trigger.message->setData("TriggerSpec", *bytes);
      component->triggers.push_back(std::move(trigger));
    }
    components.push_back(std::move(component));
  }

  master = MasterSection::create(instance);
  if (!master) {
    error = formatString("cannot create the master section of instance %u", instance);
    return false;
  }
  const std::vector<LevelName> levels = types.levels();
  dataMapsSection = DataMapsSection::create(*master, levels, types.highestLevel());
  std::vector<ComponentSpec> specs;
  for (const auto& c : components) {
    specs.push_back(ComponentSpec{c->id, c->config.name, c->config.parameters});
  }
  componentSection = ComponentSection::create(*master, specs, nextId - 1U);

  std::vector<ProcessLayout> processes;
  std::vector<QueueLayout> queues;
  std::map<std::uint16_t, bool> used{{kSystemProcess, true}};
  for (const auto& c : components) used[c->config.process] = true;
  std::uint64_t queueBytes = 0;
  for (const auto& [process, unused] : used) {
    ProcessLayout layout;
    layout.process = process;
    layout.queueIds[1] = static_cast<std::uint16_t>(queueIdOf(process));
    processes.push_back(layout);
    queues.push_back(QueueLayout{queueIdOf(process), config.sizes.queue,
                                 formatString("ZelkoraQueue_%u_%u", instance, queueIdOf(process))});
    queueBytes += config.sizes.queue;
  }
  processSection =
      ProcessSection::create(*master, 2 * (kProcessRecordsEnd + queueBytes), processes, queues);
  TemporalLayout temporal;
  temporal.slotCount = 256;
  // Blocks for small records (speech events), frames and large messages.
  temporal.bins = {TemporalBinLayout{256, 64}, TemporalBinLayout{1024, 64},
                   TemporalBinLayout{4096, 32}, TemporalBinLayout{16384, 8}};
  temporal.maximumSize = config.sizes.temporalMaximum;
  temporalSection = TemporalSection::create(instance, temporal);
  if (!dataMapsSection || !componentSection || !processSection || !temporalSection) {
    error = formatString("cannot create the sections of instance %u", instance);
    return false;
  }

  componentMemory = std::make_unique<ComponentMemory>(master->memory(), &componentSection->mutex());
  processMemory = std::make_unique<ProcessMemory>(master->memory());
  // The host maps the process section before any component runs, so a
  // section that cannot be mapped shows at create and not at the first post.
  if (!processMemory->open()) {
    error = formatString("cannot open the process section of instance %u", instance);
    return false;
  }
  temporalMemory = std::make_unique<TemporalMemory>(temporalSection->owner(), instance);
  dataMapsMemory = std::make_unique<DataMapsMemory>(master->memory(), &dataMapsSection->mutex());
  hub = std::make_unique<MemoryHub>(temporalMemory.get(), processMemory.get(),
                                    componentMemory.get(), dataMapsMemory.get());
  systemQueue = std::make_unique<QueueReader>(master->memory(), queueIdOf(kSystemProcess));
  logPrinter = std::make_unique<LogPrinter>(options.logOutput);

  if (options.simulatedClock) {
    clock.set(options.clockStart);
    // The drive runs the whole system on this thread.
    setThreadClockSource(&clock);
    clockInstalled = true;
  }

  bool needLibrary = false;
  for (const auto& c : components) needLibrary = needLibrary || !c->builtIn;
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
    c->context.memoryHub = hub.get();
    c->context.processId = c->config.process;
    c->context.clock = options.simulatedClock ? &clock : nullptr;
    c->context.waitObserver = drive.get();
    if (c->builtIn) continue;
    c->entry = library->find(c->config.entry);
    if (!c->entry) {
      missing.push_back(c->config.name);
      std::fprintf(stderr, "loquant: component '%s': the library has no entry point '%s'\n",
                   c->config.name.c_str(), c->config.entry.c_str());
      continue;
    }
    c->api = std::make_unique<ZelAPI>(&c->context, c->id,
                                      formatString("ZelkoraInbound_%u_%u", instance, c->id));
    // The host owns what it routes: the handle releases each message at the
    // next wait.
    c->api->setKeep(true);
  }
  return true;
}

void System::State::route(const DataMessage& message) {
  const MessageType type = message.getType();
  for (auto& c : components) {
    if (message.toId() != 0 && message.toId() != c->id) continue;
    if (c->sink && c->triggers.empty()) {
      // A sink without triggers takes every message.
      deliverToSink(*c, message);
      continue;
    }
    for (const Trigger& t : c->triggers) {
      if (!typeMatches(type, t.pattern)) continue;
      if (c->sink) {
        deliverToSink(*c, message);
      } else if (c->api) {
        if (c->api->queuePair(std::make_unique<DataMessage>(*t.message),
                              std::make_unique<DataMessage>(message)) &&
            drive) {
          drive->queued(c->id);
        }
      }
      break;
    }
  }
  routed.fetch_add(1, std::memory_order_relaxed);
}

void System::State::deliverToSink(const Component& sink, const DataMessage& message) {
  if (!sinkHandler) return;
  SinkRecord record{sink.config.name, nameOf(message.fromId()), std::string(),
                    hub->typeName(message.getType()), DataMessage(message)};
  auto found = postNames.find({message.fromId(), message.postTag()});
  if (found != postNames.end()) record.postName = found->second;
  sinkHandler(std::move(record));
}

bool System::State::routeRound() {
  std::optional<std::vector<std::vector<std::uint8_t>>> records = systemQueue->drain();
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
  std::optional<std::vector<std::vector<std::uint8_t>>> records = systemQueue->drain();
  if (!records || records->empty()) return false;
  for (const std::vector<std::uint8_t>& bytes : *records) route(DataMessage(bytes));
  return true;
}

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
    // Every component becomes a task of the drive; each runs up to its first
    // wait at the first settle.
    for (auto& c : s.components) {
      if (!c->api) continue;
      Component* raw = c.get();
      std::string error;
      if (!s.drive->add(
              c->id, c->config.name,
              [raw] { return static_cast<std::int64_t>(raw->entry(raw->api.get())); }, error)) {
        std::fprintf(stderr, "loquant: component '%s': %s\n", c->config.name.c_str(),
                     error.c_str());
        s.missing.push_back(c->config.name);
        c->api.reset();
      }
    }
    return true;
  }
  for (auto& c : s.components) {
    if (!c->api) continue;
    Component* raw = c.get();
    c->thread = std::thread([raw] {
      raw->entry(raw->api.get());
      std::lock_guard<std::mutex> lock(raw->doneMutex);
      raw->done = true;
      raw->doneChanged.notify_all();
    });
  }
  {
    s.routing = true;
    s.router = std::thread([&s] {
      while (s.routing.load()) {
        s.systemQueue->wait(50);
        s.drainSystemQueue();
      }
    });
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
    c->api->wake();
    if (s.drive) s.drive->queued(c->id);
  }
  if (s.drive) {
    s.stopDrive();
    return;
  }
  for (auto& c : s.components) {
    if (!c->thread.joinable()) continue;
    std::unique_lock<std::mutex> lock(c->doneMutex);
    if (!c->doneChanged.wait_for(lock, s.options.stopLimit, [&] { return c->done; })) {
      std::fprintf(stderr, "loquant: component '%s' did not stop within %lld ms\n",
                   c->config.name.c_str(), static_cast<long long>(s.options.stopLimit.count()));
    }
    lock.unlock();
    c->thread.join();
  }
  if (s.router.joinable()) {
    s.routing = false;
    s.router.join();
  }
  // Whatever was posted last still reaches the sinks.
  while (s.drainSystemQueue()) {
  }
}

void System::onSink(std::function<void(SinkRecord&&)> handler) {
  state_->sinkHandler = std::move(handler);
}

void System::inject(std::unique_ptr<DataMessage> message) {
  if (message) state_->route(*message);
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
    for (auto& c : s.components) {
      if (c->id == id && c->api) {
        c->api->queuePair(nullptr, nullptr);
        s.drive->queued(id);
      }
    }
  }
}

bool System::settle() {
  State& s = *state_;
  if (!s.started) return s.reportProblems();
  if (!s.drive) return s.settleRealTime();
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
  return state_->hub->typeName(type);
}
std::uint16_t System::instanceId() const {
  return state_->instance;
}

std::uint32_t System::componentId(const std::string& name) const {
  for (const auto& c : state_->components) {
    if (c->config.name == name) return c->id;
  }
  return 0;
}
const std::vector<std::string>& System::missing() const {
  return state_->missing;
}
std::uint64_t System::routedMessages() const {
  return state_->routed.load();
}
std::uint64_t System::errorLines() const {
  return state_->logPrinter->errorLines();
}

}  // namespace vornix::host
