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

// An AIFF file whose 80-bit rate has the largest exponent: an infinity
// (mantissa 1.0) or not a number (any other mantissa). Neither is a rate,
// and neither may be shown as a value.
TEST(InfoVerb, ARateThatIsNotAFiniteNumberIsSaidToBeOne) {
  ScratchDir dir;
  const auto big32 = [](std::string& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xFFU);
  };
  for (const std::uint32_t mantissa : {0x80000000U, 0xC0000000U}) {
    std::string comm = "COMM";
    big32(comm, 18);
    comm += std::string("\x00\x01", 2);  // one channel
    big32(comm, 4);                      // four frames
    comm += std::string("\x00\x10", 2);  // 16 bits
    comm += std::string("\x7F\xFF", 2);  // the largest exponent
    big32(comm, mantissa);
    big32(comm, 0);
    std::string ssnd = "SSND";
    big32(ssnd, 8 + 8);
    big32(ssnd, 0);
    big32(ssnd, 0);
    ssnd += std::string(8, '\0');
    std::string file = "FORM";
    big32(file, static_cast<std::uint32_t>(4 + comm.size() + ssnd.size()));
    file += "AIFF" + comm + ssnd;
    writeFile(dir / "odd.aiff", file);
    const Outcome o = runLoquant(dir, "info odd.aiff");
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("odd.aiff"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("sample rate not a finite number"), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find("rate inf"), std::string::npos) << o.err;
  }
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
