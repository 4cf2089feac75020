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

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

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
inline char* write_rounded(char* out, float value) noexcept;

// The text of a whole number converted to the nearest float32 (halfway cases
// to even): exact below 2^24, then the float's shortest text.
char* write_count(char* out, std::uint64_t value) noexcept;

// Decimal digits of a 16-bit value (labels and time positions); stores at
// most kMaxU16Text bytes.
inline char* write_u16(char* out, std::uint16_t value) noexcept;

// The two writers called for every cell are defined here so that the row
// loop inlines them: sample values below 10000 and 16-bit values below
// 10000 take their digits from one table of four-digit words.
namespace detail {

// "0000" to "9999", each as one little-endian word (lowest byte the most
// significant digit).
struct FourDigits {
    std::uint32_t words[10000];
    constexpr FourDigits() : words() {
        for (std::uint32_t v = 0; v < 10000; ++v) {
            words[v] = ('0' + v / 1000) | (('0' + v / 100 % 10) << 8) | (('0' + v / 10 % 10) << 16) |
                       (('0' + v % 10) << 24);
        }
    }
};
inline constexpr FourDigits kFourDigits{};

// Digits of v < 10000 at out, no leading zeros ("0" for 0); stores 4 bytes.
inline char* write_small(char* out, std::uint32_t v) noexcept {
    static_assert(std::endian::native == std::endian::little, "digit words are laid out little-endian");
    const unsigned n = 1u + (v >= 10 ? 1u : 0u) + (v >= 100 ? 1u : 0u) + (v >= 1000 ? 1u : 0u);
    const std::uint32_t word = kFourDigits.words[v] >> (8 * (4 - n));
    std::memcpy(out, &word, 4);
    return out + n;
}

// The text of a value whose scaled value (value * 10) lies where the
// truncation of its magnitude and the remainder are exact: q = |scaled|
// rounded half away from zero, then the sign, q / 10 by `Whole` and ".d"
// when q % 10 is not 0.  No branch on the data: sample values round either
// way at random.
template <char* (*Whole)(char*, std::uint32_t) noexcept>
inline char* write_tenths(char* out, float scaled) noexcept {
    const float magnitude = std::fabs(scaled);
    auto q = static_cast<std::uint32_t>(magnitude);
    q += static_cast<std::uint32_t>(magnitude - static_cast<float>(q) >= 0.5f);
    *out = '-';
    out += std::signbit(scaled) ? 1 : 0;
    out = Whole(out, q / 10);
    const std::uint32_t tenth = q % 10;
    out[0] = '.';
    out[1] = static_cast<char>('0' + tenth);
    return out + (tenth != 0 ? 2 : 0);
}

// write_rounded for every value, the ones the inline path leaves included.
char* write_rounded_rest(char* out, float value) noexcept;

}  // namespace detail

inline char* write_rounded(char* out, float value) noexcept {
    const float scaled = value * 10.0f;
    // Below 99999 tenths the whole part has at most four digits.  NaN fails
    // the test too.
    if (!(std::fabs(scaled) < 99999.0f)) [[unlikely]]
        return detail::write_rounded_rest(out, value);
    return detail::write_tenths<detail::write_small>(out, scaled);
}

inline char* write_u16(char* out, std::uint16_t value) noexcept {
    const unsigned v = value;
    if (v < 10000) return detail::write_small(out, v);
    *out = static_cast<char>('0' + v / 10000);
    std::memcpy(out + 1, &detail::kFourDigits.words[v % 10000], 4);
    return out + 5;
}

}  // namespace vexoacq::export_::number
