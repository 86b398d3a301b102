// Utterance starts read back to the first frame with sound: the speech
// component's SpeechOn delay and when it is spent, on the offline clock.
#include <gtest/gtest.h>

#include <vector>

#include "../../cli/speech_onsets.cpp"  // NOLINT(bugprone-suspicious-include)

namespace loquant::cli {
namespace {

// 372 samples at 16 kHz: frame k is stamped floor(k × 23.25) ms.
constexpr FrameClock kClock{1'000'000ULL, 372, 16000};
constexpr OnsetRule kRule{2, 300};

double stamp(int k) {
  return static_cast<double>((k * 2325) / 100);
}

std::vector<double> starts(const std::vector<Utterance>& utterances) {
  std::vector<double> out;
  for (const Utterance& u : utterances) out.push_back(u.startMs);
  return out;
}

TEST(SpeechOnsets, AStartMovesBackOverTheDelayFramesButNotBeforeTheFirstFrame) {
  std::vector<Utterance> first = {{stamp(10), stamp(30)}};
  backdateOnsets(first, kClock, kRule);
  EXPECT_EQ(starts(first), std::vector<double>{stamp(8)});
  EXPECT_EQ(first[0].endMs, stamp(30));

  std::vector<Utterance> atOnce = {{stamp(1), stamp(30)}};
  backdateOnsets(atOnce, kClock, kRule);
  EXPECT_EQ(starts(atOnce), std::vector<double>{0.0});
}

TEST(SpeechOnsets, SoundRightAfterTheFrameThatEndedAnUtteranceIsPostedWithoutDelay) {
  // The utterance ending at frame 40 (930 ms) ends on frame 53, the first
  // stamped 300 ms or more later (1232 ms). Sound on frame 54 is posted at
  // once; after a silent frame 54 the count is whole again.
  std::vector<Utterance> utterances = {
      {stamp(10), stamp(40)}, {stamp(54), stamp(70)}, {stamp(87), stamp(95)}};
  // 70 → 83 ends the second; 84 silent, 85 and 86 counted, posted on 87.
  backdateOnsets(utterances, kClock, kRule);
  EXPECT_EQ(starts(utterances), (std::vector<double>{stamp(8), stamp(54), stamp(85)}));
}

TEST(SpeechOnsets, StartsOffTheFrameClockOrWithoutADelayStayAsPosted) {
  const std::vector<Utterance> posted = {{stamp(10) + 0.5, stamp(30) + 1}, {stamp(60), stamp(70)}};
  std::vector<Utterance> offClock = posted;
  backdateOnsets(offClock, kClock, kRule);
  // The first is not on a frame; the second follows an end that is not.
  EXPECT_EQ(starts(offClock), starts(posted));

  std::vector<Utterance> noDelay = {{stamp(10), stamp(30)}};
  backdateOnsets(noDelay, kClock, OnsetRule{0, 300});
  EXPECT_EQ(starts(noDelay), std::vector<double>{stamp(10)});
  backdateOnsets(noDelay, FrameClock{1'000'000ULL, 0, 16000}, kRule);
  EXPECT_EQ(starts(noDelay), std::vector<double>{stamp(10)});
}

}  // namespace
}  // namespace loquant::cli
