#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "sound_test_support.h"
#include "soundfile/extended_float.h"
#include "soundfile/sound_file.h"

namespace vornix {
namespace {

using test::Bytes;
using test::ReportCapture;

struct AiffLayout {
  bool aifc = false;
  std::uint32_t channels = 1;
  std::uint32_t frames = 2;
  std::uint32_t bits = 16;
  double rate = 8000.0;
  const char* compression = "NONE";
  std::uint32_t dataOffset = 0;
  std::uint32_t commSize = 0;  // 0: the natural size
};

std::vector<std::uint8_t> extended(double value) {
  const auto bytes = encodeExtended(value);
  return {bytes.begin(), bytes.end()};
}

// FORM, COMM, SSND with frames * channels * bytes-per-sample bytes of data.
std::vector<std::uint8_t> aiff(const AiffLayout& s) {
  const std::uint32_t dataBytes = s.frames * s.channels * ((s.bits + 7) / 8);
  Bytes comm;
  comm.be16(s.channels).be32(s.frames).be16(s.bits).raw(extended(s.rate));
  if (s.aifc) comm.tag(s.compression).raw({0});  // and an empty name (pstring + pad)
  if (s.aifc) comm.fill(1);
  Bytes b;
  b.tag("FORM").be32(0).tag(s.aifc ? "AIFC" : "AIFF");
  b.tag("COMM").be32(s.commSize != 0 ? s.commSize : static_cast<std::uint32_t>(comm.data.size()));
  b.raw(comm.data);
  b.tag("SSND").be32(8 + s.dataOffset + dataBytes).be32(s.dataOffset).be32(0);
  b.fill(s.dataOffset, 0xEE).fill(dataBytes, 0x22);
  if (dataBytes & 1U) b.fill(1);
  const auto formSize = static_cast<std::uint32_t>(b.data.size() - 8);
  for (std::size_t i = 0; i < 4; ++i)
    b.data[4 + i] = static_cast<std::uint8_t>(formSize >> (24 - 8 * i));
  return b.data;
}

SoundFilePtr openAiff(const std::vector<std::uint8_t>& bytes, SoundFormat& format,
                      test::FilePtr& file) {
  file = test::fileWith(bytes);
  return aiff_open(file.get(), format);
}

TEST(AiffHeader, CreatedAndFinishedHeaderReadsBack) {
  ReportCapture reports;
  test::FilePtr file = test::tempFile();
  SoundFilePtr written = aiff_create(file.get(), SoundFormat{16000, 16, 1, 0});
  ASSERT_TRUE(written);
  EXPECT_EQ(written->bigEndian, 1);
  EXPECT_EQ(written->sampleOffset, 0);
  const std::vector<std::uint8_t> samples(2000, 0x7F);
  std::fwrite(samples.data(), 1, samples.size(), file.get());
  written->samplesWritten = 1000;
  ASSERT_TRUE(aiff_finish(*written));

  const auto bytes = test::contents(file.get());
  ASSERT_EQ(bytes.size(), 2054U);
  EXPECT_EQ(test::readBe32(bytes, 4), 2046U);
  EXPECT_EQ(test::readBe32(bytes, 16), 18U);
  EXPECT_EQ(test::readBe32(bytes, 22), 1000U);
  EXPECT_EQ(test::readBe32(bytes, 42), 2008U);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 28, bytes.begin() + 38), extended(16000.0));

  std::rewind(file.get());
  SoundFormat format;
  SoundFilePtr read = aiff_open(file.get(), format);
  ASSERT_TRUE(read);
  EXPECT_EQ(format.rate, 16000);
  EXPECT_EQ(format.bits, 16);
  EXPECT_EQ(format.channels, 1);
  EXPECT_EQ(format.frames, 1000);
  EXPECT_EQ(std::ftell(file.get()), 54);
  EXPECT_EQ(read->bigEndian, 1);
  EXPECT_EQ(read->dataBytes, 2000U);
  EXPECT_TRUE(reports.lines().empty());
}

TEST(AiffFinish, OddDataGetsOnePadByteThatOnlyTheFormSizeCounts) {
  struct Case {
    std::int8_t bits;
    std::int8_t channels;
    std::int32_t samples;
    std::uint32_t dataBytes;
    bool padded;
  };
  const Case cases[] = {
      {8, 1, 3, 3, true},     // odd data: padded
      {24, 1, 3, 9, true},    // odd data: padded
      {16, 1, 3, 6, false},   // odd count, even data: no stray byte
      {16, 2, 6, 12, false},  // stereo: frames = samples / channels
  };
  for (const Case& c : cases) {
    ReportCapture reports;
    test::FilePtr file = test::tempFile();
    SoundFilePtr written = aiff_create(file.get(), SoundFormat{8000, c.bits, c.channels, 0});
    ASSERT_TRUE(written);
    const std::vector<std::uint8_t> samples(c.dataBytes, 0x33);
    std::fwrite(samples.data(), 1, samples.size(), file.get());
    written->samplesWritten = c.samples;
    ASSERT_TRUE(aiff_finish(*written));
    const auto bytes = test::contents(file.get());
    const std::uint32_t pad = c.padded ? 1 : 0;
    ASSERT_EQ(bytes.size(), 54 + c.dataBytes + pad) << int{c.bits};
    if (c.padded) {
      EXPECT_EQ(bytes.back(), 0);
    }
    EXPECT_EQ(test::readBe32(bytes, 4), c.dataBytes + pad + 46) << int{c.bits};
    EXPECT_EQ(test::readBe32(bytes, 42), c.dataBytes + 8) << int{c.bits};
    EXPECT_EQ(test::readBe32(bytes, 22), static_cast<std::uint32_t>(c.samples / c.channels));

    std::rewind(file.get());
    SoundFormat format;
    ASSERT_TRUE(aiff_open(file.get(), format));
    EXPECT_EQ(format.frames, c.samples / c.channels);
    EXPECT_TRUE(reports.lines().empty()) << reports.lines().front();
  }
}

TEST(AiffHeader, AifcIsAcceptedOnlyWithoutCompression) {
  {
    ReportCapture reports;
    test::FilePtr file;
    SoundFormat format;
    AiffLayout layout;
    layout.aifc = true;
    layout.rate = 22050.0;
    ASSERT_TRUE(openAiff(aiff(layout), format, file));
    EXPECT_EQ(format.rate, 22050);
    EXPECT_TRUE(reports.lines().empty());
  }
  for (const char* compression : {"ulaw", "sowt", "fl32"}) {
    ReportCapture reports;
    test::FilePtr file;
    SoundFormat format;
    AiffLayout layout;
    layout.aifc = true;
    layout.compression = compression;
    EXPECT_FALSE(openAiff(aiff(layout), format, file)) << compression;
    EXPECT_TRUE(reports.contains("aiff_open: bad format: compressed AIFF-C files not supported"));
  }
}

TEST(AiffHeader, WrongMagicGivesNullWithoutAReport) {
  ReportCapture reports;
  SoundFormat format;
  for (const auto& bytes :
       {Bytes().tag("RIFF").le32(4).tag("WAVE").data, Bytes().tag("FORM").be32(4).tag("8SVX").data,
        Bytes().tag("FOR").data}) {
    test::FilePtr file = test::fileWith(bytes);
    EXPECT_FALSE(aiff_open(file.get(), format));
  }
  EXPECT_TRUE(reports.lines().empty());
}

TEST(AiffHeader, DataOffsetAndRateTruncationAreHonoured) {
  ReportCapture reports;
  AiffLayout layout;
  layout.dataOffset = 4;
  layout.rate = 22050.7;
  test::FilePtr file;
  SoundFormat format;
  SoundFilePtr read = openAiff(aiff(layout), format, file);
  ASSERT_TRUE(read);
  EXPECT_EQ(format.rate, 22050);
  EXPECT_EQ(std::ftell(file.get()), 12 + 8 + 18 + 8 + 8 + 4);
  EXPECT_EQ(read->dataBytes, 4U);
  EXPECT_TRUE(reports.lines().empty());
}

TEST(AiffHeader, UnusableHeadersAreReportedAndRefused) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    const char* report;
  };
  auto with = [](auto change) {
    AiffLayout layout;
    change(layout);
    return aiff(layout);
  };
  Bytes noComm;
  noComm.tag("FORM").be32(4 + 16).tag("AIFF").tag("SSND").be32(8).be32(0).be32(0);
  Bytes noData;
  noData.tag("FORM").be32(4 + 26).tag("AIFF").tag("COMM").be32(18).be16(1).be32(0).be16(16);
  noData.raw(extended(8000.0));
  auto cutComm = noData.data;
  cutComm.resize(30);
  const Case cases[] = {
      {"no common chunk", noComm.data, "aiff_open: bad format: did not find common chunk"},
      {"no sound data", noData.data, "aiff_open: bad format: did not find sound data chunk"},
      {"empty form", Bytes().tag("FORM").be32(4).tag("AIFF").data, "did not find common chunk"},
      {"cut common chunk", cutComm, "aiff_open: bad format: EOF encountered in common chunk"},
      {"short common chunk", with([](AiffLayout& s) { s.commSize = 10; }),
       "common chunk too short"},
      {"zero channels", with([](AiffLayout& s) { s.channels = 0; }), "0 channels not supported"},
      {"zero bits", with([](AiffLayout& s) { s.bits = 0; }), "0 bits per sample not supported"},
      {"wide bits", with([](AiffLayout& s) {
         s.bits = 200;
         s.frames = 0;
       }),
       "200 bits"},
      {"zero rate", with([](AiffLayout& s) { s.rate = 0.0; }), "sample rate 0 not supported"},
      {"fractional rate", with([](AiffLayout& s) { s.rate = 0.5; }), "sample rate 0.5"},
      {"infinite rate", with([](AiffLayout& s) { s.rate = HUGE_VAL; }), "sample rate inf"},
      {"negative rate", with([](AiffLayout& s) { s.rate = -8000.0; }), "sample rate -8000"},
      {"rate beyond int32", with([](AiffLayout& s) { s.rate = 2147483648.0; }), "sample rate"},
  };
  for (const Case& c : cases) {
    ReportCapture reports;
    test::FilePtr file;
    SoundFormat format;
    EXPECT_FALSE(openAiff(c.bytes, format, file)) << c.name;
    EXPECT_TRUE(reports.contains(c.report)) << c.name;
  }
}

TEST(AiffHeader, FrameCountsBeyondInt32AndBadDataOffsetsAreRefused) {
  {
    ReportCapture reports;
    auto bytes = aiff(AiffLayout{});
    bytes[22] = 0x80;  // number of sample frames, high byte
    test::FilePtr file;
    SoundFormat format;
    EXPECT_FALSE(openAiff(bytes, format, file));
    EXPECT_TRUE(reports.contains("sample frames do not fit"));
  }
  {
    ReportCapture reports;
    auto bytes = aiff(AiffLayout{});
    bytes[46] = 0x7F;  // data offset far beyond the sound-data chunk
    test::FilePtr file;
    SoundFormat format;
    EXPECT_FALSE(openAiff(bytes, format, file));
    EXPECT_TRUE(reports.contains("sound data offset"));
  }
}

TEST(AiffCreate, RefusesNonPositiveNumbers) {
  ReportCapture reports;
  test::FilePtr file = test::tempFile();
  EXPECT_FALSE(aiff_create(file.get(), SoundFormat{0, 16, 1, 0}));
  EXPECT_FALSE(aiff_create(file.get(), SoundFormat{8000, -8, 1, 0}));
  EXPECT_FALSE(aiff_create(file.get(), SoundFormat{8000, 16, 0, 0}));
  EXPECT_EQ(reports.lines().size(), 3U);
  EXPECT_EQ(std::ftell(file.get()), 0);
}

}  // namespace
}  // namespace vornix
