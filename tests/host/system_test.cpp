// The host stand-in end to end: a system read from a configuration file, the
// same offline run twice, a missing export, a component slow to stop, a clean
// stop, and a process section grown by the library after the host mapped it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/config.h"
#include "host/library.h"
#include "host/system.h"
#include "host_test_platform.h"
#include "support/instance_objects.h"
#include "support/test_process.h"
#include "test_audio.h"

namespace vornix::host {
namespace {

constexpr Micros kOrigin = 1'800'000'000'000'000ULL;

constexpr const char* kRuntimeParameters = R"(
[components.parameters]
BufferSize = 1024
SamplingFrequency = 44100
AmplitudeThreshold = 0.75
NoiseThreshold = 5.0
ModuleID = 1
PitchMonitorWindow = 200
PitchLowPass = 400
PitchHighPass = 30
PitchDeltaConstraint = 50
PauseThreshold = 500
SegmentIntervalThreshold = 300
HumDurationThreshold = 2000
HumPitchThreshold = 2
SpeechOnDelay = 0
)";

// mic (Runtime) -> analyzer (AnalyzeSingle) -> out (sink), plus `extra`.
std::string analysisSystem(const std::string& extra = "") {
  return std::string("[[components]]\nname = \"mic\"\nentry = \"Runtime\"\n") + kRuntimeParameters +
         R"([[components.triggers]]
name = "AudioFrame"
type = "Audio.Frame"
posts = [ { name = "SpeechOn", type = "Speech.On" },
          { name = "SpeechOff", type = "Speech.Off" },
          { name = "SpeechPause", type = "Speech.Pause" } ]

[[components]]
name = "analyzer"
entry = "AnalyzeSingle"
[[components.triggers]]
name = "SpeechOff"
type = "Speech.Off"
posts = [ { name = "Analysis", type = "Result.Analysis", target = "out" } ]

[[components]]
name = "out"
entry = "sink"
[[components.triggers]]
name = "Results"
type = "Result.*"
)" + extra;
}

Micros frameTime(std::uint64_t k) {
  return kOrigin + k * 1024ULL * 1'000'000ULL / 44100ULL;
}

std::string writeFile(const std::string& name, const std::string& text) {
  const std::string path = (std::filesystem::temp_directory_path() /
                            (name + std::to_string(test::processId()) + ".toml"))
                               .string();
  std::ofstream(path) << text;
  return path;
}

// The objects of the instance that outlive its stop (test::leftAfterStop).
std::vector<std::string> objectsOfInstance(std::uint16_t instance) {
  return test::leftAfterStop(instance);
}

// Views of the instance's sections still mapped in this process.
std::size_t mappingsOfInstance(std::uint16_t instance) {
  return test::mappedViewsOfInstance(instance);
}

struct ToneRun {
  std::vector<SinkRecord> records;
  std::vector<std::string> missing;
  std::uint64_t errorLines = 0;
  std::uint16_t instance = 0;
  std::string err;  // what the run wrote to standard error
};

// Runs `config` on the simulated clock over a 220 Hz tone burst (frames 20
// to 63 of 130).
ToneRun runTone(const SystemConfig& config) {
  ToneRun run;
  SystemOptions options;
  options.simulatedClock = true;
  options.clockStart = kOrigin;
  options.logOutput = nullptr;
  std::string error;
  std::unique_ptr<System> system = System::create(config, options, error);
  EXPECT_NE(system, nullptr) << error;
  if (!system) return run;
  run.instance = system->instanceId();
  system->onSink([&](SinkRecord&& r) { run.records.push_back(std::move(r)); });
  EXPECT_TRUE(system->start());
  const MessageType frameType = system->type("Audio.Frame");
  for (std::uint64_t k = 0; k < 130; ++k) {
    system->advanceTo(frameTime(k));
    const bool tone = k >= 20 && k < 64;
    system->inject(testing::frameMessage(
        frameType, testing::toneFrame(1024, 220.0, tone ? 8000.0 : 0.0, k * 1024)));
    EXPECT_TRUE(system->settle()) << "frame " << k;
  }
  system->stop();
  run.missing = system->missing();
  run.errorLines = system->errorLines();
  return run;
}

void putText(std::string& out, std::string_view text) {
  const std::uint64_t n = text.size();
  out.append(reinterpret_cast<const char*>(&n), sizeof n);
  out.append(text);
}

std::string takeText(std::string_view& in) {
  std::uint64_t n = 0;
  if (in.size() < sizeof n) return {};
  std::memcpy(&n, in.data(), sizeof n);
  in.remove_prefix(sizeof n);
  const std::size_t length =
      static_cast<std::size_t>(std::min<std::uint64_t>(n, static_cast<std::uint64_t>(in.size())));
  const std::string text(in.substr(0, length));
  in.remove_prefix(length);
  return text;
}

// Runs the configuration file named on the argument's first line over the
// tone and writes the result to the file named on its second line: the
// error lines, what the run wrote to standard error, the missing components
// and the sink records.
int toneRunRole(const std::string& argument) {
  const std::size_t split = argument.find('\n');
  if (split == std::string::npos) return 2;
  ConfigResult parsed = loadConfig(argument.substr(0, split));
  if (!std::holds_alternative<SystemConfig>(parsed)) return 3;
  ::testing::internal::CaptureStderr();
  const ToneRun run = runTone(std::get<SystemConfig>(parsed));
  const std::string err = ::testing::internal::GetCapturedStderr();
  std::string out;
  putText(out, std::to_string(run.instance) + " " + std::to_string(run.errorLines));
  putText(out, err);
  putText(out, std::to_string(run.missing.size()));
  for (const std::string& m : run.missing) putText(out, m);
  for (const SinkRecord& r : run.records) {
    putText(out, r.sink);
    putText(out, r.sender);
    putText(out, r.postName);
    putText(out, r.typeName);
    const std::span<const std::uint8_t> bytes = r.message.bytes();
    putText(out, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  }
  std::ofstream(argument.substr(split + 1), std::ios::binary) << out;
  return ::testing::Test::HasFailure() ? 1 : 0;
}
[[maybe_unused]] const bool kToneRunRole = test::registerChildRole("tone-run", &toneRunRole);

// The analysis state and the Runtime state live in the loaded library for
// the whole process, so every run happens in a child process of its own,
// given the configuration `text`; the child hands back its sink records,
// missing components, error count and standard error.
ToneRun runToneInChild(const std::string& text) {
  const std::string stem = "tone_run_" + std::to_string(test::processId());
  const std::string config = writeFile(stem, text);
  const std::string path = (std::filesystem::temp_directory_path() / stem).string();
  const auto child = test::ChildProcess::start("tone-run", config + "\n" + path);
  EXPECT_NE(child, nullptr);
  EXPECT_EQ(child ? child->wait(120'000) : -1, 0) << "the run's child failed";
  std::filesystem::remove(config);
  std::ifstream in(path, std::ios::binary);
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  std::filesystem::remove(path);
  std::string_view view(all);
  ToneRun run;
  std::istringstream head(takeText(view));
  head >> run.instance >> run.errorLines;
  run.err = takeText(view);
  const std::size_t missing = std::stoul("0" + takeText(view));
  for (std::size_t i = 0; i < missing; ++i) run.missing.push_back(takeText(view));
  while (!view.empty()) {
    SinkRecord r;
    r.sink = takeText(view);
    r.sender = takeText(view);
    r.postName = takeText(view);
    r.typeName = takeText(view);
    const std::string bytes = takeText(view);
    r.message = DataMessage(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    run.records.push_back(std::move(r));
  }
  return run;
}

// The records as bytes, without the processing-chain fields: those measure
// the thread CPU time and wall time each step really took.
std::string sinkOutput(const std::vector<SinkRecord>& records) {
  std::string out;
  for (const SinkRecord& r : records) {
    out += r.sink + "|" + r.sender + "|" + r.postName + "|" + r.typeName + "|";
    DataMessage message(r.message);
    message.setChainInfo(0, 0, 0, 0, message.chainLength());
    const std::span<const std::uint8_t> bytes = message.bytes();
    out.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    out += "\n";
  }
  return out;
}

TEST(HostSystem, ConfigurationFileRoutesSpeechThroughAnalysisToTheSink) {
  const std::string path = writeFile("analysis", analysisSystem());
  ConfigResult parsed = loadConfig(path);
  std::filesystem::remove(path);
  ASSERT_TRUE(std::holds_alternative<SystemConfig>(parsed)) << std::get<ConfigError>(parsed).text();
  const ToneRun run = runToneInChild(analysisSystem());
  EXPECT_EQ(run.errorLines, 0U);
  EXPECT_TRUE(run.missing.empty());
  // The sink takes only results: exactly one analysis of the one turn.
  ASSERT_EQ(run.records.size(), 1U);
  const SinkRecord& r = run.records[0];
  EXPECT_EQ(r.sender, "analyzer");
  EXPECT_EQ(r.postName, "Analysis");
  EXPECT_EQ(r.typeName, "Result.Analysis");
  EXPECT_STREQ(r.message.getString("ObjectName"), "Analysis");
  bool found = false;
  EXPECT_NEAR(static_cast<double>(r.message.getInt("EndValue", &found)), 110.0, 3.0);
  EXPECT_TRUE(found);
  EXPECT_EQ(objectsOfInstance(run.instance), std::vector<std::string>{});
  EXPECT_EQ(mappingsOfInstance(run.instance), 0U);
}

TEST(HostSystem, SameOfflineRunTwiceGivesIdenticalSinkOutput) {
  const std::string text = analysisSystem(R"(
[[components]]
name = "all"
entry = "sink"
)");
  ConfigResult parsed = parseConfig(text, "replay.toml");
  ASSERT_TRUE(std::holds_alternative<SystemConfig>(parsed));
  const ToneRun first = runToneInChild(text);
  const ToneRun second = runToneInChild(text);
  // The sink without triggers sees every message not addressed to another
  // component: 130 frames and three speech events; "out" sees the analysis.
  ASSERT_EQ(first.records.size(), 134U);
  EXPECT_EQ(sinkOutput(first.records), sinkOutput(second.records));
}

// Two Runtimes take every frame and work on it side by side; whichever
// posts first, a receiver gets their posts in configuration order.
TEST(HostSystem, PostsOfOneRoundReachReceiversInConfigurationOrder) {
  std::string text;
  for (const char* name : {"mic1", "mic2"}) {
    text += std::string("[[components]]\nname = \"") + name + "\"\nentry = \"Runtime\"\n" +
            kRuntimeParameters + R"([[components.triggers]]
name = "AudioFrame"
type = "Audio.Frame"
posts = [ { name = "SpeechOn", type = "Speech.On" },
          { name = "SpeechOff", type = "Speech.Off" },
          { name = "SpeechPause", type = "Speech.Pause" } ]
)";
  }
  text += R"([[components]]
name = "events"
entry = "sink"
[[components.triggers]]
name = "Speech"
type = "Speech.*"
)";
  ConfigResult parsed = parseConfig(text, "rounds.toml");
  ASSERT_TRUE(std::holds_alternative<SystemConfig>(parsed)) << std::get<ConfigError>(parsed).text();
  for (int run = 0; run < 3; ++run) {
    const ToneRun result = runToneInChild(text);
    std::vector<std::string> order;
    for (const SinkRecord& r : result.records) order.push_back(r.sender + " " + r.postName);
    const std::vector<std::string> expected = {"mic1 SpeechOn",    "mic2 SpeechOn",
                                               "mic1 SpeechOff",   "mic2 SpeechOff",
                                               "mic1 SpeechPause", "mic2 SpeechPause"};
    EXPECT_EQ(order, expected) << "run " << run;
  }
}

TEST(HostSystem, MissingExportIsReportedByNameAndTheRestRuns) {
  const std::string text = analysisSystem(R"(
[[components]]
name = "ghost"
entry = "NoSuchEntry"
)");
  ConfigResult parsed = parseConfig(text, "ghost.toml");
  ASSERT_TRUE(std::holds_alternative<SystemConfig>(parsed));
  const ToneRun run = runToneInChild(text);
  const std::string& err = run.err;
  EXPECT_EQ(run.missing, std::vector<std::string>{"ghost"});
  EXPECT_NE(err.find("component 'ghost': the library has no entry point 'NoSuchEntry'"),
            std::string::npos);
  EXPECT_EQ(run.records.size(), 1U);
}

TEST(HostSystem, LibraryWithoutTheExportsLeavesEveryComponentOut) {
  SystemConfig config = std::get<SystemConfig>(parseConfig(analysisSystem(), "libm.toml"));
  SystemOptions options;
  options.simulatedClock = true;
  options.libraryPath = testing::libraryWithoutTheExports();
  std::string error;
  ::testing::internal::CaptureStderr();
  std::unique_ptr<System> system = System::create(config, options, error);
  const std::string err = ::testing::internal::GetCapturedStderr();
  ASSERT_NE(system, nullptr) << error;
  EXPECT_EQ(system->missing(), (std::vector<std::string>{"mic", "analyzer"}));
  EXPECT_NE(err.find("'mic'"), std::string::npos);
  ASSERT_TRUE(system->start());
  EXPECT_TRUE(system->settle());
}

TEST(HostSystem, StopWakesComponentsBlockedInLongWaits) {
  SystemConfig config = std::get<SystemConfig>(parseConfig(R"(
[[components]]
name = "analyzer"
entry = "AnalyzeSingle"
)",
                                                           "wake.toml"));
  SystemOptions options;
  options.simulatedClock = true;
  options.clockStart = kOrigin;
  // On the simulated clock a wait has no real-time limit: only the wake at
  // stop can end it within the limit.
  options.stopLimit = std::chrono::milliseconds(2000);
  std::string error;
  std::unique_ptr<System> system = System::create(config, options, error);
  ASSERT_NE(system, nullptr) << error;
  ASSERT_TRUE(system->start());
  ASSERT_TRUE(system->settle());
  ::testing::internal::CaptureStderr();
  const auto start = std::chrono::steady_clock::now();
  system->stop();
  const auto took = std::chrono::steady_clock::now() - start;
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.find("did not stop"), std::string::npos) << err;
  EXPECT_LT(took, std::chrono::milliseconds(2000));
}

TEST(HostSystem, NullHandleCodesOfTheSixExports) {
  std::string error;
  auto library = ComponentLibrary::open(ComponentLibrary::defaultPath(), error);
  ASSERT_NE(library, nullptr) << error;
  for (const char* name :
       {"AnalyzeSingle", "AnalyzeSingleContinuous", "AnalyzeTwo", "PitchTrackerDetector"}) {
    EntryPoint entry = library->find(name);
    ASSERT_TRUE(entry) << name;
    EXPECT_EQ(entry(nullptr), -1) << name;
  }
  for (const char* name : {"Runtime", "Test"}) {
    EntryPoint entry = library->find(name);
    ASSERT_TRUE(entry) << name;
    EXPECT_EQ(entry(nullptr), 255) << name;
  }
}

// The host maps the process section first; the library's copy of the
// runtime then grows it (a new serial) through the posts of a component.
// Both copies must be able to let go of the views the other one mapped.
TEST(HostSystem, ProcessSectionGrownByTheLibraryIsReleasedWhole) {
  ConfigResult parsed = parseConfig(R"(
[[components]]
name = "relay"
entry = "PitchTrackerDetector"
[[components.triggers]]
name = "Blob"
type = "Audio.Frame"
posts = [ { name = "Blob", type = "Audio.Blob", target = "out" } ]

[[components]]
name = "out"
entry = "sink"
[[components.triggers]]
name = "Blob"
type = "Audio.Blob"
)",
                                    "grow.toml");
  ASSERT_TRUE(std::holds_alternative<SystemConfig>(parsed)) << std::get<ConfigError>(parsed).text();
  SystemOptions options;
  options.simulatedClock = true;
  options.clockStart = kOrigin;
  options.logOutput = nullptr;
  std::string error;
  std::uint16_t instance = 0;
  std::size_t received = 0;
  {
    std::unique_ptr<System> system = System::create(std::get<SystemConfig>(parsed), options, error);
    ASSERT_NE(system, nullptr) << error;
    instance = system->instanceId();
    system->onSink([&](SinkRecord&&) { ++received; });
    ASSERT_TRUE(system->start());
    const MessageType frameType = system->type("Audio.Frame");
    // 200 records of 64 KiB posted before the host reads any: more than the
    // first process section holds.
    for (int i = 0; i < 200; ++i) {
      system->inject(testing::frameMessage(frameType, std::vector<std::uint8_t>(64 * 1024, 1)));
    }
    ASSERT_TRUE(system->settle());
    system->stop();
    EXPECT_EQ(system->errorLines(), 0U);
  }
  EXPECT_EQ(received, 200U);
  EXPECT_EQ(mappingsOfInstance(instance), 0U);
  EXPECT_EQ(objectsOfInstance(instance), std::vector<std::string>{});
}

}  // namespace
}  // namespace vornix::host
