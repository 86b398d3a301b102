// `loquant analyze` never reports a run that lost messages as a success, and
// stops cleanly at the ordinary interruptions: the instance's objects and the
// temporary output are removed and the status is 128 + the signal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>

#include "cli/run_inspect_support.h"

namespace loquant::test {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// The one-speaker system of `config --print-default` whose speech posts carry
// 4000 bytes of content and live ten minutes, so that the store must grow.
std::string bulkyPosts(const std::string& system) {
  const std::string pad(4000, 'x');
  return std::regex_replace(
      system, std::regex(R"re(\{ name = "(Speech[A-Za-z]+)", type = "([A-Za-z0-9.]+)" \})re"),
      "{ name = \"$1\", type = \"$2\", ttl = 600000000, content = [[\"S\", \"Pad\", \"" + pad +
          "\"]] }");
}

TEST(AnalyzeIntegrity, AStoreAtItsMaximumFailsTheRunInsteadOfDroppingMessages) {
  ScratchDir dir;
  writeWave(dir / "talk.wav", 16000,
            {track(16000, 30.0,
                   {{0.3, 1.0},
                    {1.6, 2.4},
                    {3.0, 4.0},
                    {5.0, 5.5},
                    {6.5, 7.0},
                    {8.0, 8.6},
                    {9.5, 10.0},
                    {11.0, 11.8},
                    {13.0, 13.4},
                    {14.5, 15.0},
                    {16.0, 16.6},
                    {18.0, 18.5},
                    {20.0, 20.4},
                    {21.5, 22.0},
                    {23.0, 23.6},
                    {25.0, 25.5},
                    {27.0, 27.4}},
                   120)});
  const Outcome system = runLoquant(dir, "config --print-default --speakers 1 --rate 16000");
  ASSERT_EQ(system.status, 0) << system.err;
  const std::string bulky = bulkyPosts(system.out);
  ASSERT_NE(bulky, system.out);
  writeFile(dir / "roomy.toml", bulky);
  writeFile(dir / "small.toml", "[sections]\ntemporal_maximum = 370000\n\n" + bulky);

  const Outcome roomy = runLoquant(dir, "analyze --raw --config roomy.toml talk.wav");
  ASSERT_EQ(roomy.status, 0) << roomy.err;
  const Outcome small = runLoquant(dir, "analyze --raw --config small.toml talk.wav");
  EXPECT_EQ(small.status, 1) << lines(small.out).size() << " of " << lines(roomy.out).size()
                             << " lines";
  EXPECT_THAT(small.err, HasSubstr("could not be stored or queued"));
  EXPECT_THAT(small.err, ::testing::Not(HasSubstr("truncated")));
}

TEST(AnalyzeIntegrity, InterruptionsRemoveTheInstanceAndTheTemporaryOutput) {
  ScratchDir dir;
  const std::uint16_t instance = ownInstance();
  writeWave(dir / "long.wav", 16000, {track(16000, 600.0, {{0.3, 1.0}, {1.6, 2.4}}, 120)});
  writeFile(dir / "system.toml", configText(instance, "long.wav"));
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    BackgroundLoquant run(dir, "analyze --config system.toml --output out.jsonl long.wav",
                          "analyze");
    ASSERT_TRUE(run.started());
    // Running once its instance's objects are there.
    ASSERT_TRUE(waitFor([&] { return !objectsOf(instance).empty(); }, 10s));
    ::kill(static_cast<pid_t>(run.id()), signal);
    EXPECT_EQ(run.wait(10s), 128 + signal) << readFile(dir / "analyze.err");
    EXPECT_THAT(objectsOf(instance), IsEmpty()) << "signal " << signal;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      EXPECT_THAT(entry.path().filename().string(), ::testing::Not(HasSubstr("out.jsonl")));
    }
  }
}

}  // namespace
}  // namespace loquant::test
