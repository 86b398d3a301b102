// `loquant run` in real time and `loquant inspect` of the running instance
// from another process: inspect finds the instance by itself and sees its
// counters move; the run ends with its recording and leaves nothing behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "cli/run_inspect_support.h"

namespace loquant::test {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

TEST(RunAndInspect, InspectFindsTheRunningInstanceAndSeesItsCountersMove) {
  ScratchDir dir;
  const std::uint16_t instance = ownInstance();
  const std::string number = std::to_string(instance);
  writeWave(dir / "long.wav", 16000,
            {track(16000, 12.0, {{0.3, 1.0}, {1.6, 2.4}, {3.0, 4.0}}, 120)});
  writeFile(dir / "system.toml", configText(instance, "long.wav"));
  BackgroundLoquant run(dir, "run system.toml", "run");
  ASSERT_TRUE(run.started());
  const bool running =
      waitFor([&] { return readFile(dir / "run.err").find("running") != std::string::npos; }, 20s);
  ASSERT_TRUE(running) << readFile(dir / "run.err");

  // Without --instance: inspected when it is the only one running, listed
  // among the others otherwise.
  const Outcome found = runLoquant(dir, "inspect");
  ASSERT_EQ(found.status, 0) << found.err;
  bool listed = found.out.find("instance " + number + " (") != std::string::npos;
  for (const std::string& line : lines(found.out)) {
    if (line.rfind("running instances:", 0) == 0)
      listed = (line + " ").find(" " + number + " ") != std::string::npos;
  }
  EXPECT_TRUE(listed) << found.out;
  std::this_thread::sleep_for(700ms);
  const Outcome first = runLoquant(dir, "inspect --instance " + number);
  std::this_thread::sleep_for(1500ms);
  const Outcome second = runLoquant(dir, "inspect --instance " + number);
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
  EXPECT_TRUE(received(second.out, "mic")) << "the source is listed";

  EXPECT_EQ(run.wait(60s), 0) << readFile(dir / "run.err");
  EXPECT_THAT(readFile(dir / "run.err"), HasSubstr("end of stream"));
  EXPECT_THAT(objectsOf(instance), ::testing::IsEmpty());
  // Once it has stopped, inspect no longer finds it.
  const Outcome gone = runLoquant(dir, "inspect --instance " + number);
  EXPECT_EQ(gone.status, 1);
  EXPECT_THAT(gone.err, HasSubstr("not running"));
  EXPECT_THAT(readFile(dir / "run.out"), HasSubstr("\"post\":\"SpeechOn\""));
}

TEST(RunAndInspect, RunPlaysInRealTimeUntilTheSourceEnds) {
  ScratchDir dir;
  const std::uint16_t instance = ownInstance();
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
