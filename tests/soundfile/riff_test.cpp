#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <vector>

#include "sound_test_support.h"
#include "soundfile/sound_file.h"

namespace vornix {
namespace {

using test::Bytes;
using test::ReportCapture;

// A canonical WAVE file: "fmt " of 16 bytes, then "data".
Bytes wave(std::uint32_t channels, std::uint32_t rate, std::uint32_t bits, std::uint32_t dataSize,
           std::uint32_t tag = 1) {
  const std::uint32_t bytesPer = (bits + 7) / 8;
  Bytes b;
  b.tag("RIFF").le32(36 + dataSize).tag("WAVE");
  b.tag("fmt ").le32(16).le16(tag).le16(channels).le32(rate);
  b.le32(rate * channels * bytesPer).le16(channels * bytesPer).le16(bits);
  b.tag("data").le32(dataSize).fill(dataSize, 0x11);
  return b;
}

// The extensible layout with the given sub-format code in the GUID's first bytes.
Bytes extensibleWave(std::uint16_t subFormat, std::uint32_t bits) {
  Bytes b;
  b.tag("RIFF").le32(4 + 48 + 8 + 12).tag("WAVE");
  b.tag("fmt ").le32(40).le16(0xFFFE).le16(2).le32(48000).le32(48000 * 2 * 3).le16(6).le16(bits);
  b.le16(22).le16(bits).le32(3);
  b.le16(subFormat).raw(
      {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71});
  b.tag("data").le32(12).fill(12);
  return b;
}

TEST(RiffHeader, SixteenBitMonoFinishedAfterAThousandSamplesReadsBack) {
  ReportCapture reports;
  test::FilePtr file = test::tempFile();
  ASSERT_TRUE(file);
  SoundFilePtr written = riff_create(file.get(), SoundFormat{16000, 16, 1, 0});
  ASSERT_TRUE(written);
  EXPECT_EQ(written->bigEndian, 0);
  EXPECT_EQ(written->sampleOffset, 0);
  const std::vector<std::uint8_t> samples(2000, 0x5A);
  ASSERT_EQ(std::fwrite(samples.data(), 1, samples.size(), file.get()), samples.size());
  written->samplesWritten = 1000;
  written->mode = 1;
  ASSERT_TRUE(riff_finish(*written));

  const auto bytes = test::contents(file.get());
  ASSERT_EQ(bytes.size(), 2044U);
  EXPECT_EQ(test::readLe32(bytes, 4), 2036U);
  EXPECT_EQ(test::readLe32(bytes, 40), 2000U);
  EXPECT_EQ(test::readLe32(bytes, 24), 16000U);  // rate
  EXPECT_EQ(test::readLe32(bytes, 28), 32000U);  // bytes per second
  EXPECT_EQ(bytes[32], 2);                       // block alignment
  EXPECT_EQ(bytes[34], 16);                      // bits

  std::rewind(file.get());
  SoundFormat format;
  SoundFilePtr read = riff_open(file.get(), format);
  ASSERT_TRUE(read);
  EXPECT_EQ(format.rate, 16000);
  EXPECT_EQ(format.bits, 16);
  EXPECT_EQ(format.channels, 1);
  EXPECT_EQ(format.frames, 1000);
  EXPECT_EQ(std::ftell(file.get()), 44);
  EXPECT_EQ(read->dataBytes, 2000U);
  EXPECT_TRUE(reports.lines().empty());
}

TEST(RiffHeader, EightBitSamplesAreUnsignedAndOddDataIsPadded) {
  ReportCapture reports;
  test::FilePtr file = test::tempFile();
  SoundFilePtr written = riff_create(file.get(), SoundFormat{8000, 8, 1, 0});
  ASSERT_TRUE(written);
  EXPECT_EQ(written->sampleOffset, 128);
  const std::uint8_t samples[3] = {1, 2, 3};
  std::fwrite(samples, 1, 3, file.get());
  written->samplesWritten = 3;
  ASSERT_TRUE(riff_finish(*written));
  const auto bytes = test::contents(file.get());
  ASSERT_EQ(bytes.size(), 48U);              // 44 + 3 + pad
  EXPECT_EQ(bytes[47], 0);                   // the pad byte
  EXPECT_EQ(test::readLe32(bytes, 4), 40U);  // counts the pad
  EXPECT_EQ(test::readLe32(bytes, 40), 3U);  // does not

  std::rewind(file.get());
  SoundFormat format;
  SoundFilePtr read = riff_open(file.get(), format);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->sampleOffset, 128);
  EXPECT_EQ(format.frames, 3);

  test::FilePtr wide = test::fileWith(wave(1, 8000, 16, 4).data);
  SoundFilePtr wideRead = riff_open(wide.get(), format);
  ASSERT_TRUE(wideRead);
  EXPECT_EQ(wideRead->sampleOffset, 0);
  EXPECT_TRUE(reports.lines().empty());
}

TEST(RiffHeader, WrongMagicGivesNullWithoutAReport) {
  ReportCapture reports;
  SoundFormat format;
  for (const auto& bytes :
       {Bytes().tag("FORM").be32(4).tag("AIFF").data, Bytes().tag("RIFF").le32(4).tag("AVI ").data,
        Bytes().tag("RI").data, std::vector<std::uint8_t>{}}) {
    test::FilePtr file = test::fileWith(bytes);
    EXPECT_FALSE(riff_open(file.get(), format));
  }
  EXPECT_TRUE(reports.lines().empty());
}

TEST(RiffHeader, UnusableHeadersAreReportedAndRefused) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    const char* report;
  };
  Bytes noData;
  noData.tag("RIFF").le32(28).tag("WAVE").tag("fmt ").le32(16).le16(1).le16(1).le32(8000);
  noData.le32(16000).le16(2).le16(16);
  Bytes noFormat;
  noFormat.tag("RIFF").le32(14).tag("WAVE").tag("data").le32(2).le16(0);
  const Case cases[] = {
      {"float", wave(1, 8000, 32, 8, 3).data, "riff_open: bad format: only PCM data is supported"},
      {"adpcm", wave(1, 8000, 4, 8, 0x11).data, "only PCM data is supported"},
      {"extensible float", extensibleWave(3, 32).data, "only PCM data is supported"},
      {"no data", noData.data, "riff_open: bad format: data chunk not found"},
      {"no format", noFormat.data, "riff_open: bad format: format chunk not found"},
      {"empty form", Bytes().tag("RIFF").le32(4).tag("WAVE").data, "format chunk not found"},
      {"zero channels", wave(0, 8000, 16, 4).data, "0 channels not supported"},
      {"too many channels", wave(200, 8000, 16, 4).data, "200 channels not supported"},
      {"zero bits", wave(1, 8000, 0, 4).data, "0 bits per sample not supported"},
      {"too many bits", wave(1, 8000, 128, 4).data, "128 bits per sample not supported"},
      {"zero rate", wave(1, 0, 16, 4).data, "sample rate 0 not supported"},
      {"rate beyond int32", wave(1, 0x80000000U, 16, 4).data, "sample rate"},
      {"short format chunk",
       Bytes()
           .tag("RIFF")
           .le32(30)
           .tag("WAVE")
           .tag("fmt ")
           .le32(10)
           .fill(10)
           .tag("data")
           .le32(0)
           .data,
       "format chunk too short"},
  };
  for (const Case& c : cases) {
    ReportCapture reports;
    test::FilePtr file = test::fileWith(c.bytes);
    SoundFormat format;
    EXPECT_FALSE(riff_open(file.get(), format)) << c.name;
    EXPECT_TRUE(reports.contains(c.report)) << c.name;
  }
}

TEST(RiffHeader, ExtensibleLayoutWithPcmSubFormatIsPlainPcm) {
  ReportCapture reports;
  test::FilePtr file = test::fileWith(extensibleWave(1, 24).data);
  SoundFormat format;
  SoundFilePtr read = riff_open(file.get(), format);
  ASSERT_TRUE(read);
  EXPECT_EQ(format.bits, 24);
  EXPECT_EQ(format.channels, 2);
  EXPECT_EQ(format.rate, 48000);
  EXPECT_EQ(format.frames, 4);  // 12 bytes / 3 bytes per sample
  EXPECT_EQ(std::ftell(file.get()), 68);
  EXPECT_TRUE(reports.lines().empty());
}

TEST(RiffChunkWalk, OddChunksArePaddedAndUnknownChunksSkipped) {
  ReportCapture reports;
  Bytes b;
  b.tag("RIFF").le32(0).tag("WAVE");
  b.tag("LIST").le32(3).raw({'a', 'b', 'c'}).fill(1);  // odd content + pad
  b.tag("fmt ").le32(16).le16(1).le16(1).le32(22050).le32(44100).le16(2).le16(16);
  b.tag("fact").le32(4).le32(2);
  b.tag("data").le32(4).le16(7).le16(8);
  const auto size = static_cast<std::uint32_t>(b.data.size() - 8);
  for (int i = 0; i < 4; ++i)
    b.data[4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(size >> (8 * i));
  test::FilePtr file = test::fileWith(b.data);
  SoundFormat format;
  ASSERT_TRUE(riff_open(file.get(), format));
  EXPECT_EQ(format.rate, 22050);
  EXPECT_EQ(format.frames, 2);
  EXPECT_EQ(std::ftell(file.get()), static_cast<long>(b.data.size() - 4));
  EXPECT_TRUE(reports.lines().empty());
}

TEST(RiffChunkWalk, SizesThatLeaveTheFileEndTheWalkWithAReport) {
  {  // A chunk declaring almost 4 GiB in a tiny file: no endless walk, no garbage.
    ReportCapture reports;
    Bytes b;
    b.tag("RIFF").le32(0xFFFFFFF0U).tag("WAVE").tag("junk").le32(0xFFFFFFF0U).fill(8);
    test::FilePtr file = test::fileWith(b.data);
    SoundFormat format;
    EXPECT_FALSE(riff_open(file.get(), format));
    EXPECT_TRUE(reports.contains("past the end of the file"));
    EXPECT_TRUE(reports.contains("format chunk not found"));
  }
  {  // A form that claims more than the file holds ends at the file's end.
    ReportCapture reports;
    Bytes b = wave(1, 8000, 16, 4);
    b.data[4] = 0xFF;
    b.data[5] = 0xFF;
    test::FilePtr file = test::fileWith(b.data);
    SoundFormat format;
    EXPECT_TRUE(riff_open(file.get(), format));
    EXPECT_TRUE(reports.contains("EOF encountered where chunk expected"));
  }
  {  // A data chunk cut short is still usable; the shortfall is reported.
    ReportCapture reports;
    Bytes b = wave(1, 8000, 16, 100);
    b.data.resize(b.data.size() - 50);
    test::FilePtr file = test::fileWith(b.data);
    SoundFormat format;
    SoundFilePtr read = riff_open(file.get(), format);
    ASSERT_TRUE(read);
    EXPECT_EQ(format.frames, 50);  // as declared
    EXPECT_TRUE(reports.contains("past the end of the file"));
  }
  {  // Eight-bit data declared beyond the signed 32-bit frame count.
    ReportCapture reports;
    Bytes b = wave(1, 8000, 8, 0);
    b.data[40] = 0;
    b.data[41] = 0;
    b.data[42] = 0;
    b.data[43] = 0x90;
    test::FilePtr file = test::fileWith(b.data);
    SoundFormat format;
    EXPECT_FALSE(riff_open(file.get(), format));
    EXPECT_TRUE(reports.contains("samples do not fit"));
  }
}

TEST(RiffCreate, RefusesFormatsTheHeaderCannotHoldAndReportsFailedWrites) {
  ReportCapture reports;
  test::FilePtr file = test::tempFile();
  EXPECT_FALSE(riff_create(file.get(), SoundFormat{INT32_MAX, 32, 127, 0}));
  EXPECT_TRUE(reports.contains("bytes per second do not fit"));
  EXPECT_FALSE(riff_create(file.get(), SoundFormat{8000, 0, 1, 0}));
  EXPECT_FALSE(riff_create(file.get(), SoundFormat{8000, 16, -1, 0}));
  EXPECT_FALSE(riff_create(file.get(), SoundFormat{0, 16, 1, 0}));
  EXPECT_EQ(std::ftell(file.get()), 0) << "nothing written for a refused format";

  test::TempDir dir;
  const auto path = dir.path() / "readonly.wav";
  { test::FilePtr make(std::fopen(path.string().c_str(), "wb")); }
  test::FilePtr readOnly(std::fopen(path.string().c_str(), "rb"));
  ASSERT_TRUE(readOnly);
  reports.lines().clear();
  // A failed header write is a failure, not a record that looks fine.
  EXPECT_FALSE(riff_create(readOnly.get(), SoundFormat{8000, 16, 1, 0}));
  EXPECT_TRUE(reports.contains("riff_create: cannot write the header"));
}

TEST(RiffFinish, DoesNothingUnlessWritingAndRefusesBadCounts) {
  ReportCapture reports;
  test::FilePtr file = test::tempFile();
  SoundFilePtr written = riff_create(file.get(), SoundFormat{8000, 16, 1, 0});
  ASSERT_TRUE(written);
  written->mode = 0;
  written->samplesWritten = 10;
  EXPECT_TRUE(riff_finish(*written));
  EXPECT_EQ(test::readLe32(test::contents(file.get()), 40), 0xDEADBEEFU);

  written->mode = 1;
  written->samplesWritten = -1;
  EXPECT_FALSE(riff_finish(*written));
  EXPECT_TRUE(reports.contains("riff_finish: bad record"));
}

}  // namespace
}  // namespace vornix
