#include "soundfile/extended_float.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace vornix {
namespace {

using Bytes10 = std::array<std::uint8_t, kExtendedSize>;

TEST(ExtendedFloat, CommonRatesRoundTripAndHaveTheirKnownEncoding) {
  for (double rate :
       {8000.0, 11025.0, 16000.0, 22050.0, 32000.0, 44100.0, 48000.0, 88200.0, 96000.0, 192000.0}) {
    const Bytes10 bytes = encodeExtended(rate);
    EXPECT_EQ(decodeExtended(bytes), rate) << rate;
    EXPECT_EQ(bytes[2] & 0x80, 0x80) << "explicit integer bit set for " << rate;
  }
  // 44100 = 0xAC44 * 2^0: exponent 16383 + 15, mantissa 0xAC44 << 48.
  EXPECT_EQ(encodeExtended(44100.0), (Bytes10{0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(encodeExtended(16000.0), (Bytes10{0x40, 0x0C, 0xFA, 0x00, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(encodeExtended(1.0), (Bytes10{0x3F, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(ExtendedFloat, ZeroOfEitherSignIsTenZeroBytes) {
  EXPECT_EQ(encodeExtended(0.0), Bytes10{});
  EXPECT_EQ(encodeExtended(-0.0), Bytes10{});
  EXPECT_EQ(decodeExtended(Bytes10{}), 0.0);
}

TEST(ExtendedFloat, ExtremeAndNegativeValuesRoundTripExactly) {
  const double values[] = {
      std::numeric_limits<double>::denorm_min(),
      std::numeric_limits<double>::min() / 3.0,  // a double denormal
      std::numeric_limits<double>::min(),
      std::numeric_limits<double>::max(),
      1e300,
      -44100.0,
      -1e-300,
      -std::numeric_limits<double>::max(),
      0.1,
      1.0 / 3.0,
  };
  for (double value : values) EXPECT_EQ(decodeExtended(encodeExtended(value)), value) << value;
}

TEST(ExtendedFloat, InfinityUsesTheMaximumExponentWithAZeroMantissa) {
  EXPECT_EQ(encodeExtended(HUGE_VAL), (Bytes10{0x7F, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(encodeExtended(-HUGE_VAL), (Bytes10{0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(decodeExtended(Bytes10{0x7F, 0xFF, 0xC0, 0, 0, 0, 0, 0, 0, 1}), HUGE_VAL);
  EXPECT_EQ(decodeExtended(Bytes10{0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}), -HUGE_VAL);
}

TEST(ExtendedFloat, ValuesOutsideTheDoubleRangeSaturateWithoutFault) {
  // Largest finite extended exponent: far beyond the double range.
  EXPECT_EQ(decodeExtended(Bytes10{0x7F, 0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0}), HUGE_VAL);
  // An extended denormal is far below the smallest double.
  EXPECT_EQ(decodeExtended(Bytes10{0x00, 0x00, 0x40, 0, 0, 0, 0, 0, 0, 0}), 0.0);
  // Mantissa halves: the last bit of the high half is 2^-31; the last bit of
  // the low half (2^-63) is below double precision and rounds away.
  EXPECT_EQ(decodeExtended(Bytes10{0x3F, 0xFF, 0x80, 0, 0, 0x01, 0, 0, 0, 0}),
            1.0 + std::ldexp(1.0, -31));
  EXPECT_EQ(decodeExtended(Bytes10{0x3F, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 0x01}), 1.0);
  EXPECT_EQ(decodeExtended(Bytes10{0x3F, 0xFF, 0x80, 0, 0, 0, 0, 0, 0x08, 0}),
            1.0 + std::ldexp(1.0, -52));
}

}  // namespace
}  // namespace vornix
