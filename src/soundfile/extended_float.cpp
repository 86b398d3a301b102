#include "soundfile/extended_float.h"

#include <cmath>

namespace vornix {

namespace {

constexpr int kBias = 16383;
constexpr unsigned kMaxExponent = 0x7FFF;

void storeBig32(std::uint8_t* out, std::uint32_t value) noexcept {
  out[0] = static_cast<std::uint8_t>(value >> 24);
  out[1] = static_cast<std::uint8_t>(value >> 16);
  out[2] = static_cast<std::uint8_t>(value >> 8);
  out[3] = static_cast<std::uint8_t>(value);
}

std::uint32_t loadBig32(const std::uint8_t* in) noexcept {
  return (std::uint32_t{in[0]} << 24) | (std::uint32_t{in[1]} << 16) | (std::uint32_t{in[2]} << 8) |
         std::uint32_t{in[3]};
}

}  // namespace

std::array<std::uint8_t, kExtendedSize> encodeExtended(double value) noexcept {
  std::array<std::uint8_t, kExtendedSize> out{};
  const unsigned sign = std::signbit(value) ? 0x8000U : 0U;
  const double magnitude = std::fabs(value);
  if (magnitude == 0.0) return out;  // ten zero bytes, whatever the sign

  unsigned exponent = 0;
  std::uint32_t hi = 0;
  std::uint32_t lo = 0;
  int binaryExponent = 0;
  double mantissa = std::isfinite(magnitude) ? std::frexp(magnitude, &binaryExponent) : 0.0;
  if (!std::isfinite(magnitude) || binaryExponent > 16384) {
    exponent = kMaxExponent;
  } else {
    // frexp gives mantissa in [0.5, 1), so the biased exponent of the
    // explicit-integer-bit form is binaryExponent + 16382.
    int biased = binaryExponent + kBias - 1;
    if (biased < 0) {
      mantissa = std::ldexp(mantissa, biased);
      biased = 0;
    }
    exponent = static_cast<unsigned>(biased);
    // Both halves lie in [0, 2^32) by construction, so the conversions are in range.
    double scaled = std::ldexp(mantissa, 32);
    double whole = std::floor(scaled);
    hi = static_cast<std::uint32_t>(whole);
    scaled = std::ldexp(scaled - whole, 32);
    whole = std::floor(scaled);
    lo = static_cast<std::uint32_t>(whole);
  }
  const unsigned head = sign | exponent;
  out[0] = static_cast<std::uint8_t>(head >> 8);
  out[1] = static_cast<std::uint8_t>(head);
  storeBig32(out.data() + 2, hi);
  storeBig32(out.data() + 6, lo);
  return out;
}

double decodeExtended(std::span<const std::uint8_t, kExtendedSize> bytes) noexcept {
  const unsigned head = (unsigned{bytes[0]} << 8) | unsigned{bytes[1]};
  const bool negative = (head & 0x8000U) != 0;
  const int exponent = static_cast<int>(head & kMaxExponent);
  const std::uint32_t hi = loadBig32(bytes.data() + 2);
  const std::uint32_t lo = loadBig32(bytes.data() + 6);

  double value = 0.0;
  if (exponent == 0 && hi == 0 && lo == 0) {
    value = 0.0;
  } else if (exponent == static_cast<int>(kMaxExponent)) {
    value = HUGE_VAL;
  } else {
    value = std::ldexp(static_cast<double>(hi), exponent - kBias - 31) +
            std::ldexp(static_cast<double>(lo), exponent - kBias - 63);
  }
  return negative ? -value : value;
}

}  // namespace vornix
