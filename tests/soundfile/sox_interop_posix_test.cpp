// Files written by another program (sox) must read back as that program
// describes them (soxi), field by field.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "sound_test_support.h"
#include "soundfile/sample_reader.h"
#include "soundfile/sound_file.h"

namespace vornix {
namespace {

struct ClosePipe {
  void operator()(std::FILE* pipe) const noexcept { pclose(pipe); }
};

// Standard output of a shell command; empty when it cannot run.
std::string commandOutput(const std::string& command) {
  std::unique_ptr<std::FILE, ClosePipe> pipe(popen(command.c_str(), "r"));
  if (!pipe) return {};
  std::string out;
  std::array<char, 256> chunk{};
  std::size_t got = 0;
  while ((got = std::fread(chunk.data(), 1, chunk.size(), pipe.get())) > 0)
    out.append(chunk.data(), got);
  return out;
}

long soxi(const char* option, const std::string& path) {
  return std::atol(
      commandOutput(std::string("soxi ") + option + " '" + path + "' 2>/dev/null").c_str());
}

struct Generated {
  std::string path;
  bool aiff;
  bool extensible;
};

class SoxFiles : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (std::system("command -v sox >/dev/null 2>&1 && command -v soxi >/dev/null 2>&1") != 0)
      return;
    dir_ = std::make_unique<test::TempDir>();
    struct Recipe {
      const char* name;
      const char* options;
      bool aiff;
      bool extensible;
    };
    // sox writes WAVE files of more than 16 bits or 2 channels in the
    // extensible layout unless told "wavpcm".
    const Recipe recipes[] = {
        {"u8_mono.wav", "-r 8000 -b 8 -c 1 -t wavpcm", false, false},
        {"s16_mono.wav", "-r 16000 -b 16 -c 1 -t wavpcm", false, false},
        {"s16_stereo.wav", "-r 44100 -b 16 -c 2 -t wavpcm", false, false},
        {"s24_mono.wav", "-r 48000 -b 24 -c 1 -t wavpcm", false, false},
        {"s32_stereo.wav", "-r 22050 -b 32 -c 2 -t wavpcm", false, false},
        {"s24_stereo_ext.wav", "-r 96000 -b 24 -c 2 -t wav", false, true},
        {"s16_3ch_ext.wav", "-r 11025 -b 16 -c 3 -t wav", false, true},
        {"s8_mono.aiff", "-r 22050 -b 8 -c 1 -t aiff", true, false},
        {"s16_stereo.aiff", "-r 44100 -b 16 -c 2 -t aiff", true, false},
        {"s24_mono.aiff", "-r 32000 -b 24 -c 1 -t aiff", true, false},
        {"s32_stereo.aiff", "-r 8000 -b 32 -c 2 -t aiff", true, false},
        {"s16_mono.aifc", "-r 16000 -b 16 -c 1 -t aifc", true, false},
    };
    for (const Recipe& recipe : recipes) {
      const std::string path = (dir_->path() / recipe.name).string();
      // 0.0517 s gives odd sample counts at several rates (pad bytes).
      const std::string command = std::string("sox -V1 -n ") + recipe.options + " '" + path +
                                  "' synth 0.0517 sine 440 sine 660 sine 990 >/dev/null 2>&1";
      if (std::system(command.c_str()) == 0)
        files_.push_back({path, recipe.aiff, recipe.extensible});
    }
  }
  static void TearDownTestSuite() {
    files_.clear();
    dir_.reset();
  }
  void SetUp() override {
    if (!dir_) GTEST_SKIP() << "sox/soxi not installed";
    ASSERT_EQ(files_.size(), 12U) << "sox failed to write some files";
  }

  static std::unique_ptr<test::TempDir> dir_;
  static std::vector<Generated> files_;
};

std::unique_ptr<test::TempDir> SoxFiles::dir_;
std::vector<Generated> SoxFiles::files_;

TEST_F(SoxFiles, EveryHeaderFieldMatchesSoxi) {
  test::ReportCapture reports;
  for (const Generated& g : files_) {
    SCOPED_TRACE(g.path);
    test::FilePtr file(std::fopen(g.path.c_str(), "rb"));
    ASSERT_TRUE(file);
    SoundFormat format;
    SoundFilePtr record = g.aiff ? aiff_open(file.get(), format) : riff_open(file.get(), format);
    ASSERT_TRUE(record);
    const long frames = soxi("-s", g.path);
    const long channels = soxi("-c", g.path);
    ASSERT_GT(frames, 0);
    EXPECT_EQ(format.rate, soxi("-r", g.path));
    EXPECT_EQ(format.channels, channels);
    EXPECT_EQ(format.bits, soxi("-b", g.path));
    // soxi counts frames; WAVE's `frames` counts samples over all channels.
    EXPECT_EQ(format.frames, g.aiff ? frames : frames * channels);
    EXPECT_EQ(record->bigEndian, g.aiff ? 1 : 0);
    EXPECT_EQ(record->sampleOffset, (!g.aiff && format.bits <= 8) ? 128 : 0);

    // The stream stands at the first sample and the declared data fill the
    // rest of the file (sox writes no trailing chunks; it pads odd data in
    // some layouts and not in others).
    const std::uint64_t bytesPer = static_cast<std::uint64_t>(bytesPerSample(format.bits));
    const std::uint64_t dataBytes = static_cast<std::uint64_t>(frames * channels) * bytesPer;
    EXPECT_EQ(record->dataBytes, dataBytes);
    const long start = std::ftell(file.get());
    std::fseek(file.get(), 0, SEEK_END);
    const long end = std::ftell(file.get());
    const auto rest = static_cast<std::uint64_t>(end - start);
    EXPECT_TRUE(rest == dataBytes || rest == dataBytes + (dataBytes & 1U)) << rest;
  }
  EXPECT_TRUE(reports.lines().empty());
}

TEST_F(SoxFiles, SampleReaderGivesTheTopSixteenBitsOfWhatSoxDecodes) {
  test::ReportCapture reports;
  for (const Generated& g : files_) {
    SCOPED_TRACE(g.path);
    // 32-bit output is exact for every sample width here; its top 16 bits
    // are what the reader promises.
    const std::string raw = g.path + ".raw";
    const std::string command = "sox -V1 '" + g.path + "' -t raw -e signed -b 32 -L '" + raw + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const auto expectedBytes = test::contents(test::FilePtr(std::fopen(raw.c_str(), "rb")).get());

    auto reader = SampleReader::open(g.path);
    ASSERT_TRUE(reader);
    const auto channels = static_cast<std::size_t>(reader->channels());
    // Per-channel reads in blocks of 100 frames, as the host's audio source does.
    std::vector<std::vector<std::int16_t>> perChannel(channels);
    std::vector<std::vector<std::int16_t>> blocks(channels, std::vector<std::int16_t>(100));
    std::vector<std::span<std::int16_t>> spans(blocks.begin(), blocks.end());
    std::size_t frames = 0;
    while ((frames = reader->read(spans)) > 0) {
      for (std::size_t c = 0; c < channels; ++c) {
        perChannel[c].insert(perChannel[c].end(), blocks[c].begin(),
                             blocks[c].begin() + static_cast<std::ptrdiff_t>(frames));
      }
    }
    EXPECT_TRUE(reader->atEnd());
    EXPECT_FALSE(reader->failed());
    ASSERT_EQ(perChannel[0].size() * channels * 4, expectedBytes.size());
    for (std::size_t i = 0; i < expectedBytes.size() / 4; ++i) {
      const auto expected = static_cast<std::int16_t>(
          static_cast<std::uint16_t>(expectedBytes[4 * i + 2] | expectedBytes[4 * i + 3] << 8));
      ASSERT_EQ(perChannel[i % channels][i / channels], expected) << "sample " << i;
    }
  }
  EXPECT_TRUE(reports.lines().empty());
}

}  // namespace
}  // namespace vornix
