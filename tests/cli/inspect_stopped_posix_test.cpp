// A `loquant inspect` stopped (SIGSTOP) at any moment of its reading must not
// stall a live `loquant run`: the viewer takes none of the writers' locks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "cli/run_inspect_support.h"
#include "util/object_names.h"

namespace loquant::test {
namespace {

using namespace std::chrono_literals;

// What each event line of the run says, without its wall-clock times: the
// component and what it posted.
std::vector<std::string> events(const std::string& out) {
  static const std::regex said("\"component\":\"[^\"]*\",\"post\":\"[^\"]*\"");
  std::vector<std::string> found;
  for (const std::string& line : lines(out)) {
    std::smatch m;
    found.push_back(std::regex_search(line, m, said) ? m.str() : line);
  }
  return found;
}

// Waits until process `pid` has mapped the master section of `instance` (its
// snapshot begins right after); false when it did not within `limit`.
bool mapsMaster(std::uint32_t pid, std::uint16_t instance, std::chrono::milliseconds limit) {
  const std::string file = "/proc/" + std::to_string(pid) + "/maps";
  const std::string section = vornix::masterSectionName(instance);
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    std::ifstream maps(file);
    std::string line;
    while (std::getline(maps, line)) {
      if (line.ends_with(section)) return true;
    }
  }
  return false;
}

TEST(InspectStopped, AStoppedInspectNeverStallsALiveRun) {
  ScratchDir dir;
  const std::uint16_t instance = ownInstance();
  const std::string number = std::to_string(instance);
  writeWave(dir / "talk.wav", 16000,
            {track(16000, 6.0, {{0.3, 1.0}, {1.4, 2.1}, {2.6, 3.5}, {4.2, 5.0}}, 120)});
  writeFile(dir / "system.toml", configText(instance, "talk.wav"));

  const Outcome alone = runLoquant(dir, "run system.toml");
  ASSERT_EQ(alone.status, 0) << alone.err;
  const std::vector<std::string> expected = events(alone.out);
  ASSERT_GE(expected.size(), 8U) << alone.out;

  BackgroundLoquant run(dir, "run system.toml", "run");
  ASSERT_TRUE(run.started());
  ASSERT_TRUE(
      waitFor([&] { return readFile(dir / "run.err").find("running") != std::string::npos; }, 20s))
      << readFile(dir / "run.err");
  // Inspects stopped at varied moments of their work (from before they attach
  // to well into their copying), and kept stopped until the run has ended.
  std::vector<std::unique_ptr<BackgroundLoquant>> stopped;
  for (unsigned i = 0; i < 24 && run.wait(0ms) == -1; ++i) {
    auto inspect = std::make_unique<BackgroundLoquant>(dir, "inspect --instance " + number,
                                                       "inspect" + std::to_string(i));
    ASSERT_TRUE(inspect->started());
    // Stopped from just after it attached to well into its reading; a few
    // while it is still starting.
    if (i % 6 != 5) mapsMaster(inspect->id(), instance, 1s);
    const auto spin = std::chrono::steady_clock::now() + std::chrono::microseconds(250 * (i % 6));
    while (std::chrono::steady_clock::now() < spin) {
    }
    ::kill(static_cast<pid_t>(inspect->id()), SIGSTOP);
    stopped.push_back(std::move(inspect));
    std::this_thread::sleep_for(60ms);
  }
  EXPECT_GE(stopped.size(), 12U) << "the run ended before most inspects were stopped";
  ASSERT_EQ(run.wait(60s), 0) << readFile(dir / "run.err");
  EXPECT_EQ(events(readFile(dir / "run.out")), expected) << readFile(dir / "run.err");
  stopped.clear();  // killed while stopped
  EXPECT_THAT(objectsOf(instance), ::testing::IsEmpty());
}

}  // namespace
}  // namespace loquant::test
