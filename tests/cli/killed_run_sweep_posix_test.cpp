// A run killed with SIGKILL leaves its instance's objects in /dev/shm; the
// next host to start, whatever its number, clears them, and leaves the
// objects of a live instance alone.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>

#include "cli/run_inspect_support.h"
#include "host/instance_claim.h"
#include "util/object_names.h"

namespace loquant::test {
namespace {

using namespace std::chrono_literals;
using ::testing::AllOf;
using ::testing::Contains;
using ::testing::EndsWith;
using ::testing::IsEmpty;
using ::testing::Not;

bool running(const ScratchDir& dir, const std::string& stem) {
  return waitFor(
      [&] { return readFile(dir / (stem + ".err")).find("running") != std::string::npos; }, 20s);
}

TEST(KilledRunSweep, TheNextStartClearsAKilledRunAndSparesALiveOne) {
  ScratchDir dir;
  const std::uint16_t killed = ownInstance();
  const std::uint16_t live = ownInstance();
  writeWave(dir / "long.wav", 16000, {track(16000, 8.0, {{0.3, 1.0}}, 120)});
  writeWave(dir / "short.wav", 16000, {track(16000, 1.0, {{0.2, 0.6}}, 120)});
  writeFile(dir / "killed.toml", configText(killed, "long.wav"));
  writeFile(dir / "live.toml", configText(live, "long.wav"));

  BackgroundLoquant victim(dir, "run killed.toml", "killed");
  BackgroundLoquant survivor(dir, "run live.toml", "live");
  ASSERT_TRUE(victim.started() && survivor.started());
  ASSERT_TRUE(running(dir, "killed")) << readFile(dir / "killed.err");
  ASSERT_TRUE(running(dir, "live")) << readFile(dir / "live.err");
  ASSERT_THAT(objectsOf(killed), Not(IsEmpty()));
  // Killed outright, it removes nothing itself. (Any host that starts from
  // now on, in another test too, clears what it left.)
  ::kill(static_cast<pid_t>(victim.id()), SIGKILL);
  EXPECT_EQ(victim.wait(10s), -1);
  // The live run's master section and its mutex stand for all its objects
  // (its other sections may be replaced by grows meanwhile).
  const auto liveMaster = Contains(EndsWith(vornix::masterSectionName(live)));
  const auto liveMasterMutex = Contains(EndsWith(vornix::masterMutexName(live)));
  ASSERT_THAT(objectsOf(live), AllOf(liveMaster, liveMasterMutex));

  // Another host starts on a number of its own choosing.
  const Outcome next = runLoquant(dir, "analyze short.wav");
  ASSERT_EQ(next.status, 0) << next.err;
  EXPECT_THAT(objectsOf(killed), IsEmpty()) << "the killed run's objects are cleared";
  EXPECT_FALSE(vornix::host::instanceClaimed(killed));
  EXPECT_THAT(objectsOf(live), AllOf(liveMaster, liveMasterMutex)) << "the live run is untouched";
  EXPECT_TRUE(vornix::host::instanceClaimed(live));
  EXPECT_EQ(survivor.wait(60s), 0) << readFile(dir / "live.err");
  EXPECT_THAT(objectsOf(live), IsEmpty());
}

}  // namespace
}  // namespace loquant::test
