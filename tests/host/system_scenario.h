// Helpers for system tests that run the library's analysis components through
// the host stand-in on the simulated clock: a configured system with a sink
// whose records are collected, speech events shaped as the speech monitor
// posts them, record-order entry names, and running a scenario in a fresh
// process.
//
// Fresh processes. The analysis state and the Runtime state live in the
// loaded library for the whole process and carry over from one run to the
// next (by design). A scenario that needs the state as it is at load runs in
// a child that re-executes this test program with only the current test
// (gtest's "threadsafe" death-test style), via runInFreshProcess().
#pragma once

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "host/config.h"
#include "host/system.h"
#include "runtime/data_message.h"

namespace vornix::testing {

// A whole millisecond, so that millisecond timestamps are exact.
inline constexpr Micros kSystemOrigin = 1'800'000'000'000'000ULL;

// Sink records in arrival order; the sink handler may run on another thread
// than the test.
class SinkLog {
 public:
  void add(host::SinkRecord&& record) {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back(std::move(record));
  }
  std::vector<host::SinkRecord> all() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }
  std::size_t size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_.size();
  }
  // The records whose post name is one of `postNames`, in arrival order.
  std::vector<host::SinkRecord> withPostNames(std::initializer_list<std::string> postNames) const {
    std::vector<host::SinkRecord> out;
    for (host::SinkRecord& r : all()) {
      for (const std::string& name : postNames) {
        if (r.postName == name) {
          out.push_back(std::move(r));
          break;
        }
      }
    }
    return out;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<host::SinkRecord> records_;
};

// A started system on the simulated clock at kSystemOrigin whose sinks feed
// `log`. Null after a failed test assertion.
inline std::unique_ptr<host::System> startSystem(const char* configText, SinkLog& log,
                                                 std::FILE* logOutput = stderr) {
  host::ConfigResult parsed = host::parseConfig(configText, "scenario.toml");
  if (!std::holds_alternative<host::SystemConfig>(parsed)) {
    ADD_FAILURE() << std::get<host::ConfigError>(parsed).text();
    return nullptr;
  }
  host::SystemOptions options;
  options.simulatedClock = true;
  options.clockStart = kSystemOrigin;
  options.logOutput = logOutput;
  std::string error;
  std::unique_ptr<host::System> system =
      host::System::create(std::get<host::SystemConfig>(parsed), options, error);
  if (!system) {
    ADD_FAILURE() << error;
    return nullptr;
  }
  system->onSink([&log](host::SinkRecord&& r) { log.add(std::move(r)); });
  if (!system->start() || !system->missing().empty()) {
    ADD_FAILURE() << "a component did not start";
    return nullptr;
  }
  return system;
}

// Settles until `log` holds at least `count` records; for components that
// post after a wait ends without a message, which the simulated clock does
// not pace. False when that did not happen within about two seconds.
inline bool settleUntil(host::System& system, const SinkLog& log, std::size_t count) {
  for (int pass = 0; pass < 200; ++pass) {
    if (!system.settle()) return false;
    if (log.size() >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// The names of a message's live entries in record order.
inline std::vector<std::string> entryNames(const DataMessage& message) {
  std::vector<std::string> names;
  message.forEachEntry([&](const EntryView& entry) {
    names.emplace_back(entry.name);
    return true;
  });
  return names;
}

// One recorded pitch sample of an utterance: value (Hz) at time (ms).
struct Sample {
  double value;
  std::int64_t time;
};

// A "SpeechOn" or "SpeechPause" as the speech monitor posts it.
inline std::unique_ptr<DataMessage> speechEvent(const MessageType& type, std::int64_t timestampMs,
                                                std::uint32_t moduleId) {
  auto message = std::make_unique<DataMessage>();
  message->setType(type);
  message->setInt("timestamp", timestampMs);
  message->setInt("ModuleID", moduleId);
  return message;
}

// The pitch-view character of one ring value, as the speech monitor draws it.
inline char pitchViewChar(double p) {
  if (p < 5) return '_';
  if (p < 30) return '.';
  if (p < 60) return ':';
  if (p < 90) return '|';
  if (p < 120) return '*';
  if (p < 150) return 'o';
  return 'O';
}

// A "SpeechOff" as the speech monitor posts it for an utterance whose ring
// holds `samples` (oldest first) and whose silence began at `endMs`: the
// per-frame entries of the latest frame first, then the post's own entries.
inline std::unique_ptr<DataMessage> speechOff(const MessageType& type, std::int64_t endMs,
                                              std::span<const Sample> samples,
                                              std::uint32_t moduleId) {
  auto message = std::make_unique<DataMessage>();
  message->setType(type);
  if (samples.size() > 1) {
    message->setDouble("pitch", samples.back().value);
    message->setInt("pitchtimems", samples.back().time);
  }
  message->setInt("timestamp", endMs);
  const auto count = static_cast<std::int64_t>(samples.size());
  message->setInt("PitchCollectionCount", count);
  std::string view;
  for (std::size_t j = 0; j < samples.size(); ++j) {
    message->setDouble(static_cast<std::int64_t>(j), "pitchvalue", samples[j].value);
    message->setInt(static_cast<std::int64_t>(j), "pitchtime", samples[j].time);
    view += pitchViewChar(samples[j].value);
  }
  const std::int64_t span = samples.empty() ? 0 : samples.back().time - samples.front().time;
  message->setInt("Duration", span * 1000);
  message->setInt("PitchCount", count);
  message->setString("PitchView", view.c_str());
  message->setInt("ModuleID", moduleId);
  return message;
}

// Runs `scenario` in this process, collecting its test failures, prints them
// to standard error and gives the exit code for the parent: 0 when none
// failed. Meant for the child side of runInFreshProcess().
inline int runCollectingFailures(const std::function<void()>& scenario) {
  ::testing::TestPartResultArray results;
  {
    ::testing::ScopedFakeTestPartResultReporter reporter(
        ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &results);
    scenario();
  }
  int failures = 0;
  for (int i = 0; i < results.size(); ++i) {
    const ::testing::TestPartResult& r = results.GetTestPartResult(i);
    if (!r.failed()) continue;
    ++failures;
    std::fprintf(stderr, "%s:%d: %s\n", r.file_name() != nullptr ? r.file_name() : "?",
                 r.line_number(), r.message());
  }
  std::fflush(stderr);
  return failures == 0 ? 0 : 1;
}

// Runs `scenario` in a child process that starts this test program afresh
// with only the current test, so that the library is loaded with its
// process-wide state as at load. The child's failures are printed in the
// parent's failure message.
inline void expectInFreshProcess(const std::function<void()>& scenario) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(runCollectingFailures(scenario)), ::testing::ExitedWithCode(0), "");
}

}  // namespace vornix::testing
