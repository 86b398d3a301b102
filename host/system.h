// The host stand-in: one running system instance.
//
// It creates and owns the instance's shared-memory sections, builds every
// component's handle with the TriggerSpec bytes of its triggers, loads the
// component library and calls the components' entry points, routes every
// posted message to the components whose triggers match it, and takes the
// components' log entries. Built-in components run inside the host: "sink"
// turns every message routed to it into a record.
//
// Two drives:
//   - real time: every component on a thread of its own, and a router
//     thread that moves messages as they come;
//   - the simulated clock, which only moves when the host says so: every
//     component is a cooperative task on the controlling thread (see
//     host/offline_drive.h). The caller injects input, calls settle() to let
//     the system work until it is quiet, and then advances the clock; the
//     same input gives the same output on every run, by construction.
//
// Thread safety: create/start/stop/inject/settle/advance and the destructor
// are called from one controlling thread (with the simulated clock, the
// system's clock is that thread's: see setThreadClockSource). The sink
// handler runs on the routing thread (the controlling thread, offline).
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/config.h"
#include "runtime/data_message.h"
#include "runtime/message_type.h"
#include "util/clock.h"

namespace vornix::host {

// One message as the sink saw it.
struct SinkRecord {
  std::string sink;      // the sink component's name
  std::string sender;    // the posting component's name ("" for the host)
  std::string postName;  // the post specification that routed it
  std::string typeName;  // printable type
  DataMessage message;
  // The source (its index among the system's source components) whose
  // frames alone led to the sender; -1 when none or several did.
  int source = -1;
};

struct SystemOptions {
  std::string libraryPath;  // empty: ComponentLibrary::defaultPath()
  bool simulatedClock = false;
  Micros clockStart = 0;                      // first time of the simulated clock
  std::FILE* logOutput = stderr;              // component log lines; null: none
  std::chrono::milliseconds stopLimit{3000};  // per component, at stop
  // With a simulated clock: how long one component may keep the drive's
  // thread without waiting before it is reported as a busy loop.
  std::chrono::milliseconds taskLimit{10000};
};

class System {
 public:
  // Builds the instance: sections, handles, the library. Null with the
  // reason in `error` on failure (nothing is left behind).
  [[nodiscard]] static std::unique_ptr<System> create(const SystemConfig& config,
                                                      const SystemOptions& options,
                                                      std::string& error);
  ~System();  // stops and removes every named object of the instance
  System(const System&) = delete;
  System& operator=(const System&) = delete;

  // Starts the component threads (and the router, in real time). A component
  // whose entry point the library lacks is reported by name and left out.
  bool start();
  // Clears the running flags, joins the threads; a component that does not
  // return within the limit is reported by name (its thread is then left to
  // finish before the instance is torn down).
  void stop();

  // Called for every message a sink receives.
  void onSink(std::function<void(SinkRecord&&)> handler);

  // Routes a message posted by the host itself, as if it came out of the
  // system message queue: to every component with a matching trigger.
  void inject(std::unique_ptr<DataMessage> message);

  // Simulated clock: the current time and its advance. Components' wait
  // time-outs run on this clock: a wait whose time-out has passed at `t`
  // ends (returns without a message) before anything injected after this
  // call reaches the component. So a time-out falls due at the first
  // advance at or after its deadline, at that advance's time.
  Micros now() const;
  void advanceTo(Micros t);
  // Simulated clock: lets the system work until every component waits with
  // nothing queued and every posted message has been routed. The work goes
  // in rounds: each component with something queued runs, in configuration
  // order, until it waits again; then everything they posted is routed,
  // ordered by sender (configuration order, each sender's posts in the
  // order it made them). So every receiver gets its messages in the same
  // order on every run. False (each problem printed once, on stderr) once a
  // component has thrown, ended before the stop, or been caught in a busy
  // loop: the run is then incomplete. In real time it waits (up to 10 s)
  // until every component has taken what was queued for it and the router
  // has been idle for a moment, so that a stop comes after all of it.
  bool settle();

  // The type for dotted level names, numbered by this instance.
  MessageType type(const std::string& dotted) const;
  std::string typeName(const MessageType& type) const;
  std::uint16_t instanceId() const;
  // The id of the component named `name`; 0 when there is none.
  std::uint32_t componentId(const std::string& name) const;
  // The source whose frames alone lead to component `componentId` (its
  // index among the source components, in configuration order); -1 when
  // none or several do.
  int sourceOf(std::uint32_t componentId) const;
  // Components that failed to start (missing entry point), by name.
  const std::vector<std::string>& missing() const;
  std::uint64_t routedMessages() const;
  // Log lines at level 0 the components sent.
  std::uint64_t errorLines() const;
  // Posted messages the instance's store or queues refused: each one is a
  // message some receiver never got.
  std::uint64_t lostMessages() const;
  // Adds `count` to the undelivered count of source component `componentId`
  // in the component section, where readers such as `loquant inspect` see
  // it: for a capture, blocks of audio dropped before they reached the
  // system (overruns). False when the section cannot be had.
  bool addSourceLoss(std::uint32_t componentId, std::uint64_t count);
  // The first object under the instance's names that is not a regular file
  // of this user (planted by someone else: the run cannot trust its
  // objects); empty when every one is ours.
  std::string foreignObject() const;

  struct State;

  // Only create() can make a System (the key is private to it).
  class Key {
    friend class System;
    Key() = default;
  };
  System(Key, std::unique_ptr<State> state);

 private:
  std::unique_ptr<State> state_;
};

}  // namespace vornix::host
