// Number text of the CSV cells.
//
// Every cell of the export is a 32-bit float.  Its text is the shortest
// decimal that reads back as the same float (fewest significant digits; of
// several, the nearest), laid out positionally and never with an exponent:
// "0", "-0", "12.3", "0.0000001", "123456790" (the float 123456792 reads back
// from those fewer digits), "inf", "-inf".  NaN has no text: its field is
// left empty by the caller.
//
// Sample values are first rounded to one decimal in float32.  Most rounded
// values are q / 10 for a small integer q, and for those the shortest text is
// q's digits with one decimal place, written here without std::to_chars.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexoacq::export_::number {

// Room for the longest text write_float can produce: a subnormal written
// positionally ("-0." + 44 zeros + 9 digits) or FLT_MAX (39 digits).
inline constexpr std::size_t kMaxFloatText = 64;
inline constexpr std::size_t kMaxU16Text = 5;

// value * 10, to the nearest integral value (halfway cases away from zero),
// divided by 10, every step in float32.  NaN and infinities pass unchanged.
float round_one_decimal(float value) noexcept;

// Writes the text of a non-NaN float at out (at least kMaxFloatText bytes of
// room) and returns the end.  Works through std::to_chars' shortest
// scientific form; valid for every non-NaN float.
char* write_float_general(char* out, float value) noexcept;

// The text of round_one_decimal(value), or nullptr when that is NaN.
// Equal, byte for byte, to write_float_general(round_one_decimal(value)).
char* write_rounded(char* out, float value) noexcept;

// The text of a whole number converted to the nearest float32 (halfway cases
// to even): exact below 2^24, then the float's shortest text.
char* write_count(char* out, std::uint64_t value) noexcept;

// Decimal digits of a 16-bit value (labels and time positions).
char* write_u16(char* out, std::uint16_t value) noexcept;

}  // namespace vexoacq::export_::number
