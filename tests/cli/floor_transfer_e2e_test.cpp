// `loquant analyze` on a generated conversation with a backchannel: the
// summary and the TextGrid count it as an overlap within the speaker's turn,
// and the floor-transfer offsets leave it out.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "cli/cli_support.h"

namespace loquant::test {
namespace {

constexpr std::uint32_t kRate = 16000;
constexpr double kFrameS = 372.0 / kRate;  // one frame of the default system

// Left holds the floor 0.5-2.3 s while right says "mm-hm" at 1.2-1.6 s;
// right takes the floor after a 1 s gap (3.3-5.0 s), and left comes in under
// its end at 4.5 s and keeps it to 6.0 s. True floor transfers: +1.0 s
// (the gap) and -0.5 s (the overlap at 4.5-5.0 s).
class Backchannel : public ::testing::Test {
 protected:
  void SetUp() override {
    writeWave(dir_ / "talk.wav", kRate,
              {track(kRate, 7.0, {{0.5, 2.3}, {4.5, 6.0}}, 110),
               track(kRate, 7.0, {{1.2, 1.6}, {3.3, 5.0}}, 180)});
  }
  Outcome analyze(const std::string& options) {
    return runLoquant(dir_, "analyze talk.wav --param SpeechOnDelay=0 " + options);
  }
  ScratchDir dir_;
};

// The line of the summary that starts with `title`, without it.
std::string field(const std::string& summary, const std::string& title) {
  for (const std::string& line : lines(summary)) {
    if (line.rfind(title, 0) == 0) return line.substr(title.size());
  }
  return "";
}

// The count at the start of a summary line ("  gaps (giving):   1, ..."), -1
// when the line is missing.
int count(const std::string& summary, const std::string& title) {
  const std::string rest = field(summary, title);
  return rest.empty() ? -1 : std::atoi(rest.c_str());
}

TEST_F(Backchannel, SummaryCountsItApartAndOffsetsAreTheRealTransfers) {
  const Outcome run = analyze("--summary");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(count(run.out, "  overlaps:"), 2) << run.out;
  EXPECT_EQ(count(run.out, "  overlaps (between):"), 1) << run.out;
  EXPECT_EQ(count(run.out, "  backchannels (within):"), 1) << run.out;
  EXPECT_EQ(count(run.out, "  gaps (giving):"), 1) << run.out;
  EXPECT_EQ(count(run.out, "  pauses (within):"), 0) << run.out;
  // "  floor transfers:       2, offset median M s, quartiles Q1 / Q3 s"
  const std::string transfers = field(run.out, "  floor transfers:");
  ASSERT_THAT(transfers, ::testing::HasSubstr("offset median")) << run.out;
  EXPECT_EQ(std::atoi(transfers.c_str()), 2) << transfers;
  const double median = std::strtod(transfers.c_str() + transfers.find("median") + 6, nullptr);
  const std::string quartiles = transfers.substr(transfers.find("quartiles") + 9);
  char* rest = nullptr;
  const double lower = std::strtod(quartiles.c_str(), &rest);
  const double upper = std::strtod(rest + 2, nullptr);
  // With offsets {-0.5, +1.0}: median 0.25, quartiles -0.125 / 0.625. The
  // backchannel counted as transfers would put -1.1 s (its start against the
  // end of the left turn) among them.
  EXPECT_NEAR(median, 0.25, 2 * kFrameS) << transfers;
  EXPECT_NEAR(lower, -0.125, 2 * kFrameS) << transfers;
  EXPECT_NEAR(upper, 0.625, 2 * kFrameS) << transfers;
}

TEST_F(Backchannel, TextGridTurnTakingTierTypesEachOverlap) {
  const Outcome run = analyze("--format textgrid");
  ASSERT_EQ(run.status, 0) << run.err;
  const std::size_t tier = run.out.find("name = \"turn-taking\"");
  ASSERT_NE(tier, std::string::npos) << run.out;
  std::vector<std::string> labels;
  for (const std::string& line : lines(run.out.substr(tier))) {
    const std::size_t at = line.find("text = \"");
    if (at == std::string::npos) continue;
    const std::string text = line.substr(at + 8, line.rfind('"') - at - 8);
    if (!text.empty()) labels.push_back(text);
  }
  EXPECT_THAT(labels,
              ::testing::ElementsAre("Overlap within", "Silence giving", "Overlap between"));
}

}  // namespace
}  // namespace loquant::test
