// `loquant run` in real time and `loquant inspect` of the running instance
// from another process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <thread>

#include "cli/cli_support.h"

namespace loquant::test {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

// One source playing a mono recording into a speech component, and a sink.
std::string configText(std::uint16_t instance, const std::string& recording) {
  return "instance = " + std::to_string(instance) +
         "\n\n"
         "[[components]]\nname = \"mic\"\nentry = \"source\"\n"
         "[components.parameters]\nFile = \"" +
         recording +
         "\"\nTarget = \"speaker1\"\nBufferSize = 372\n\n"
         "[[components]]\nname = \"speaker1\"\nentry = \"Runtime\"\n"
         "[components.parameters]\nBufferSize = 372\nSamplingFrequency = 16000\n"
         "AmplitudeThreshold = 0.75\nNoiseThreshold = 5.0\nModuleID = 1\n"
         "PitchMonitorWindow = 4096\nPitchLowPass = 250\nPitchHighPass = 30\n"
         "PitchDeltaConstraint = 40\nPauseThreshold = 500\nSegmentIntervalThreshold = 300\n"
         "HumDurationThreshold = 1500\nHumPitchThreshold = 2\nSpeechOnDelay = 0\n"
         "[[components.triggers]]\nname = \"AudioFrame\"\ntype = \"Audio.Frame\"\n"
         "posts = [ { name = \"SpeechOn\", type = \"Speech.On\" },\n"
         "          { name = \"SpeechOff\", type = \"Speech.Off\" },\n"
         "          { name = \"SpeechPause\", type = \"Speech.Pause\", ttl = 60000000 } ]\n\n"
         "[[components]]\nname = \"out\"\nentry = \"sink\"\n";
}

// An instance number of this test process alone.
std::uint16_t ownInstance(unsigned salt) {
  return static_cast<std::uint16_t>(40000U +
                                    (static_cast<unsigned>(getpid()) * 2U + salt) % 20000U);
}

// The named objects of this user whose names end in "_<instance>" or hold
// "_<instance>_".
std::vector<std::string> objectsOf(std::uint16_t instance) {
  std::vector<std::string> found;
  const std::string mark = "_" + std::to_string(instance);
  const std::string mine = "loquant." + std::to_string(geteuid()) + ".";
  for (const auto& file : std::filesystem::directory_iterator("/dev/shm")) {
    const std::string name = file.path().filename().string();
    if (name.find(mine) == std::string::npos) continue;
    const std::size_t at = name.rfind(mark);
    if (at == std::string::npos) continue;
    const std::size_t after = at + mark.size();
    if (after == name.size() || name[after] == '_') found.push_back(name);
  }
  return found;
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(50ms);
  }
  return done();
}

// The "received" column of a component's row in the inspect output.
std::optional<unsigned long long> received(const std::string& inspect, const std::string& name) {
  const std::regex row("^\\s*\\d+\\s+" + name + "\\s+\\d+\\s+(\\d+)\\s");
  for (const std::string& line : lines(inspect)) {
    std::smatch m;
    if (std::regex_search(line, m, row)) return std::stoull(m[1]);
  }
  return std::nullopt;
}

TEST(RunAndInspect, InspectSeesTheCountersMoveAndSigintStopsCleanly) {
  ScratchDir dir;
  const std::uint16_t instance = ownInstance(0);
  writeWave(dir / "long.wav", 16000,
            {track(16000, 20.0, {{0.3, 1.0}, {1.6, 2.4}, {3.0, 4.0}}, 120)});
  writeFile(dir / "system.toml", configText(instance, "long.wav"));
  const std::string start = "cd '" + dir.path().string() + "' && { '" + loquantBinary() +
                            "' run system.toml >run.out 2>run.err & echo $! >run.pid; }";
  ASSERT_EQ(std::system(start.c_str()), 0);
  const pid_t pid = static_cast<pid_t>(std::stol(readFile(dir / "run.pid")));
  const bool running =
      waitFor([&] { return readFile(dir / "run.err").find("running") != std::string::npos; }, 10s);
  if (!running) kill(pid, SIGKILL);
  ASSERT_TRUE(running) << readFile(dir / "run.err");
  EXPECT_THAT(readFile(dir / "run.err"), HasSubstr("instance " + std::to_string(instance)));

  std::this_thread::sleep_for(700ms);
  const Outcome first = runLoquant(dir, "inspect --instance " + std::to_string(instance));
  std::this_thread::sleep_for(1500ms);
  const Outcome second = runLoquant(dir, "inspect --instance " + std::to_string(instance));
  kill(pid, SIGINT);
  const bool stopped =
      waitFor([&] { return readFile(dir / "run.err").find("stopped") != std::string::npos; }, 10s);
  if (!stopped) kill(pid, SIGKILL);

  ASSERT_EQ(first.status, 0) << first.err;
  ASSERT_EQ(second.status, 0) << second.err;
  const auto before = received(first.out, "speaker1");
  const auto after = received(second.out, "speaker1");
  ASSERT_TRUE(before && after) << first.out;
  EXPECT_GT(*before, 0U);
  EXPECT_GT(*after, *before + 30U) << "1.5 s are about 64 frames of 23.25 ms";
  EXPECT_THAT(second.out, HasSubstr("Audio.Frame"));
  EXPECT_THAT(second.out, HasSubstr("queues:"));
  EXPECT_THAT(second.out, HasSubstr("temporal store"));
  EXPECT_THAT(second.out, ::testing::ContainsRegex("\\bmic\\b"));

  ASSERT_TRUE(stopped) << readFile(dir / "run.err");
  EXPECT_THAT(readFile(dir / "run.err"), ::testing::Not(HasSubstr("end of stream")));
  // A clean stop leaves no named object of the instance.
  EXPECT_THAT(objectsOf(instance), ::testing::IsEmpty());
  // What was posted before the stop was written out.
  EXPECT_THAT(readFile(dir / "run.out"), HasSubstr("\"post\":\"SpeechOn\""));
}

TEST(RunAndInspect, RunPlaysInRealTimeUntilTheSourceEnds) {
  ScratchDir dir;
  const std::uint16_t instance = ownInstance(1);
  writeWave(dir / "short.wav", 16000, {track(16000, 2.0, {{0.3, 1.0}}, 120)});
  writeFile(dir / "system.toml", configText(instance, "short.wav"));
  const auto begin = std::chrono::steady_clock::now();
  const Outcome run = runLoquant(dir, "run system.toml --output events.jsonl");
  const auto elapsed = std::chrono::steady_clock::now() - begin;
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_GE(elapsed, 2s) << "the frames are paced by the wall clock";
  EXPECT_THAT(run.err, HasSubstr("source 'mic': end of stream after 87 frames"));
  const std::string events = readFile(dir / "events.jsonl");
  std::size_t on = 0, off = 0;
  for (const std::string& line : lines(events)) {
    on += line.find("\"post\":\"SpeechOn\"") != std::string::npos ? 1U : 0U;
    off += line.find("\"post\":\"SpeechOff\"") != std::string::npos ? 1U : 0U;
  }
  EXPECT_EQ(on, 1U) << events;
  EXPECT_EQ(off, 1U) << events;
  EXPECT_THAT(objectsOf(instance), ::testing::IsEmpty());
}

}  // namespace
}  // namespace loquant::test
