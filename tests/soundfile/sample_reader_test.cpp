#include "soundfile/sample_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sound_test_support.h"

namespace vornix {
namespace {

using test::Bytes;
using test::ReportCapture;

std::filesystem::path writeFile(const test::TempDir& dir, const char* name,
                                const std::vector<std::uint8_t>& bytes) {
  const auto path = dir.path() / name;
  test::FilePtr file(std::fopen(path.string().c_str(), "wb"));
  if (file && !bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file.get());
  return path;
}

Bytes waveHeader(std::uint32_t channels, std::uint32_t bits, std::uint32_t dataSize) {
  const std::uint32_t bytesPer = (bits + 7) / 8;
  Bytes b;
  b.tag("RIFF").le32(36 + dataSize).tag("WAVE");
  b.tag("fmt ").le32(16).le16(1).le16(channels).le32(8000);
  b.le32(8000 * channels * bytesPer).le16(channels * bytesPer).le16(bits);
  b.tag("data").le32(dataSize);
  return b;
}

Bytes aiffHeader(std::uint32_t channels, std::uint32_t bits, std::uint32_t frames) {
  const std::uint32_t dataSize = frames * channels * ((bits + 7) / 8);
  Bytes b;
  b.tag("FORM").be32(46 + dataSize).tag("AIFF");
  b.tag("COMM").be32(18).be16(channels).be32(frames).be16(bits);
  b.raw({0x40, 0x0B, 0xFA, 0, 0, 0, 0, 0, 0, 0});  // 8000 Hz
  b.tag("SSND").be32(8 + dataSize).be32(0).be32(0);
  return b;
}

std::vector<std::int16_t> readAll(SampleReader& reader) {
  std::vector<std::int16_t> all;
  std::vector<std::int16_t> block(7 * static_cast<std::size_t>(reader.channels()));
  std::size_t frames = 0;
  while ((frames = reader.readInterleaved(block)) > 0) {
    all.insert(all.end(), block.begin(),
               block.begin() + static_cast<std::ptrdiff_t>(frames) * reader.channels());
  }
  return all;
}

TEST(SampleReader, DecodesEverySampleWidthInTheFilesByteOrder) {
  ReportCapture reports;
  test::TempDir dir;
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::vector<std::int16_t> expected;
  };
  const Case cases[] = {
      {"u8.wav", waveHeader(1, 8, 3).raw({0x00, 0x80, 0xFF}).fill(1).data, {-32768, 0, 32512}},
      {"s8.aiff", aiffHeader(1, 8, 3).raw({0x80, 0x00, 0x7F}).fill(1).data, {-32768, 0, 32512}},
      {"s16le.wav", waveHeader(1, 16, 4).raw({0x34, 0x12, 0xFF, 0xFF}).data, {0x1234, -1}},
      {"s16be.aiff", aiffHeader(1, 16, 2).raw({0x12, 0x34, 0x80, 0x00}).data, {0x1234, -32768}},
      {"s24le.wav",
       waveHeader(1, 24, 6).raw({0xAA, 0x34, 0x12, 0xFF, 0xFF, 0xFF}).data,
       {0x1234, -1}},
      {"s24be.aiff",
       aiffHeader(1, 24, 2).raw({0x12, 0x34, 0xAA, 0x80, 0x00, 0x01}).data,
       {0x1234, -32768}},
      {"s32le.wav",
       waveHeader(1, 32, 8).raw({1, 2, 0x34, 0x12, 0, 0, 0, 0x80}).data,
       {0x1234, -32768}},
      {"s32be.aiff", aiffHeader(1, 32, 2).raw({0x7F, 0xFF, 9, 9, 0, 1, 0, 0}).data, {32767, 1}},
      {"stereo.wav", waveHeader(2, 16, 8).raw({1, 0, 2, 0, 3, 0, 4, 0}).data, {1, 2, 3, 4}},
  };
  for (const Case& c : cases) {
    auto reader = SampleReader::open(writeFile(dir, c.name, c.bytes));
    ASSERT_TRUE(reader) << c.name;
    EXPECT_EQ(readAll(*reader), c.expected) << c.name;
    EXPECT_TRUE(reader->atEnd()) << c.name;
    EXPECT_FALSE(reader->failed()) << c.name;
  }
  EXPECT_TRUE(reports.lines().empty());
}

TEST(SampleReader, TruncatedDataEndsCleanlyAndTrailingChunksAreNotSamples) {
  test::TempDir dir;
  {  // Declared 4 stereo 16-bit frames; the file ends 3 bytes into the 3rd frame.
    ReportCapture reports;
    auto bytes = waveHeader(2, 16, 16).raw({1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6}).data;
    auto reader = SampleReader::open(writeFile(dir, "cut.wav", bytes));
    ASSERT_TRUE(reader);
    EXPECT_EQ(readAll(*reader), (std::vector<std::int16_t>{1, 2, 3, 4}));
    EXPECT_TRUE(reader->atEnd());
    EXPECT_FALSE(reader->failed());
    EXPECT_TRUE(reports.contains("past the end of the file"));
  }
  {  // A chunk after the data is not read as samples.
    ReportCapture reports;
    Bytes b = waveHeader(1, 16, 4).raw({7, 0, 8, 0}).tag("LIST").le32(4).tag("INFO");
    b.data[4] = static_cast<std::uint8_t>(b.data.size() - 8);
    auto reader = SampleReader::open(writeFile(dir, "list.wav", b.data));
    ASSERT_TRUE(reader);
    EXPECT_EQ(readAll(*reader), (std::vector<std::int16_t>{7, 8}));
    EXPECT_TRUE(reports.lines().empty());
  }
}

TEST(SampleReader, FramesSplitAcrossReadBlocksStayWhole) {
  ReportCapture reports;
  test::TempDir dir;
  // 3 channels of 24 bits: 9-byte frames, which do not divide the read block.
  constexpr std::uint32_t kFrames = 20000;
  Bytes b = waveHeader(3, 24, kFrames * 9);
  for (std::uint32_t f = 0; f < kFrames; ++f) {
    for (std::uint32_t c = 0; c < 3; ++c) {
      const std::uint32_t value = (f * 3 + c) & 0x7FFF;
      b.raw({0x55, static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)});
    }
  }
  auto reader = SampleReader::open(writeFile(dir, "three.wav", b.data));
  ASSERT_TRUE(reader);
  std::vector<std::int16_t> c0(1024), c1(1024), c2(1024);
  const std::array<std::span<std::int16_t>, 3> spans{c0, c1, c2};
  std::uint32_t frame = 0;
  std::size_t got = 0;
  while ((got = reader->read(spans)) > 0) {
    for (std::size_t k = 0; k < got; ++k, ++frame) {
      ASSERT_EQ(c0[k], static_cast<std::int16_t>((frame * 3) & 0x7FFF)) << frame;
      ASSERT_EQ(c2[k], static_cast<std::int16_t>((frame * 3 + 2) & 0x7FFF)) << frame;
    }
  }
  EXPECT_EQ(frame, kFrames);
  const std::array<std::span<std::int16_t>, 2> tooFew{c0, c1};
  EXPECT_EQ(reader->read(tooFew), 0U);
  EXPECT_TRUE(reports.lines().empty());
}

TEST(SampleReader, RefusesWhatItCannotReadWithAReport) {
  test::TempDir dir;
  const std::pair<std::filesystem::path, const char*> cases[] = {
      {dir.path() / "missing.wav", "cannot open"},
      {writeFile(dir, "text.wav", Bytes().tag("abcd").tag("efgh").data), "neither"},
      {writeFile(dir, "empty.wav", {}), "neither"},
      {writeFile(dir, "wide.wav", waveHeader(1, 40, 5).fill(5).data), "40-bit samples"},
      {writeFile(dir, "float.wav", Bytes().tag("RIFF").le32(4).tag("WAVE").data), "not found"},
  };
  for (const auto& [path, report] : cases) {
    ReportCapture reports;
    EXPECT_FALSE(SampleReader::open(path)) << path;
    EXPECT_TRUE(reports.contains(report)) << path;
  }
}

}  // namespace
}  // namespace vornix
