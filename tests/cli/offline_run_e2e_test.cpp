// The offline drive end to end: its output pinned to what the threaded
// drive before it printed for the bundled two-speaker recording, the
// conditioner's look ahead replaying every frame once, and `--jobs` giving
// exactly what one run per file gives.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "cli/cli_support.h"

namespace loquant::test {
namespace {

// The digest of the lines, whatever the system ends them with.
std::uint64_t fnv1a(const std::string& text) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (std::size_t at = 0; at < text.size(); ++at) {
    const char c = text[at];
    if (c == '\r' && at + 1 < text.size() && text[at + 1] == '\n') continue;
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001b3ULL;
  }
  return h;
}

using Bursts = std::vector<std::pair<double, double>>;

// A 16 kHz recording of two speakers, `seconds` long: speaker 1 at `f0a`
// in the bursts `a`, speaker 2 at `f0b` in `b`.
void writeTwoSpeakers(const std::filesystem::path& file, double seconds, const Bursts& a,
                      double f0a, const Bursts& b, double f0b) {
  writeWave(file, 16000, {track(16000, seconds, a, f0a), track(16000, seconds, b, f0b)});
}

std::string example() {
  return std::string(LOQUANT_SOURCE_DIR) + "/examples/conversation.wav";
}

TEST(OfflineRunEndToEnd, BundledConversationGivesThePinnedOutput) {
  // The digest of the JSON lines of the threaded drive this drive replaced:
  // the cooperative one must not change a byte, with the conditioning on (a
  // clean recording passes it untouched) or off.
  ScratchDir dir;
  for (const char* conditioning : {"off", "on"}) {
    const Outcome lines =
        runLoquant(dir, "analyze " + example() + " --conditioning " + conditioning);
    ASSERT_EQ(lines.status, 0) << lines.err;
    EXPECT_EQ(fnv1a(lines.out), 0x761fd64cea76118cULL) << conditioning;
  }
}

TEST(OfflineRunEndToEnd, LookingAheadReplaysEveryFrameOnce) {
  // The conditioner looks at a file's first seconds before its first frame
  // is analysed. Clean recordings pass it untouched, so recordings shorter
  // and longer than the look give what analysing them without it gives:
  // every frame read once, in order, and the levels of the summary counted
  // once.
  ScratchDir dir;
  writeTwoSpeakers(dir / "short.wav", 4.0, {{0.5, 1.6}, {2.5, 3.8}}, 130.0, {{1.4, 2.4}}, 200.0);
  writeTwoSpeakers(dir / "long.wav", 14.0, {{0.5, 3.0}, {9.5, 12.0}}, 110.0,
                   {{3.4, 9.7}, {12.5, 13.5}}, 190.0);
  for (const char* file : {"short.wav", "long.wav"}) {
    for (const char* format : {"", " --summary"}) {
      const std::string command = "analyze " + (dir / file).string() + format;
      const Outcome looked = runLoquant(dir, command);
      const Outcome plain = runLoquant(dir, command + " --param Conditioning.LookAheadSeconds=0");
      ASSERT_EQ(looked.status, 0) << looked.err;
      ASSERT_EQ(plain.status, 0) << plain.err;
      EXPECT_FALSE(looked.out.empty());
      EXPECT_EQ(looked.out, plain.out) << file << format;
    }
  }
}

TEST(OfflineRunEndToEnd, JobsGiveWhatOneRunPerFileGives) {
  ScratchDir dir;
  // Two conversations and a monologue, each unlike the others, so that a
  // state carried from one to the next would show.
  writeTwoSpeakers(dir / "a.wav", 6.0, {{0.5, 2.0}, {4.0, 5.0}}, 120.0, {{2.3, 3.6}}, 210.0);
  writeTwoSpeakers(dir / "b.wav", 5.0, {{1.0, 1.8}}, 95.0, {{1.5, 4.0}}, 180.0);
  writeWave(dir / "c.wav", 16000, {track(16000, 4.0, {{0.2, 1.2}, {2.0, 3.5}}, 150.0)});
  const std::string files =
      (dir / "a.wav").string() + " " + (dir / "b.wav").string() + " " + (dir / "c.wav").string();
  for (const char* format : {"", " --summary", " --format csv"}) {
    std::string separate;
    for (const char* f : {"a.wav", "b.wav", "c.wav"}) {
      const Outcome one = runLoquant(dir, "analyze " + (dir / f).string() + format);
      ASSERT_EQ(one.status, 0) << one.err;
      separate += one.out;
    }
    for (const char* jobs : {"1", "2"}) {
      const Outcome together =
          runLoquant(dir, std::string("analyze --jobs ") + jobs + " " + files + format);
      ASSERT_EQ(together.status, 0) << together.err;
      EXPECT_EQ(together.out, separate) << "--jobs " << jobs << format;
    }
  }
  // One file that cannot be analysed fails the whole command, which then
  // writes nothing.
  writeFile(dir / "bad.wav", "not a recording");
  const Outcome failed =
      runLoquant(dir, "analyze --jobs 2 " + files + " " + (dir / "bad.wav").string());
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.out, "");
  EXPECT_NE(failed.err.find("bad.wav"), std::string::npos) << failed.err;
}

}  // namespace
}  // namespace loquant::test
