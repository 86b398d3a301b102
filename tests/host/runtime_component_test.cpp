// The Runtime component through the real library, the real handle and the
// host stand-in on the simulated clock: generated tone bursts in, the speech
// events a sink receives out, and the edge cases of the frame loop.
//
// Process-wide state: the library keeps one Runtime state per process. Its
// parameters ("BufferSize", "SamplingFrequency", "AmplitudeThreshold",
// "NoiseThreshold") are read on the first run in the process, and the tracker
// and the speech monitor outlive the run that made them. Every test here
// therefore runs its scenario in a fresh process: a death test in the
// "threadsafe" style re-executes this program for the one test, so the
// library is loaded anew there, whatever ran before in the parent. Scenarios
// that follow the state from one run to the next create several systems one
// after the other inside that one child process, while a ComponentLibrary
// handle keeps the library loaded in between.
//
// The tracker's creation is seen through the allocation functions of this
// program (replaced_allocation.h), which count blocks of at least a watched
// size: a tracker of n samples allocates one block of more than 8n bytes (its wavelet levels),
// and nothing else the host or the loop does per message comes near it.
// Only where the library shares this program's allocation functions: a
// Windows DLL carries its own copy of the C++ runtime, whose operator new
// this program does not replace, so there the tracker cannot be seen and the
// checks that count it are skipped.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "host/config.h"
#include "host/library.h"
#include "host/system.h"
#include "support/replaced_allocation.h"
#include "test_audio.h"

namespace vornix::host {
namespace {

using testing::kSeesLibraryAllocations;
using testing::watchLargeBlocks;

constexpr Micros kOrigin = 1'800'000'000'000'000ULL;  // a whole millisecond
constexpr std::size_t kSamples = 1024;

Micros frameTime(std::uint64_t k, std::uint64_t n = kSamples) {
  return kOrigin + k * n * 1'000'000ULL / 44100ULL;
}
std::int64_t frameMs(std::uint64_t k, std::uint64_t n = kSamples) {
  return static_cast<std::int64_t>(frameTime(k, n) / 1000U);
}

using Parameters = std::map<std::string, std::string>;  // name -> TOML value

Parameters speechParameters() {
  return {{"BufferSize", "1024"},
          {"SamplingFrequency", "44100"},
          {"AmplitudeThreshold", "0.75"},
          {"NoiseThreshold", "5.0"},
          {"ModuleID", "1"},
          {"PitchMonitorWindow", "200"},
          {"PitchLowPass", "400"},
          {"PitchHighPass", "30"},
          {"PitchDeltaConstraint", "50"},
          {"PauseThreshold", "500"},
          {"SegmentIntervalThreshold", "300"},
          {"HumDurationThreshold", "100000"},
          {"HumPitchThreshold", "2"},
          {"SpeechOnDelay", "0"}};
}

// A Runtime component named `name` whose frames come as `frameType` under
// the trigger `frameTrigger`, with "Ready" and "Stop" triggers besides.
std::string runtimeComponent(const std::string& name, const Parameters& parameters,
                             const std::string& frameTrigger = "AudioFrame",
                             const std::string& frameType = "Audio.Frame") {
  std::string text = "[[components]]\nname = \"" + name + "\"\nentry = \"Runtime\"\n";
  text += "[components.parameters]\n";
  for (const auto& [key, value] : parameters) text += key + " = " + value + "\n";
  text += "[[components.triggers]]\nname = \"" + frameTrigger + "\"\ntype = \"" + frameType +
          "\"\nposts = [ { name = \"SpeechOn\", type = \"Speech.On\" },\n"
          "          { name = \"SpeechOff\", type = \"Speech.Off\" },\n"
          "          { name = \"SpeechPause\", type = \"Speech.Pause\" } ]\n";
  text += "[[components.triggers]]\nname = \"Ready\"\ntype = \"Control.Ready\"\n";
  text += "[[components.triggers]]\nname = \"Stop\"\ntype = \"Control.Stop\"\n";
  return text;
}

constexpr const char* kSink =
    "[[components]]\nname = \"out\"\nentry = \"sink\"\n"
    "[[components.triggers]]\nname = \"Speech\"\ntype = \"Speech.*\"\n";

// One system on the simulated clock, with a sink and a log file.
class HostRun {
 public:
  explicit HostRun(const std::string& components) {
    ConfigResult parsed = parseConfig(components + kSink, "runtime.toml");
    if (!std::holds_alternative<SystemConfig>(parsed)) {
      ADD_FAILURE() << std::get<ConfigError>(parsed).text();
      return;
    }
    log_ = std::tmpfile();
    SystemOptions options;
    options.simulatedClock = true;
    options.clockStart = kOrigin;
    options.logOutput = log_;
    std::string error;
    system_ = System::create(std::get<SystemConfig>(parsed), options, error);
    if (!system_) {
      ADD_FAILURE() << error;
      return;
    }
    system_->onSink([this](SinkRecord&& r) {
      std::lock_guard<std::mutex> lock(mutex_);
      records_.push_back(std::move(r));
    });
    if (!system_->start()) ADD_FAILURE() << "system did not start";
  }
  ~HostRun() {
    if (system_) system_->stop();
    system_.reset();
    if (log_ != nullptr) std::fclose(log_);
  }
  HostRun(const HostRun&) = delete;
  HostRun& operator=(const HostRun&) = delete;

  bool ok() const { return system_ != nullptr; }

  // Injects `message` under `type` at time `t` and lets the system settle.
  void inject(Micros t, const std::string& type, std::unique_ptr<DataMessage> message) {
    system_->advanceTo(t);
    message->setType(system_->type(type));
    system_->inject(std::move(message));
    EXPECT_TRUE(system_->settle()) << "at " << t;
  }
  void frame(Micros t, const std::vector<std::uint8_t>& samples,
             const std::string& type = "Audio.Frame") {
    inject(t, type, testing::frameMessage(MessageType{}, samples));
  }
  void control(Micros t, const std::string& type) {
    inject(t, type, std::make_unique<DataMessage>());
  }
  // Frames k in [from, to) of a tone of `hz` (amplitude 0: silence).
  void frames(std::uint64_t from, std::uint64_t to, double hz, double amplitude = 8000.0,
              std::size_t n = kSamples, const std::string& type = "Audio.Frame") {
    for (std::uint64_t k = from; k < to; ++k) {
      frame(frameTime(k, n), testing::toneFrame(n, hz, amplitude, k * n), type);
    }
  }

  void stop() { system_->stop(); }
  std::vector<SinkRecord> records() {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }
  std::vector<std::string> postNames() {
    std::vector<std::string> names;
    for (const SinkRecord& r : records()) names.push_back(r.postName);
    return names;
  }
  // The component log lines that contain `text`.
  int logLinesWith(const std::string& text) {
    std::fflush(log_);
    std::rewind(log_);
    int count = 0;
    char line[1024];
    while (std::fgets(line, sizeof line, log_) != nullptr) {
      if (std::string(line).find(text) != std::string::npos) ++count;
    }
    return count;
  }
  std::uint64_t errorLines() const { return system_->errorLines(); }

 private:
  std::FILE* log_ = nullptr;
  std::unique_ptr<System> system_;
  std::mutex mutex_;
  std::vector<SinkRecord> records_;
};

using Names = std::vector<std::string>;

// Runs `body` in a fresh process. The checks made in the child are collected
// there and printed to its standard error, which the parent shows when the
// child's exit code says that one of them failed.
void inFreshProcess(const std::function<void()>& body) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ::testing::TestPartResultArray results;
        {
          const ::testing::ScopedFakeTestPartResultReporter reporter(
              ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &results);
          body();
        }
        int failed = 0;
        for (int i = 0; i < results.size(); ++i) {
          const ::testing::TestPartResult& r = results.GetTestPartResult(i);
          if (!r.failed()) continue;
          ++failed;
          std::fprintf(stderr, "%s:%d: %s\n", r.file_name() != nullptr ? r.file_name() : "?",
                       r.line_number(), r.message());
        }
        std::fflush(nullptr);
        std::_Exit(failed == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// Keeps the library loaded between the systems of one scenario.
std::unique_ptr<ComponentLibrary> holdLibrary() {
  std::string error;
  auto library = ComponentLibrary::open(ComponentLibrary::defaultPath(), error);
  EXPECT_NE(library, nullptr) << error;
  return library;
}

// Large blocks allocated while `step` runs, counted from `bytes` up.
std::size_t largeBlocksDuring(std::size_t bytes, const std::function<void()>& step) {
  static_cast<void>(watchLargeBlocks(bytes));
  step();
  return watchLargeBlocks(0);
}

std::vector<double> pitchValues(const DataMessage& m) {
  std::vector<double> values;
  for (std::int64_t j = 0; j < m.getInt("PitchCount"); ++j) {
    values.push_back(m.getDouble(j, "pitchvalue"));
  }
  return values;
}

// A recording of three tone bursts: frames 10-39 at 220 Hz, a 186 ms gap,
// 48-69 at 260 Hz, then a long silence, 120-139 at 440 Hz, and silence to
// frame 200. "SpeechOnDelay" 2 skips the first two frames of each burst.
TEST(RuntimeComponent, ToneBurstsGiveTheExactSpeechEventSequence) {
  inFreshProcess([] {
    Parameters p = speechParameters();
    p["SpeechOnDelay"] = "2";
    p["PitchLowPass"] = "200";
    p["PrintPitch"] = "true";
    HostRun run(runtimeComponent("mic", p));
    ASSERT_TRUE(run.ok());
    run.frames(0, 10, 0.0, 0.0);
    run.frames(10, 40, 220.0);
    run.frames(40, 48, 0.0, 0.0);
    run.frames(48, 70, 260.0);
    run.frames(70, 120, 0.0, 0.0);
    run.frames(120, 140, 440.0);
    run.frames(140, 200, 0.0, 0.0);
    run.stop();

    const std::vector<SinkRecord> r = run.records();
    ASSERT_EQ(run.postNames(), (Names{"SpeechOn", "SpeechOff", "SpeechPause", "SpeechOn",
                                      "SpeechOff", "SpeechPause"}));
    for (const SinkRecord& record : r) {
      EXPECT_EQ(record.sender, "mic");
      EXPECT_EQ(record.message.getInt("ModuleID"), 1);
    }
    EXPECT_EQ(r[0].message.getInt("timestamp"), frameMs(12));
    EXPECT_EQ(r[3].message.getInt("timestamp"), frameMs(122));

    // The first utterance spans both bursts: the 186 ms gap is shorter than
    // the 300 ms segment interval. The first frame 300 ms into the silence
    // after frame 69 posts it.
    std::uint64_t offFrame = 70;
    while (frameMs(offFrame) - frameMs(70) < 300) ++offFrame;
    const DataMessage& off = r[1].message;
    EXPECT_EQ(off.getInt("timestamp"), frameMs(70));
    EXPECT_EQ(off.getCreatedTime(), frameTime(offFrame));
    EXPECT_EQ(off.getInt("PitchCount"), 28 + 22);
    EXPECT_EQ(off.getInt("PitchCollectionCount"), 50);
    EXPECT_EQ(off.getInt(0, "pitchtime"), frameMs(12));
    EXPECT_EQ(off.getInt(27, "pitchtime"), frameMs(39));
    EXPECT_EQ(off.getInt(28, "pitchtime"), frameMs(48));
    EXPECT_EQ(off.getInt("Duration"), (frameMs(69) - frameMs(12)) * 1000);
    const std::vector<double> first = pitchValues(off);
    ASSERT_EQ(first.size(), 50U);
    for (std::size_t j = 0; j < 28; ++j) EXPECT_NEAR(first[j], 110.0, 3.0) << j;
    for (std::size_t j = 28; j < 50; ++j) EXPECT_NEAR(first[j], 130.0, 3.0) << j;
    EXPECT_EQ(std::string(off.getString("PitchView")), std::string(28, '*') + std::string(22, 'o'));
    EXPECT_NEAR(off.getDouble("pitch"), 130.0, 3.0);
    EXPECT_EQ(off.getInt("pitchtimems"), frameMs(69));

    // "SpeechPause" 500 ms after the "SpeechOff" frame.
    std::uint64_t pauseFrame = offFrame;
    while (frameMs(pauseFrame) - frameMs(offFrame) < 500) ++pauseFrame;
    EXPECT_EQ(r[2].message.getInt("timestamp"), frameMs(pauseFrame));

    // The 440 Hz burst (pitch 220) is held at the 200 Hz ceiling; its first
    // frame is not step-limited by the earlier utterance.
    const DataMessage& second = r[4].message;
    EXPECT_EQ(second.getInt("timestamp"), frameMs(140));
    EXPECT_EQ(pitchValues(second), std::vector<double>(18, 200.0));
    EXPECT_EQ(std::string(second.getString("PitchView")), std::string(18, 'O'));

    EXPECT_EQ(run.logLinesWith("[mic] Pitch View: "), 2);
    EXPECT_EQ(run.logLinesWith("[mic] Pitch View: " + std::string(18, 'O') + " [" +
                               std::to_string(frameMs(139) - frameMs(122)) + "]"),
              1);
  });
}

TEST(RuntimeComponent, OnlyFramesOfExactlyTwiceBufferSizeBytesAreAnalysed) {
  inFreshProcess([] {
    HostRun run(runtimeComponent("mic", speechParameters()));
    ASSERT_TRUE(run.ok());
    for (std::uint64_t k = 0; k < 6; ++k) {
      std::vector<std::uint8_t> bytes = testing::toneFrame(kSamples, 220.0, 8000.0, k * kSamples);
      bytes.resize(k % 2 == 0 ? 2046 : 2050, 0);
      run.frame(frameTime(k), bytes);
    }
    run.inject(frameTime(6), "Audio.Frame", std::make_unique<DataMessage>());  // no samples
    EXPECT_TRUE(run.records().empty());
    run.frames(7, 8, 220.0);
    ASSERT_EQ(run.postNames(), (Names{"SpeechOn"}));
    EXPECT_EQ(run.records()[0].message.getInt("timestamp"), frameMs(7));
    EXPECT_EQ(run.errorLines(), 0U) << "wrong sizes are dropped silently";
  });
}

TEST(RuntimeComponent, TriggerNamesMatchWhateverTheirCase) {
  inFreshProcess([] {
    HostRun run(runtimeComponent("mic", speechParameters(), "audioframe"));
    ASSERT_TRUE(run.ok());
    run.frames(0, 5, 220.0);
    run.frames(5, 25, 0.0, 0.0);
    EXPECT_EQ(run.postNames(), (Names{"SpeechOn", "SpeechOff"}));
  });
}

TEST(RuntimeComponent, DeviceModeIgnoresFramesAndReadyCreatesTheTrackerOnce) {
  if (!kSeesLibraryAllocations) {
    GTEST_SKIP() << "the library allocates through its own operator new, which this program "
                    "cannot count";
  }
  inFreshProcess([] {
    Parameters p = speechParameters();
    p["DeviceID"] = "3";
    p["BufferSize"] = "1000";
    constexpr std::size_t kTrackerBlock = 8 * 1000;
    HostRun run(runtimeComponent("mic", p));
    ASSERT_TRUE(run.ok());
    EXPECT_EQ(largeBlocksDuring(kTrackerBlock, [&] { run.frames(0, 10, 220.0, 8000.0, 1000); }),
              0U);
    EXPECT_EQ(largeBlocksDuring(kTrackerBlock, [&] { run.control(frameTime(10), "Control.Stop"); }),
              0U)
        << "Stop while idle does nothing";
    EXPECT_EQ(
        largeBlocksDuring(kTrackerBlock, [&] { run.control(frameTime(11), "Control.Ready"); }), 1U);
    EXPECT_EQ(
        largeBlocksDuring(kTrackerBlock, [&] { run.control(frameTime(12), "Control.Ready"); }), 0U)
        << "a second Ready before Stop does nothing";
    run.frames(13, 20, 220.0, 8000.0, 1000);
    run.control(frameTime(20), "Control.Stop");
    EXPECT_EQ(
        largeBlocksDuring(kTrackerBlock, [&] { run.control(frameTime(21), "Control.Ready"); }), 1U)
        << "after Stop, Ready starts a new tracker";
    run.control(frameTime(22), "Control.Stop");
    EXPECT_TRUE(run.records().empty());
    EXPECT_EQ(run.errorLines(), 0U);
  });
}

// Frame mode without "DeviceID": "Ready" and "Stop" are ignored.
TEST(RuntimeComponent, FrameModeIgnoresReadyAndStop) {
  inFreshProcess([] {
    HostRun run(runtimeComponent("mic", speechParameters()));
    ASSERT_TRUE(run.ok());
    run.frames(0, 3, 220.0);
    run.control(frameTime(3), "Control.Stop");
    run.control(frameTime(4), "Control.Ready");
    run.frames(5, 25, 0.0, 0.0);
    EXPECT_EQ(run.postNames(), (Names{"SpeechOn", "SpeechOff"}));
    EXPECT_EQ(run.records()[1].message.getInt("PitchCount"), 3);
  });
}

// Runs of Runtime one after another in one process share the state of the
// first: its parameters, tracker and monitor. Each run posts through its own
// handle; a device-mode "Ready" reuses a tracker a frame-mode run made, and a
// frame-mode run after a device-mode "Ready" still gets a monitor.
TEST(RuntimeComponent, LaterRunsShareTheFirstRunsStateAndPostThroughTheirOwnHandle) {
  inFreshProcess([] {
    const auto library = holdLibrary();
    constexpr std::size_t kTrackerBlock = 8 * 1024;
    {
      HostRun first(runtimeComponent("first", speechParameters()));
      ASSERT_TRUE(first.ok());
      first.frames(0, 4, 220.0);
      EXPECT_EQ(first.postNames(), (Names{"SpeechOn"}));
    }
    {
      // Device mode; the tracker of the first run already exists.
      Parameters p = speechParameters();
      p["DeviceID"] = "1";
      HostRun device(runtimeComponent("device", p));
      ASSERT_TRUE(device.ok());
      const std::size_t made =
          largeBlocksDuring(kTrackerBlock, [&] { device.control(frameTime(10), "Control.Ready"); });
      if (kSeesLibraryAllocations) {
        EXPECT_EQ(made, 0U);
      }
      device.control(frameTime(11), "Control.Stop");  // releases it
      EXPECT_TRUE(device.records().empty());
    }
    {
      // New parameters are not seen: 512-sample frames stay ignored and
      // 1024-sample frames are analysed. The monitor of the first run goes on
      // with its utterance and posts through this run's handle.
      Parameters p = speechParameters();
      p["BufferSize"] = "512";
      p["NoiseThreshold"] = "20.0";  // would silence every frame if it were read
      HostRun third(runtimeComponent("third", p));
      ASSERT_TRUE(third.ok());
      third.frames(40, 50, 220.0, 8000.0, 512);
      EXPECT_TRUE(third.records().empty());
      third.frames(30, 33, 220.0);
      third.frames(33, 50, 0.0, 0.0);
      const std::vector<SinkRecord> r = third.records();
      ASSERT_EQ(third.postNames(), (Names{"SpeechOff"}));
      EXPECT_EQ(r[0].sender, "third");
      EXPECT_EQ(r[0].message.getInt("PitchCount"), 4 + 3);
      EXPECT_EQ(r[0].message.getInt("timestamp"), frameMs(33));
    }
  });
}

TEST(RuntimeComponent, FrameRunAfterDeviceReadyCreatesTheMissingMonitor) {
  inFreshProcess([] {
    const auto library = holdLibrary();
    {
      Parameters p = speechParameters();
      p["DeviceID"] = "1";
      HostRun device(runtimeComponent("device", p));
      ASSERT_TRUE(device.ok());
      device.control(frameTime(0), "Control.Ready");  // tracker, no monitor
    }
    HostRun frames(runtimeComponent("mic", speechParameters()));
    ASSERT_TRUE(frames.ok());
    frames.frames(1, 5, 220.0);
    frames.frames(5, 25, 0.0, 0.0);
    ASSERT_EQ(frames.postNames(), (Names{"SpeechOn", "SpeechOff"}));
    EXPECT_EQ(frames.records()[0].message.getInt("timestamp"), frameMs(1));
    EXPECT_EQ(frames.records()[1].message.getInt("PitchCount"), 4);
  });
}

// Two Runtime components running at once: the one that starts second gets a
// state of its own, so each analyses its own frames with its own parameters.
TEST(RuntimeComponent, ConcurrentComponentsKeepTheirOwnState) {
  inFreshProcess([] {
    Parameters a = speechParameters();
    Parameters b = speechParameters();
    b["BufferSize"] = "512";
    b["ModuleID"] = "2";
    b["PitchLowPass"] = "100";
    HostRun run(runtimeComponent("micA", a, "AudioFrame", "Audio.A") +
                runtimeComponent("micB", b, "AudioFrame", "Audio.B"));
    ASSERT_TRUE(run.ok());
    for (std::uint64_t k = 0; k < 40; ++k) {
      const bool toneA = k >= 2 && k < 10;
      const bool toneB = k >= 5 && k < 20;
      run.frame(frameTime(k), testing::toneFrame(1024, 220.0, toneA ? 8000.0 : 0.0, k * 1024),
                "Audio.A");
      run.frame(frameTime(k) + 1000, testing::toneFrame(512, 440.0, toneB ? 8000.0 : 0.0, k * 512),
                "Audio.B");
    }
    std::map<std::string, Names> bySender;
    std::map<std::string, const SinkRecord*> offBySender;
    const std::vector<SinkRecord> r = run.records();
    for (const SinkRecord& record : r) {
      bySender[record.sender].push_back(record.postName);
      if (record.postName == "SpeechOff") offBySender[record.sender] = &record;
    }
    EXPECT_EQ(bySender["micA"], (Names{"SpeechOn", "SpeechOff"}));
    EXPECT_EQ(bySender["micB"], (Names{"SpeechOn", "SpeechOff"}));
    ASSERT_NE(offBySender["micA"], nullptr);
    ASSERT_NE(offBySender["micB"], nullptr);
    const DataMessage& offA = offBySender["micA"]->message;
    const DataMessage& offB = offBySender["micB"]->message;
    EXPECT_EQ(offA.getInt("ModuleID"), 1);
    EXPECT_EQ(offA.getInt("PitchCount"), 8);
    EXPECT_EQ(offA.getInt("timestamp"), frameMs(10));
    EXPECT_EQ(offB.getInt("ModuleID"), 2);
    EXPECT_EQ(offB.getInt("PitchCount"), 15);
    EXPECT_EQ(offB.getInt("timestamp"), static_cast<std::int64_t>((frameTime(20) + 1000) / 1000));
    EXPECT_EQ(pitchValues(offB), std::vector<double>(15, 100.0)) << "micB's own ceiling";
    EXPECT_EQ(run.errorLines(), 0U);
  });
}

// "BufferSize" below 2 (here 1, and 0 from a size given as a real): no frame
// reaches the tracker, in device mode "Ready" makes none, and the log says
// so once.
TEST(RuntimeComponent, BufferSizeBelowTwoDropsFramesAndLogsOnce) {
  for (const std::string size : {"1", "1024.0", "device 1"}) {
    SCOPED_TRACE(size);
    inFreshProcess([&] {
      Parameters p = speechParameters();
      p["BufferSize"] = size == "device 1" ? "1" : size;
      if (size == "device 1") p["DeviceID"] = "1";
      HostRun run(runtimeComponent("mic", p));
      ASSERT_TRUE(run.ok());
      for (std::uint64_t k = 0; k < 4; ++k) {
        run.frame(frameTime(k), {0x10, 0x27});  // one sample of 10000
        run.frame(frameTime(k) + 100, {});
        run.frames(k + 10, k + 11, 220.0);
      }
      EXPECT_TRUE(run.records().empty());
      run.control(frameTime(30), "Control.Ready");
      run.control(frameTime(31), "Control.Stop");
      run.control(frameTime(32), "Control.Ready");
      EXPECT_EQ(run.logLinesWith("is below 2 samples: no pitch tracking"), 1);
      EXPECT_EQ(run.errorLines(), 1U);
    });
  }
}

TEST(RuntimeComponent, ThresholdsConfiguredAsIntegersReadAsZero) {
  inFreshProcess([] {
    Parameters p = speechParameters();
    p["NoiseThreshold"] = "20";     // as 20.0 no tone would pass the gate
    p["AmplitudeThreshold"] = "2";  // as 2.0 no extremum would count
    HostRun run(runtimeComponent("mic", p));
    ASSERT_TRUE(run.ok());
    run.frames(0, 6, 220.0);
    run.frames(6, 26, 0.0, 0.0);
    const std::vector<SinkRecord> r = run.records();
    ASSERT_EQ(run.postNames(), (Names{"SpeechOn", "SpeechOff"}));
    for (const double v : pitchValues(r[1].message)) EXPECT_NEAR(v, 110.0, 3.0);
  });
}

// The monitor reads all its thresholds with the integer getter.
TEST(RuntimeComponent, RealValuedMonitorThresholdsReadAsZero) {
  inFreshProcess([] {
    Parameters p = speechParameters();
    p["SegmentIntervalThreshold"] = "300.0";  // 0: the second silent frame ends the turn
    p["PitchLowPass"] = "400.0";              // 0: every pitch is set to 0
    p["HumPitchThreshold"] = "2.5";
    HostRun run(runtimeComponent("mic", p));
    ASSERT_TRUE(run.ok());
    run.frames(0, 5, 220.0);
    run.frames(5, 7, 0.0, 0.0);
    const std::vector<SinkRecord> r = run.records();
    ASSERT_EQ(run.postNames(), (Names{"SpeechOn", "SpeechOff"}));
    EXPECT_EQ(r[1].message.getCreatedTime(), frameTime(6));
    EXPECT_EQ(r[1].message.getInt("timestamp"), frameMs(5));
    EXPECT_EQ(std::string(r[1].message.getString("PitchView")), "_____");
    EXPECT_EQ(r[1].message.findEntry("speechNoPitch"), nullptr);
  });
}

// A ring of 4 keeps the last 4 recorded frames; a steady tone becomes a hum
// once "HumDurationThreshold" has passed, and a step ends it.
TEST(RuntimeComponent, SmallRingAndHumThroughTheRealHandle) {
  inFreshProcess([] {
    Parameters p = speechParameters();
    p["PitchMonitorWindow"] = "4";
    p["HumDurationThreshold"] = "200";
    HostRun run(runtimeComponent("mic", p));
    ASSERT_TRUE(run.ok());
    // Each silence lasts beyond the "SpeechOff" frame, so that silent frames
    // in Silent clear the hum before the next utterance.
    run.frames(0, 6, 220.0);
    run.frames(6, 26, 0.0, 0.0);
    run.frames(26, 46, 220.0);  // hum tracked from frame 27, reached at 36
    run.frames(46, 66, 0.0, 0.0);
    run.frames(66, 81, 220.0);
    run.frames(81, 86, 330.0);  // pitch 160 after the step limit: ends the hum
    run.frames(86, 106, 0.0, 0.0);
    const std::vector<SinkRecord> r = run.records();
    ASSERT_EQ(run.postNames(),
              (Names{"SpeechOn", "SpeechOff", "SpeechOn", "SpeechOff", "SpeechOn", "SpeechOff"}));
    const DataMessage& six = r[1].message;
    EXPECT_EQ(six.getInt("PitchCollectionCount"), 4);
    EXPECT_EQ(six.getInt("PitchCount"), 4);
    for (std::uint64_t j = 0; j < 4; ++j) {
      EXPECT_EQ(six.getInt(static_cast<std::int64_t>(j), "pitchtime"), frameMs(2 + j));
    }
    EXPECT_EQ(six.findEntry("hum"), nullptr) << "six frames are shorter than 200 ms";
    EXPECT_EQ(r[3].message.getInt("hum"), 1);
    EXPECT_EQ(r[5].message.getInt("hum"), 0);
  });
}

TEST(RuntimeComponent, MonitorWindowBelowOneIsRaisedToOneAndLoggedOnce) {
  inFreshProcess([] {
    Parameters p = speechParameters();
    p["PitchMonitorWindow"] = "0";
    HostRun run(runtimeComponent("mic", p));
    ASSERT_TRUE(run.ok());
    run.frames(0, 5, 220.0);
    run.frames(5, 25, 0.0, 0.0);
    run.frames(25, 28, 220.0);
    run.frames(28, 48, 0.0, 0.0);
    const std::vector<SinkRecord> r = run.records();
    ASSERT_EQ(run.postNames(), (Names{"SpeechOn", "SpeechOff", "SpeechOn", "SpeechOff"}));
    EXPECT_EQ(r[1].message.getInt("PitchCount"), 1);
    EXPECT_EQ(r[1].message.getInt(0, "pitchtime"), frameMs(4));
    EXPECT_EQ(r[3].message.getInt(0, "pitchtime"), frameMs(27));
    EXPECT_EQ(run.logLinesWith("[mic] PitchMonitorWindow 0 raised to 1"), 1);
  });
}

}  // namespace
}  // namespace vornix::host
