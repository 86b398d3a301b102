// `loquant info` and `loquant pitch` as a user runs them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "cli_support.h"

namespace loquant::test {
namespace {

TEST(InfoVerb, PrintsTheHeaderAsRead) {
  ScratchDir dir;
  const auto samples = track(16000, 1.5, {{0.2, 0.8}}, 150.0);
  writeWave(dir / "two.wav", 16000, {samples, samples});
  const Outcome o = runLoquant(dir, "info two.wav");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("format:      WAVE, 16-bit little-endian PCM"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("rate:        16000 Hz"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("channels:    2"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("frames:      24000"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("duration:    1.500 s"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("data offset: 44 bytes"), std::string::npos) << o.out;
}

TEST(InfoVerb, ReadsAiffWrittenBySox) {
  ScratchDir dir;
  const std::string command = "sox -n -r 22050 -b 24 -c 1 '" + (dir / "tone.aiff").string() +
                              "' synth 0.5 sine 440 2>/dev/null";
  if (std::system(command.c_str()) != 0) GTEST_SKIP() << "sox is not installed";
  const Outcome o = runLoquant(dir, "info tone.aiff");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("AIFF, 24-bit big-endian PCM"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("frames:      11025"), std::string::npos) << o.out;
}

TEST(InfoVerb, RefusesWithTheReasonAndStatusOne) {
  ScratchDir dir;
  writeFile(dir / "notes.txt", "not a sound file at all\n");
  const Outcome o = runLoquant(dir, "info notes.txt");
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("notes.txt"), std::string::npos) << o.err;
  EXPECT_EQ(runLoquant(dir, "info").status, 2);
  EXPECT_EQ(runLoquant(dir, "info missing.wav").status, 1);
}

TEST(PitchVerb, OneCsvLinePerFrameWithTheTrackerScale) {
  ScratchDir dir;
  // 2 s with a voiced burst from 0.5 s to 1.5 s, at 44.1 kHz, whose
  // fundamental glides from 220 Hz up by 30 %.
  writeWave(dir / "tone.wav", 44100, {track(44100, 2.0, {{0.5, 1.5}}, 220.0)});
  const Outcome o = runLoquant(dir, "pitch tone.wav --noise-threshold 5");
  ASSERT_EQ(o.status, 0) << o.err;
  const auto rows = lines(o.out);
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows.front(), "frame,time_ms,pitch,level,sound");
  // 88200 samples in frames of 1024, the last one padded: 87 frames.
  EXPECT_EQ(rows.size(), 1U + 87U);
  int voiced = 0;
  int silentSound = 0;
  for (std::size_t i = 1; i < rows.size(); ++i) {
    const std::string& r = rows[i];
    const auto c1 = r.find(',');
    const auto c2 = r.find(',', c1 + 1);
    const auto c3 = r.find(',', c2 + 1);
    const double time = std::atof(r.substr(c1 + 1, c2 - c1 - 1).c_str());
    const double pitch = std::atof(r.substr(c2 + 1, c3 - c2 - 1).c_str());
    const bool sound = r.back() == '1';
    if (time < 450 && sound) ++silentSound;
    if (time > 600 && time < 1400 && pitch > 0) {
      ++voiced;
      // Half the fundamental of the frame's middle.
      const double middle = time + 1024.0 / 44.1 / 2.0;
      const double expected = 110.0 * (1.0 + 0.3 * (middle - 500.0) / 1000.0);
      EXPECT_NEAR(pitch, expected, expected * 0.03) << r;
    }
  }
  EXPECT_EQ(silentSound, 0);
  EXPECT_GT(voiced, 20);
}

TEST(PitchVerb, RefusesBadOptions) {
  ScratchDir dir;
  writeWave(dir / "tone.wav", 8000, {track(8000, 0.2, {}, 100.0)});
  EXPECT_EQ(runLoquant(dir, "pitch tone.wav --buffer-size 1").status, 2);
  EXPECT_EQ(runLoquant(dir, "pitch tone.wav --buffer-size abc").status, 2);
  EXPECT_EQ(runLoquant(dir, "pitch tone.wav --wobble").status, 2);
  EXPECT_EQ(runLoquant(dir, "pitch").status, 2);
}

}  // namespace
}  // namespace loquant::test
