// `loquant run` stopped by SIGINT while `loquant inspect` watches it from
// another process, and by a hang-up or a closed output pipe. The interrupts
// are POSIX signals sent to the running program; on Windows the run's own
// end is tested (run_inspect_test.cpp).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "cli/run_inspect_support.h"

namespace loquant::test {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

TEST(RunAndInspect, SigintStopsARunCleanlyPosix) {
  ScratchDir dir;
  const std::uint16_t instance = ownInstance();
  writeWave(dir / "long.wav", 16000,
            {track(16000, 20.0, {{0.3, 1.0}, {1.6, 2.4}, {3.0, 4.0}}, 120)});
  writeFile(dir / "system.toml", configText(instance, "long.wav"));
  BackgroundLoquant run(dir, "run system.toml", "run");
  ASSERT_TRUE(run.started());
  const auto pid = static_cast<pid_t>(run.id());
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

// A hang-up stops a run as an interrupt does, but the status is 128 + SIGHUP:
// a session that went away did not ask for the run to end well.
TEST(RunAndInspect, AHangUpStopsARunAndClearsItsInstancePosix) {
  ScratchDir dir;
  const std::uint16_t instance = ownInstance();
  writeWave(dir / "long.wav", 16000, {track(16000, 600.0, {{0.3, 1.0}, {1.6, 2.4}}, 120)});
  writeFile(dir / "system.toml", configText(instance, "long.wav"));
  BackgroundLoquant run(dir, "run system.toml", "run");
  ASSERT_TRUE(run.started());
  ASSERT_TRUE(waitFor([&] { return !objectsOf(instance).empty(); }, 10s));
  ::kill(static_cast<pid_t>(run.id()), SIGHUP);
  EXPECT_EQ(run.wait(10s), 128 + SIGHUP) << readFile(dir / "run.err");
  EXPECT_THAT(objectsOf(instance), ::testing::IsEmpty());
}

// `loquant run ... | head -c 1`: the reader goes after the first byte, the
// next line written fails, and the run stops with 128 + SIGPIPE, leaving no
// named object of its instance. (A run that hung on would be ended by the
// timeout after 60 s, its status 124.)
TEST(RunAndInspect, AClosedOutputPipeStopsARunAndClearsItsInstancePosix) {
  ScratchDir dir;
  const std::uint16_t instance = ownInstance();
  writeWave(dir / "long.wav", 16000,
            {track(16000, 600.0, {{0.3, 1.0}, {1.6, 2.4}, {3.0, 4.0}, {5.0, 6.0}}, 120)});
  writeFile(dir / "system.toml", configText(instance, "long.wav"));
  writeFile(dir / "pipe.sh", "timeout 60 '" + loquantBinary() +
                                 "' run system.toml 2>run.err | head -c 1 >head.out\n"
                                 "echo \"${PIPESTATUS[0]}\" >status\n");
  const std::string command = "cd '" + dir.path().string() + "' && bash pipe.sh";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(readFile(dir / "status"), std::to_string(128 + SIGPIPE) + "\n")
      << readFile(dir / "run.err");
  EXPECT_EQ(readFile(dir / "head.out"), "{");
  EXPECT_THAT(objectsOf(instance), ::testing::IsEmpty());
}

}  // namespace
}  // namespace loquant::test
