// The 80-bit IEEE 754 extended-precision number of AIFF headers.
//
// Layout (10 bytes, big-endian): a sign bit and a 15-bit exponent biased by
// 16383, then a 64-bit mantissa whose top bit is the explicit integer bit.
// Every finite double converts exactly (its 53 mantissa bits fit the 64), so
// encodeExtended followed by decodeExtended gives back the same double.
//
// Thread safety: pure functions. Failure: none; every input has a result.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace vornix {

inline constexpr std::size_t kExtendedSize = 10;

// Encodes `value`. Zero of either sign gives ten zero bytes; infinities and
// NaNs give exponent 0x7FFF with the sign and a zero mantissa (infinity);
// values below the extended normal range are written denormalised with
// exponent 0 (no double is that small, so this path only matters for the
// rule, not in practice).
std::array<std::uint8_t, kExtendedSize> encodeExtended(double value) noexcept;

// Decodes ten bytes. Exponent 0 with a zero mantissa gives 0.0; exponent
// 0x7FFF gives an infinity of the stored sign; any other value is
// hi * 2^(e - 16414) + lo * 2^(e - 16446) (hi, lo: the mantissa halves),
// negated when the sign bit is set. Values beyond the double range become
// infinities, values below it become zero or a double denormal.
double decodeExtended(std::span<const std::uint8_t, kExtendedSize> bytes) noexcept;

}  // namespace vornix
