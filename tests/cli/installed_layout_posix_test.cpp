// The command as installed: it loads the library from ../lib beside its own
// folder (bin/loquant -> lib/libloquant.so.0), whatever the prefix, and a
// copy outside the build tree never falls back on the build tree's library.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "cli_support.h"

namespace loquant::test {
namespace {

namespace fs = std::filesystem;

// Runs `program analyze recording` with the outputs in `dir`/run.out, run.err.
Outcome analyze(const ScratchDir& dir, const fs::path& program, const fs::path& recording) {
  const std::string command = "'" + program.string() + "' analyze --no-progress '" +
                              recording.string() + "' >'" + (dir / "run.out").string() + "' 2>'" +
                              (dir / "run.err").string() + "'";
  const int raw = std::system(command.c_str());
  Outcome outcome;
  outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  outcome.out = readFile(dir / "run.out");
  outcome.err = readFile(dir / "run.err");
  return outcome;
}

class InstalledLayoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    constexpr std::uint32_t kRate = 16000;
    writeWave(dir_ / "talk.wav", kRate,
              {track(kRate, 3.0, {{0.5, 1.5}}, 120), track(kRate, 3.0, {{1.8, 2.6}}, 190)});
    fs::create_directories(bin_);
    fs::copy_file(loquantBinary(), bin_ / "loquant");
  }
  ScratchDir dir_;
  fs::path bin_ = dir_ / "prefix" / "bin";
  fs::path lib_ = dir_ / "prefix" / "lib";
};

TEST_F(InstalledLayoutTest, WithoutItsLibraryTheCommandNamesWhereItLookedAndFails) {
  const Outcome outcome = analyze(dir_, bin_ / "loquant", dir_ / "talk.wav");
  EXPECT_EQ(outcome.status, 1) << outcome.err;
  EXPECT_NE(outcome.err.find((lib_ / "libloquant.so.0").string()), std::string::npos)
      << outcome.err;
  EXPECT_EQ(outcome.out, "");
}

TEST_F(InstalledLayoutTest, TheLibraryInLibBesideBinIsUsedAndGivesTheBuildTreeResult) {
  fs::create_directories(lib_);
  fs::copy_file(fs::path(LOQUANT_TEST_BINARY_DIR) / "src" / "libloquant.so.0",
                lib_ / "libloquant.so.0");
  const Outcome installed = analyze(dir_, bin_ / "loquant", dir_ / "talk.wav");
  ASSERT_EQ(installed.status, 0) << installed.err;
  const Outcome built = runLoquant(dir_, "analyze --no-progress talk.wav");
  ASSERT_EQ(built.status, 0) << built.err;
  EXPECT_FALSE(installed.out.empty());
  EXPECT_EQ(installed.out, built.out);
  // The copy still works after its tree is moved: nothing absolute was kept.
  fs::rename(dir_ / "prefix", dir_ / "moved");
  const Outcome moved = analyze(dir_, dir_ / "moved" / "bin" / "loquant", dir_ / "talk.wav");
  EXPECT_EQ(moved.status, 0) << moved.err;
  EXPECT_EQ(moved.out, built.out);
}

}  // namespace
}  // namespace loquant::test
