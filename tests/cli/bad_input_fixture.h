// The fixture of the bad-input tests of the loquant command: a scratch
// directory with one good recording, and the check that a failure has the
// shape every failure shares.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <initializer_list>
#include <string>

#include "cli/cli_support.h"

namespace loquant::test {

using ::testing::HasSubstr;

inline constexpr int kInput = 1;
inline constexpr int kUsage = 2;

class BadInput : public ::testing::Test {
 protected:
  void SetUp() override {
    writeWave(dir_ / "good.wav", 16000, {track(16000, 1.0, {{0.2, 0.6}}, 120)});
  }
  // Runs the command and checks the shape every failure shares: the exit
  // status, nothing on stdout, and exactly one line on stderr holding every
  // piece of `mentions`.
  void expectFailure(const std::string& arguments, int status,
                     std::initializer_list<std::string> mentions) {
    SCOPED_TRACE(arguments);
    const Outcome run = runLoquant(dir_, arguments);
    EXPECT_EQ(run.status, status) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(lines(run.err).size(), 1U) << run.err;
    for (const std::string& m : mentions) EXPECT_THAT(run.err, HasSubstr(m));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "out.txt"));
    // No temporary file of the output either.
    for (const auto& file : std::filesystem::directory_iterator(dir_.path())) {
      EXPECT_THAT(file.path().filename().string(), ::testing::Not(HasSubstr("out.txt")));
    }
  }
  ScratchDir dir_;
};

}  // namespace loquant::test
