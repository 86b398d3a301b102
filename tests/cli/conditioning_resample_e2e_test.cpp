// `loquant analyze` on low-rate recordings with the conditioning upsampling
// them for the speech components: the utterances stay where they are at the
// recording's own rate (within a frame), the pitch is found where the
// recording's own rate loses it, and `--conditioning off` analyses the
// recording as it is.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_support.h"
#include "host/conditioning_resample.h"

namespace loquant::test {
namespace {

struct Turn {
  std::string speaker;
  double start;  // s
  double end;
};

std::vector<Turn> rttmTurns(const std::string& text) {
  std::vector<Turn> out;
  for (const std::string& line : lines(text)) {
    std::istringstream in(line);
    std::string kind, file, channel, start, duration, na1, na2, name;
    in >> kind >> file >> channel >> start >> duration >> na1 >> na2 >> name;
    if (kind != "SPEAKER") continue;
    out.push_back(Turn{name, std::stod(start), std::stod(start) + std::stod(duration)});
  }
  return out;
}

TEST(ConditioningResampleEndToEnd, UtteranceTimesStayWithinAFrame) {
  // Two speakers at 16 and 8 kHz, analysed at the recording's rate
  // (ResampleHz=0) and upsampled (the default): the same utterances, each
  // start and end within one 23 ms frame.
  ScratchDir dir;
  for (const std::uint32_t rate : {16000U, 8000U}) {
    const std::string file = (dir / ("low" + std::to_string(rate) + ".wav")).string();
    writeWave(file, rate,
              {track(rate, 8.0, {{0.5, 2.0}, {4.0, 5.2}, {6.1, 7.0}}, 120.0),
               track(rate, 8.0, {{1.8, 3.6}, {5.6, 6.3}}, 210.0)});
    const Outcome own =
        runLoquant(dir, "analyze " + file + " --format rttm --param Conditioning.ResampleHz=0");
    const Outcome upsampled = runLoquant(dir, "analyze " + file + " --format rttm");
    ASSERT_EQ(own.status, 0) << own.err;
    ASSERT_EQ(upsampled.status, 0) << upsampled.err;
    const std::vector<Turn> a = rttmTurns(own.out);
    const std::vector<Turn> b = rttmTurns(upsampled.out);
    ASSERT_EQ(a.size(), 5U) << rate << "\n" << own.out;
    ASSERT_EQ(b.size(), a.size()) << rate << "\n" << upsampled.out;
    const double frame = 0.0233;
    for (std::size_t i = 0; i < a.size(); ++i) {
      EXPECT_EQ(a[i].speaker, b[i].speaker) << rate << " turn " << i;
      EXPECT_LE(std::abs(a[i].start - b[i].start), frame) << rate << " turn " << i;
      EXPECT_LE(std::abs(a[i].end - b[i].end), frame) << rate << " turn " << i;
    }
  }
}

TEST(ConditioningResampleEndToEnd, NoiseUnderTheGateStaysSilenceWhenUpsampled) {
  // White noise whose swing over an 8 kHz frame reaches the components'
  // gate (e^5, about 148) in about half of the frames, which the conditioner
  // silences, and stays just under it in the others; upsampled sixfold, the
  // peaks between the recorded samples lift most of those over it. Frames
  // the conditioner did not pass stay silence, so a recording of noise alone
  // has no utterance, as at its own rate.
  ScratchDir dir;
  std::mt19937 random(7);
  std::normal_distribution<double> noise(0.0, 55.0);
  std::vector<std::int16_t> samples(8000 * 20);
  for (std::int16_t& s : samples) s = static_cast<std::int16_t>(std::lround(noise(random)));
  const std::string file = (dir / "noise.wav").string();
  writeWave(file, 8000, {samples});
  for (const char* resample : {"0", "44100"}) {
    const Outcome out = runLoquant(
        dir, "analyze " + file + " --format rttm --param Conditioning.ResampleHz=" + resample);
    ASSERT_EQ(out.status, 0) << out.err;
    EXPECT_TRUE(rttmTurns(out.out).empty()) << resample << "\n" << out.out;
  }
}

TEST(ConditioningResampleEndToEnd, OffAndNoResamplingAnalyseTheRecordingAsItIs) {
  // With the conditioning off nothing is upsampled: the output is that of
  // the recording's own rate, whatever ResampleHz says.
  ScratchDir dir;
  const std::string file = (dir / "low.wav").string();
  writeWave(
      file, 16000,
      {track(16000, 5.0, {{0.5, 2.0}, {3.0, 4.2}}, 140.0), track(16000, 5.0, {{1.8, 2.9}}, 200.0)});
  const Outcome off = runLoquant(dir, "analyze " + file + " --conditioning off");
  const Outcome offHigh = runLoquant(
      dir, "analyze " + file + " --conditioning off --param Conditioning.ResampleHz=96000");
  const Outcome on = runLoquant(dir, "analyze " + file);
  ASSERT_EQ(off.status, 0) << off.err;
  EXPECT_EQ(off.out, offHigh.out);
  // Upsampled, the frames the components see differ, and so does what they
  // report (the pitch values at least).
  ASSERT_EQ(on.status, 0) << on.err;
  if (!vornix::host::FrameUpsampler::available()) {
    GTEST_SKIP() << "this build has no resampler (libsoxr not installed)";
  }
  EXPECT_NE(on.out, off.out);
}

}  // namespace
}  // namespace loquant::test
