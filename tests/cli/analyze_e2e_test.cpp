// End-to-end runs of `loquant analyze` on generated recordings: speech event
// times, the two-speaker floor posts, the TextGrid and RTTM reports, and
// repeatability.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_support.h"

namespace loquant::test {
namespace {

constexpr std::uint32_t kRate = 16000;
// Frames of the default system at 16 kHz: 372 samples, 23.25 ms.
constexpr double kFrameMs = 372.0 * 1000.0 / kRate;
// The simulated clock of analyze starts at 1 s: "timestamp" entries are
// milliseconds of that clock.
constexpr double kOriginMs = 1000.0;

struct Post {
  std::string component, post;
  double timestamp = NAN;  // relative ms, when the post carries one
  std::string category;
  double startMs = NAN, endMs = NAN;
};

// Pulls the fields the tests need out of the JSON lines (flat entries only).
double numberAfter(const std::string& line, const std::string& key) {
  const std::size_t at = line.find("\"" + key + "\":");
  if (at == std::string::npos) return NAN;
  return std::strtod(line.c_str() + at + key.size() + 3, nullptr);
}
std::string textAfter(const std::string& line, const std::string& key) {
  const std::size_t at = line.find("\"" + key + "\":\"");
  if (at == std::string::npos) return "";
  const std::size_t start = at + key.size() + 4;
  return line.substr(start, line.find('"', start) - start);
}

std::vector<Post> posts(const std::string& jsonLines) {
  std::vector<Post> out;
  for (const std::string& line : lines(jsonLines)) {
    Post p;
    p.component = textAfter(line, "component");
    p.post = textAfter(line, "post");
    double t = numberAfter(line, "timestamp");
    if (std::isnan(t)) t = numberAfter(line, "Timestamp");
    p.timestamp = t - kOriginMs;
    p.category = textAfter(line, "Category");
    p.startMs = numberAfter(line, "StartTime") - kOriginMs;
    p.endMs = numberAfter(line, "EndTime") - kOriginMs;
    out.push_back(p);
  }
  return out;
}

std::vector<Post> only(const std::vector<Post>& all, const std::string& post) {
  std::vector<Post> out;
  for (const Post& p : all) {
    if (p.post == post) out.push_back(p);
  }
  return out;
}

TEST(AnalyzeEndToEnd, SpeechBurstsGiveOnAndOffWithinOneFrame) {
  ScratchDir dir;
  const std::vector<std::pair<double, double>> bursts = {{0.5, 1.5}, {2.5, 3.3}, {4.0, 5.2}};
  writeWave(dir / "bursts.wav", kRate, {track(kRate, 7.0, bursts, 120)});
  const Outcome run = runLoquant(dir, "analyze bursts.wav --param SpeechOnDelay=0");
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<Post> all = posts(run.out);
  const std::vector<Post> on = only(all, "SpeechOn");
  const std::vector<Post> off = only(all, "SpeechOff");
  ASSERT_EQ(on.size(), bursts.size()) << run.out;
  ASSERT_EQ(off.size(), bursts.size()) << run.out;
  for (std::size_t i = 0; i < bursts.size(); ++i) {
    EXPECT_NEAR(on[i].timestamp, bursts[i].first * 1000.0, kFrameMs) << "burst " << i;
    EXPECT_NEAR(off[i].timestamp, bursts[i].second * 1000.0, kFrameMs) << "burst " << i;
    EXPECT_EQ(on[i].component, "speaker1");
  }
}

TEST(AnalyzeEndToEnd, HelpListsTheConditioningSettingsWithTheirTrueDefaults) {
  // `analyze --help` lists every conditioning setting with its default.
  // Given all of them on a noisy recording, where the conditioning decides
  // what the components hear, the output is that of the defaults.
  ScratchDir dir;
  const Outcome help = runLoquant(dir, "analyze --help");
  ASSERT_EQ(help.status, 0) << help.err;
  std::string given;
  std::set<std::string> names;
  for (const std::string& line : lines(help.out)) {
    if (line.rfind("  Conditioning.", 0) != 0) continue;
    const std::string assignment = line.substr(2, line.find(' ', 2) - 2);
    names.insert(assignment.substr(0, assignment.find('=')));
    given += " --param " + assignment;
  }
  EXPECT_GE(names.size(), 20U) << help.out;
  EXPECT_EQ(names.count("Conditioning.LookAheadSeconds"), 1U);
  std::vector<std::int16_t> noisy = track(kRate, 12.0, {{1.0, 2.5}, {6.0, 7.2}}, 140);
  std::srand(3);
  for (std::int16_t& sample : noisy) {
    sample = static_cast<std::int16_t>(sample + std::rand() % 1201 - 600);
  }
  writeWave(dir / "noisy.wav", kRate, {noisy});
  const Outcome plain = runLoquant(dir, "analyze noisy.wav");
  const Outcome withDefaults = runLoquant(dir, "analyze noisy.wav" + given);
  const Outcome off = runLoquant(dir, "analyze noisy.wav --conditioning off");
  ASSERT_EQ(plain.status, 0) << plain.err;
  ASSERT_EQ(withDefaults.status, 0) << withDefaults.err;
  EXPECT_EQ(withDefaults.out, plain.out);
  EXPECT_NE(off.out, plain.out);  // the noise is what the conditioning removes
}

// With the default SpeechOnDelay the component posts SpeechOn two frames
// after the sound begins; the reports still start each utterance there.
TEST(AnalyzeEndToEnd, ReportedUtterancesStartWhereTheSoundDoesDespiteTheSpeechOnDelay) {
  ScratchDir dir;
  const std::vector<std::pair<double, double>> bursts = {{0.5, 1.5}, {2.5, 3.3}, {4.0, 5.2}};
  writeWave(dir / "bursts.wav", kRate, {track(kRate, 7.0, bursts, 120)});
  const Outcome json = runLoquant(dir, "analyze bursts.wav");
  const Outcome rttm = runLoquant(dir, "analyze bursts.wav --format rttm");
  ASSERT_EQ(json.status, 0) << json.err;
  ASSERT_EQ(rttm.status, 0) << rttm.err;
  const std::vector<Post> on = only(posts(json.out), "SpeechOn");
  const std::vector<std::string> rows = lines(rttm.out);
  ASSERT_EQ(on.size(), bursts.size()) << json.out;
  ASSERT_EQ(rows.size(), bursts.size()) << rttm.out;
  for (std::size_t i = 0; i < bursts.size(); ++i) {
    EXPECT_NEAR(on[i].timestamp, bursts[i].first * 1000.0 + 2 * kFrameMs, kFrameMs) << i;
    std::istringstream in(rows[i]);
    std::string type, file;
    int channel = 0;
    double onset = 0;
    in >> type >> file >> channel >> onset;
    ASSERT_FALSE(in.fail()) << rows[i];
    EXPECT_NEAR(onset * 1000.0, bursts[i].first * 1000.0, kFrameMs) << rows[i];
  }
}

// Left speaks 0.5-2.0 s and 4.5-5.5 s, right 1.5-3.0 s: an overlap from 1.5
// to 2.0 s and a silence from 3.0 to 4.5 s.
class TwoSpeakers : public ::testing::Test {
 protected:
  void SetUp() override {
    writeWave(
        dir_ / "two.wav", kRate,
        {track(kRate, 7.0, {{0.5, 2.0}, {4.5, 5.5}}, 110), track(kRate, 7.0, {{1.5, 3.0}}, 180)});
  }
  Outcome analyze(const std::string& options) {
    return runLoquant(dir_, "analyze two.wav --param SpeechOnDelay=0 " + options);
  }
  ScratchDir dir_;
};

TEST_F(TwoSpeakers, OverlapAndSilenceArePostedWithTheirTimesAndLabels) {
  const Outcome run = analyze("");
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<Post> all = posts(run.out);
  const std::vector<Post> overlapStart = only(all, "PitchOverlappingStart");
  const std::vector<Post> overlapStop = only(all, "PitchOverlappingStop");
  const std::vector<Post> silenceStop = only(all, "PitchSilenceStop");
  ASSERT_EQ(overlapStart.size(), 1U) << run.out;
  ASSERT_EQ(overlapStop.size(), 1U) << run.out;
  ASSERT_EQ(silenceStop.size(), 1U) << run.out;
  EXPECT_EQ(overlapStart[0].component, "conversation");
  EXPECT_NEAR(overlapStart[0].timestamp, 1500, kFrameMs);
  EXPECT_NEAR(overlapStop[0].startMs, 1500, kFrameMs);
  EXPECT_NEAR(overlapStop[0].endMs, 2000, kFrameMs);
  EXPECT_THAT(overlapStop[0].category, ::testing::HasSubstr("Overlap"));
  EXPECT_NEAR(silenceStop[0].startMs, 3000, kFrameMs);
  EXPECT_NEAR(silenceStop[0].endMs, 4500, kFrameMs);
  // The right speaker gave the floor back: a silence that one speaker ended.
  EXPECT_THAT(silenceStop[0].category, ::testing::HasSubstr("giving"));
  // A silence also starts after the last utterance.
  EXPECT_GE(only(all, "PitchSilenceStart").size(), 2U);
}

struct Interval {
  double xmin = 0, xmax = 0;
  std::string text;
};
struct Tier {
  std::string name;
  double xmin = 0, xmax = 0;
  std::vector<Interval> intervals;
};

// Reads the long TextGrid text form back: tiers with their intervals.
std::vector<Tier> parseTextGrid(const std::string& text, double& xmax, std::string& problem) {
  std::vector<Tier> tiers;
  const std::vector<std::string> all = lines(text);
  if (all.size() < 2 || all[0] != "File type = \"ooTextFile\"" ||
      all[1] != "Object class = \"TextGrid\"") {
    problem = "header";
    return tiers;
  }
  const std::regex number(R"re(^\s*(xmin|xmax) = ([0-9.]+)\s*$)re");
  const std::regex quoted(R"re(^\s*(name|text) = "(.*)"\s*$)re");
  const std::regex item(R"re(^\s*item \[\d+\]:\s*$)re");
  const std::regex interval(R"re(^\s*intervals \[\d+\]:\s*$)re");
  bool inInterval = false;
  xmax = -1;
  for (const std::string& line : all) {
    std::smatch m;
    if (std::regex_match(line, item)) {
      tiers.emplace_back();
      inInterval = false;
    } else if (std::regex_match(line, interval)) {
      if (tiers.empty()) break;
      tiers.back().intervals.emplace_back();
      inInterval = true;
    } else if (std::regex_match(line, m, number)) {
      const double v = std::stod(m[2]);
      double* field = nullptr;
      if (tiers.empty()) {
        if (m[1] == "xmax") xmax = v;
        continue;
      }
      if (inInterval) {
        field = m[1] == "xmin" ? &tiers.back().intervals.back().xmin
                               : &tiers.back().intervals.back().xmax;
      } else {
        field = m[1] == "xmin" ? &tiers.back().xmin : &tiers.back().xmax;
      }
      *field = v;
    } else if (std::regex_match(line, m, quoted) && !tiers.empty()) {
      if (m[1] == "name") tiers.back().name = m[2];
      if (m[1] == "text" && inInterval) tiers.back().intervals.back().text = m[2];
    }
  }
  return tiers;
}

TEST_F(TwoSpeakers, TextGridReadsBackAsContiguousOrderedTiers) {
  const Outcome run = analyze("--format textgrid");
  ASSERT_EQ(run.status, 0) << run.err;
  double xmax = 0;
  std::string problem;
  const std::vector<Tier> tiers = parseTextGrid(run.out, xmax, problem);
  ASSERT_TRUE(problem.empty()) << problem;
  ASSERT_FALSE(tiers.empty());
  EXPECT_NEAR(xmax, 7.0, 2 * kFrameMs / 1000.0);
  std::map<std::string, const Tier*> byName;
  for (const Tier& tier : tiers) {
    byName[tier.name] = &tier;
    ASSERT_FALSE(tier.intervals.empty()) << tier.name;
    EXPECT_DOUBLE_EQ(tier.intervals.front().xmin, tier.xmin) << tier.name;
    EXPECT_DOUBLE_EQ(tier.intervals.back().xmax, tier.xmax) << tier.name;
    for (std::size_t i = 0; i < tier.intervals.size(); ++i) {
      EXPECT_LT(tier.intervals[i].xmin, tier.intervals[i].xmax) << tier.name << " " << i;
      if (i > 0) {
        EXPECT_DOUBLE_EQ(tier.intervals[i].xmin, tier.intervals[i - 1].xmax)
            << tier.name << " " << i;
      }
    }
  }
  ASSERT_TRUE(byName.count("speaker1") && byName.count("speaker2") && byName.count("turn-taking"));
  std::vector<std::pair<double, double>> speech;
  for (const Interval& i : byName["speaker1"]->intervals) {
    if (i.text == "speech") speech.emplace_back(i.xmin, i.xmax);
  }
  ASSERT_EQ(speech.size(), 2U);
  EXPECT_NEAR(speech[0].first, 0.5, 0.0235);
  EXPECT_NEAR(speech[0].second, 2.0, 0.0235);
  EXPECT_NEAR(speech[1].first, 4.5, 0.0235);
  EXPECT_NEAR(speech[1].second, 5.5, 0.0235);
  std::vector<std::string> labels;
  for (const Interval& i : byName["turn-taking"]->intervals) {
    if (!i.text.empty()) labels.push_back(i.text);
  }
  EXPECT_THAT(labels, ::testing::ElementsAre("Overlap between", ::testing::StartsWith("Silence")));
}

TEST_F(TwoSpeakers, RttmLinesMatchTheUtterances) {
  const Outcome run = analyze("--format rttm");
  ASSERT_EQ(run.status, 0) << run.err;
  struct Expected {
    std::string speaker;
    double onset, end;
  };
  const std::vector<Expected> expected = {
      {"speaker1", 0.5, 2.0}, {"speaker2", 1.5, 3.0}, {"speaker1", 4.5, 5.5}};
  const std::vector<std::string> rows = lines(run.out);
  ASSERT_EQ(rows.size(), expected.size()) << run.out;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    std::istringstream in(rows[i]);
    std::string type, file, na1, na2, speaker, na3, na4;
    int channel = 0;
    double onset = 0, duration = 0;
    in >> type >> file >> channel >> onset >> duration >> na1 >> na2 >> speaker >> na3 >> na4;
    ASSERT_FALSE(in.fail()) << rows[i];
    EXPECT_EQ(type, "SPEAKER");
    EXPECT_EQ(file, "two");
    EXPECT_EQ(speaker, expected[i].speaker);
    EXPECT_NEAR(onset, expected[i].onset, 0.0235) << rows[i];
    EXPECT_NEAR(onset + duration, expected[i].end, 0.0235) << rows[i];
  }
}

// The trend labels in the CSV rows and the TextGrid trend tiers: one per
// utterance, the same labels as the summary counts for each speaker.
TEST_F(TwoSpeakers, CsvAndTextGridCarryTheSummarysTrends) {
  const Outcome csv = analyze("--format csv");
  const Outcome grid = analyze("--format textgrid");
  const Outcome summary = analyze("--summary");
  ASSERT_EQ(csv.status, 0) << csv.err;
  ASSERT_EQ(grid.status, 0) << grid.err;
  ASSERT_EQ(summary.status, 0) << summary.err;

  // "speakerN" -> labels in time order, from the CSV.
  std::map<std::string, std::vector<std::string>> fromCsv;
  const std::vector<std::string> rows = lines(csv.out);
  ASSERT_EQ(rows.size(), 4U) << csv.out;
  for (std::size_t i = 1; i < rows.size(); ++i) {
    const std::string speaker = rows[i].substr(0, rows[i].find(','));
    const std::string trend = rows[i].substr(rows[i].rfind(',') + 1);
    EXPECT_FALSE(trend.empty()) << rows[i];
    fromCsv[speaker].push_back(trend);
  }
  double xmax = 0;
  std::string problem;
  const std::vector<Tier> tiers = parseTextGrid(grid.out, xmax, problem);
  ASSERT_TRUE(problem.empty()) << problem;
  std::map<std::string, std::vector<std::string>> fromGrid;
  for (const Tier& tier : tiers) {
    for (const Interval& i : tier.intervals) {
      if (!i.text.empty()) fromGrid[tier.name].push_back(i.text);
    }
  }
  // "  trends:         Down_Below x1 Up_At x2" after each speaker's heading.
  std::map<std::string, std::multiset<std::string>> fromSummary;
  std::string current;
  for (const std::string& line : lines(summary.out)) {
    if (line.rfind("speaker", 0) == 0) current = line.substr(0, line.find(' '));
    if (line.rfind("  trends:", 0) != 0) continue;
    std::istringstream words(line.substr(9));
    for (std::string label, count; words >> label >> count;) {
      for (int n = std::atoi(count.c_str() + 1); n > 0; --n) fromSummary[current].insert(label);
    }
  }
  for (const std::string speaker : {"speaker1", "speaker2"}) {
    SCOPED_TRACE(speaker);
    const std::vector<std::string>& labels = fromCsv[speaker];
    EXPECT_EQ(labels.size(), speaker == "speaker1" ? 2U : 1U);
    EXPECT_EQ(std::multiset<std::string>(labels.begin(), labels.end()), fromSummary[speaker]);
    EXPECT_EQ(fromGrid[speaker + " trend"], labels);
  }
}

TEST_F(TwoSpeakers, RepeatedRunsGiveByteIdenticalOutput) {
  const Outcome first = analyze("");
  const Outcome second = analyze("");
  const Outcome grid = analyze("--format textgrid");
  const Outcome gridAgain = analyze("--format textgrid");
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_FALSE(first.out.empty());
  EXPECT_EQ(first.out, second.out);
  ASSERT_EQ(grid.status, 0) << grid.err;
  EXPECT_EQ(grid.out, gridAgain.out);
}

}  // namespace
}  // namespace loquant::test
