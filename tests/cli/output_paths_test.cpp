// Outputs that would destroy an input or each other are refused before the
// analysis runs, and nothing is written then.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "cli/cli_support.h"

namespace loquant::test {
namespace {

using ::testing::HasSubstr;

class OutputPaths : public ::testing::Test {
 protected:
  void SetUp() override {
    writeWave(dir_ / "good.wav", 16000, {track(16000, 1.0, {{0.2, 0.6}}, 120)});
    recording_ = readFile(dir_ / "good.wav");
  }
  // A refusal: status 1, one line naming `path`, the recording unharmed.
  void expectRefused(const std::string& arguments, const std::string& path) {
    SCOPED_TRACE(arguments);
    const Outcome run = runLoquant(dir_, arguments);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(lines(run.err).size(), 1U) << run.err;
    EXPECT_THAT(run.err, HasSubstr(path));
    EXPECT_EQ(readFile(dir_ / "good.wav"), recording_);
  }
  ScratchDir dir_;
  std::string recording_;
};

TEST_F(OutputPaths, AnOutputThatIsAnInputIsRefused) {
  expectRefused("analyze good.wav --output good.wav", "good.wav");
  expectRefused("analyze good.wav --plot good.wav", "good.wav");
  // The same file under another name.
  std::filesystem::create_directory(dir_ / "sub");
  expectRefused("analyze good.wav --output sub/../good.wav", "sub/../good.wav");
  std::error_code ec;
  std::filesystem::create_symlink("good.wav", dir_ / "alias.wav", ec);
  if (!ec) expectRefused("analyze good.wav --output alias.wav", "alias.wav");
}

TEST_F(OutputPaths, TwoOutputsOnOneFileAreRefused) {
  std::filesystem::create_directory(dir_ / "sub");
  expectRefused("analyze good.wav --plot same.txt --output same.txt", "same.txt");
  expectRefused("analyze good.wav --plot sub/../same.txt --output same.txt", "same.txt");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "same.txt"));
  // An existing file, too.
  writeFile(dir_ / "old.txt", "old\n");
  expectRefused("analyze good.wav --plot old.txt --output ./old.txt", "old.txt");
  EXPECT_EQ(readFile(dir_ / "old.txt"), "old\n");
}

}  // namespace
}  // namespace loquant::test
