// `loquant run CONFIG`: a configured system in real time. Its audio sources
// (components with entry "source") post their recordings' frames paced by
// the wall clock; every message a sink receives becomes one JSON line. The
// run ends when every source has ended and the system has been quiet for a
// moment, or at SIGINT/SIGTERM; either way the instance is stopped cleanly
// and leaves no named object behind. A hang-up (SIGHUP) or a closed output
// pipe (SIGPIPE) stops it the same way but discards the output (status
// 128 + the signal); messages lost on the way give status 3, and an object
// planted under the instance's names stops the run with status 1.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "analyze.h"
#include "default_system.h"
#include "host/audio_source.h"
#include "host/config.h"
#include "host/system.h"
#include "json_lines.h"
#include "live_system.h"
#include "output_file.h"
#include "platform.h"
#include "standard_output.h"
#include "util/clock.h"
#include "verbs.h"

namespace loquant::cli {

namespace {

constexpr const char* kRunHelp =
    "usage: loquant run CONFIG [options]\n"
    "\n"
    "Runs the system of a configuration file in real time. Components with entry\n"
    "\"source\" play a recording (parameters File, Channel, Target, BufferSize);\n"
    "every message a sink receives is printed as one JSON line. Ends when every\n"
    "source has ended, or at Ctrl-C (SIGINT) or SIGTERM.\n"
    "\n"
    "exit status: 0 done; 1 bad input, or an object under the instance's names\n"
    "that is not this user's; 2 bad usage; 3 some posted messages were lost (the\n"
    "output holds the rest); 128+N stopped by signal N other than SIGINT/SIGTERM\n"
    "(SIGHUP, a closed output pipe), the output discarded.\n"
    "\n"
    "options:\n"
    "  --output FILE       write to FILE (in full or not at all) instead of stdout\n"
    "  --param N=V         set parameter N on every component that reads it\n"
    "  --param C.N=V       set parameter N on component C\n"
    "  --raw               print indexed entries as stored, not grouped in arrays\n"
    "  --verbose           show the components' own lines on stderr\n"
    "  --library PATH      the component library to load\n"
    "  --publish nats://HOST:PORT/PREFIX\n"
    "                      also publish every message to a NATS server, on subject\n"
    "                      PREFIX.COMPONENT.POST (see docs/live.md); messages that\n"
    "                      could not be published give status 3\n";

// How long the system must stay quiet after the last frame before the run
// ends, and the longest wait for that.
constexpr auto kQuietPeriod = std::chrono::milliseconds(500);
constexpr auto kQuietLimit = std::chrono::seconds(10);

// The run's status when messages were lost.
constexpr int kExitLost = 3;
// How often the run looks for objects planted under its instance's names.
constexpr auto kForeignCheckPeriod = std::chrono::milliseconds(250);

std::atomic<bool> stopRequested{false};
std::atomic<int> stopSignal{0};  // the first signal that asked for the stop
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

extern "C" void onStopSignal(int signal) {
  int none = 0;
  stopSignal.compare_exchange_strong(none, signal);
  stopRequested.store(true);
}

// Looks for objects planted under the instance's names while the run goes on
// and stops the run when it finds one.
class ForeignWatch {
 public:
  explicit ForeignWatch(const vornix::host::System& system)
      : thread_([this, &system] {
          std::unique_lock<std::mutex> lock(mutex_);
          while (!done_) {
            lock.unlock();
            std::string found = system.foreignObject();
            lock.lock();
            if (!found.empty()) {
              found_ = std::move(found);
              stopRequested.store(true);
              return;
            }
            changed_.wait_for(lock, kForeignCheckPeriod, [this] { return done_; });
          }
        }) {}
  ~ForeignWatch() { finish(); }
  ForeignWatch(const ForeignWatch&) = delete;
  ForeignWatch& operator=(const ForeignWatch&) = delete;
  // Stops watching; what was found, or empty.
  std::string finish() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    return found_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool done_ = false;
  std::string found_;
  std::thread thread_;  // last: starts once the rest is made
};

// Catches the interrupt and termination requests for its lifetime and puts
// the previous handlers back afterwards.
class StopSignals {
 public:
  StopSignals() : scope_(onStopSignal) {}

 private:
  platform::StopSignals scope_;
};

struct RunOptions {
  std::string config;
  std::vector<std::string> params;
  std::string output;
  std::string library;
  std::string publish;
  bool raw = false;
  bool verbose = false;
};

// Waits until no message has been routed for kQuietPeriod (or a stop).
void awaitQuiet(const vornix::host::System& system) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point limit = Clock::now() + kQuietLimit;
  std::uint64_t seen = system.routedMessages();
  Clock::time_point quietSince = Clock::now();
  while (!stopRequested.load() && Clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::uint64_t now = system.routedMessages();
    if (now != seen) {
      seen = now;
      quietSince = Clock::now();
    } else if (Clock::now() - quietSince >= kQuietPeriod) {
      return;
    }
  }
}

int runSystem(const RunOptions& options) {
  vornix::host::ConfigResult loaded = vornix::host::loadConfig(options.config);
  if (const auto* error = std::get_if<vornix::host::ConfigError>(&loaded)) {
    std::fprintf(stderr, "loquant run: %s\n", error->text().c_str());
    return kExitInput;
  }
  vornix::host::SystemConfig config = std::get<vornix::host::SystemConfig>(std::move(loaded));
  for (const std::string& assignment : options.params) {
    std::string error;
    if (!applyParameter(config, assignment, error)) {
      std::fprintf(stderr, "loquant run: %s\n", error.c_str());
      return kExitUsage;
    }
  }

  // The sources, checked and opened before anything is created.
  std::vector<std::unique_ptr<vornix::host::AudioSource>> sources;
  for (const auto& component : config.components) {
    if (component.entry != vornix::host::kSourceEntry) continue;
    vornix::host::AudioSourceSettings settings;
    std::string error;
    if (!vornix::host::readAudioSourceSettings(config, component, settings, error)) {
      const vornix::host::ConfigError located{options.config, component.line, error};
      std::fprintf(stderr, "loquant run: %s\n", located.text().c_str());
      return kExitInput;
    }
    std::unique_ptr<vornix::host::AudioSource> source =
        vornix::host::AudioSource::open(settings, error);
    if (!source) {
      std::fprintf(stderr, "loquant run: %s\n", error.c_str());
      return kExitInput;
    }
    sources.push_back(std::move(source));
  }

  StopSignals signals;
  stopRequested.store(false);
  stopSignal.store(0);
  StandardOutputGuard guard(options.verbose);
  OutputFile output(options.output, guard.out());
  std::string error;
  if (!output.open(error)) {
    std::fprintf(stderr, "loquant run: %s\n", error.c_str());
    return kExitInput;
  }

  LiveSystem live;
  if (!startLiveSystem("run", config, options.library, options.publish, live)) return kExitInput;
  vornix::host::System* const system = live.system.get();

  std::mutex outputMutex;
  const std::uint16_t instanceId = system->instanceId();
  const bool toStandardOutput = options.output.empty();
  vornix::Micros start = vornix::currentTime();
  std::string line;
  system->onSink([&](vornix::host::SinkRecord&& record) {
    std::lock_guard<std::mutex> lock(outputMutex);
    const double timeMs =
        (static_cast<double>(record.message.getCreatedTime()) - static_cast<double>(start)) /
        1000.0;
    line.clear();
    appendJsonLine(line, record, timeMs, options.raw);
    output.write(line);
    publishLine(live, record, line, instanceId);
    // A live run is read as it goes.
    if (toStandardOutput) output.flush();
  });
  std::fprintf(
      stderr, "loquant run: instance %u running: %zu components, %zu sources (stop with Ctrl-C)\n",
      static_cast<unsigned>(system->instanceId()), config.components.size(), sources.size());
  start = vornix::currentTime();
  system->start();
  ForeignWatch watch(*system);

  bool ended = true;
  if (sources.empty()) {
    while (!stopRequested.load()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ended = false;
  } else {
    ended = vornix::host::playRealTime(
        *system, sources, stopRequested, [](const vornix::host::AudioSource& source) {
          std::fprintf(
              stderr, "loquant run: source '%s': end of stream after %llu frames (%.3f s)\n",
              source.settings().name.c_str(), static_cast<unsigned long long>(source.frames()),
              static_cast<double>(source.frameOffset(source.frames())) / 1e6);
        });
    if (ended) awaitQuiet(*system);
  }
  const std::string foreign = watch.finish();
  system->stop();
  const std::uint64_t lost = system->lostMessages();
  const std::uint16_t instance = system->instanceId();
  live.system.reset();
  const bool published = !live.publisher || live.publisher->finish(stderr);
  if (stopRequested.load()) std::fprintf(stderr, "loquant run: stopped\n");
  const int signal = stopSignal.load();
  if (signal != 0 && signal != SIGINT && signal != SIGTERM) {
    // A hang-up or a reader gone: nobody takes the output any more.
    std::fprintf(stderr, "loquant run: stopped by signal %d; the output is discarded\n", signal);
    return 128 + signal;
  }
  if (!foreign.empty()) {
    std::fprintf(stderr, "loquant run: instance %u: %s; the run was stopped\n",
                 static_cast<unsigned>(instance), foreign.c_str());
    return kExitInput;
  }

  bool ok = true;
  for (const auto& source : sources) {
    if (source->failed()) {
      std::fprintf(stderr, "loquant run: %s: read error in the sample data\n",
                   source->settings().file.c_str());
      ok = false;
    } else if (source->truncated()) {
      std::fprintf(stderr,
                   "loquant run: %s: truncated: the data ends after %llu of the %llu sample "
                   "frames the header declares\n",
                   source->settings().file.c_str(),
                   static_cast<unsigned long long>(source->framesRead()),
                   static_cast<unsigned long long>(source->declaredFrames()));
      ok = false;
    }
  }
  if (!ok) return kExitInput;
  if (!output.commit(error)) {
    std::fprintf(stderr, "loquant run: %s\n", error.c_str());
    return kExitInput;
  }
  if (!published) return kExitLost;
  if (lost != 0) {
    std::fprintf(stderr,
                 "loquant run: %llu posted message%s could not be stored or queued and never "
                 "reached %s receivers (see the sizes of the configuration)\n",
                 static_cast<unsigned long long>(lost), lost == 1 ? "" : "s",
                 lost == 1 ? "its" : "their");
    return kExitLost;
  }
  return kExitOk;
}

}  // namespace

int runVerb(const Arguments& args) {
  RunOptions options;
  std::vector<std::string> positional;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string v;
    if (a == "--help" || a == "-h") {
      std::fputs(kRunHelp, stdout);
      return kExitOk;
    } else if (a == "--output" || a == "-o") {
      if (!optionValue(args, i, "run", options.output)) return kExitUsage;
    } else if (a == "--param") {
      if (!optionValue(args, i, "run", v)) return kExitUsage;
      options.params.push_back(v);
    } else if (a == "--library") {
      if (!optionValue(args, i, "run", options.library)) return kExitUsage;
    } else if (a == "--publish") {
      if (!optionValue(args, i, "run", options.publish)) return kExitUsage;
    } else if (a == "--raw") {
      options.raw = true;
    } else if (a == "--verbose" || a == "-v") {
      options.verbose = true;
    } else if (a.size() > 1 && a[0] == '-') {
      std::fprintf(stderr, "loquant run: unknown option '%s' (see --help)\n", a.c_str());
      return kExitUsage;
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != 1) {
    std::fprintf(stderr, "loquant run: name one configuration file (see --help)\n");
    return kExitUsage;
  }
  options.config = positional.front();
  return runSystem(options);
}

}  // namespace loquant::cli
