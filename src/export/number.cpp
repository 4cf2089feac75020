#include "export/number.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace vexoacq::export_::number {

namespace {

constexpr char kDigitPairs[201] =
    "00010203040506070809"
    "10111213141516171819"
    "20212223242526272829"
    "30313233343536373839"
    "40414243444546474849"
    "50515253545556575859"
    "60616263646566676869"
    "70717273747576777879"
    "80818283848586878889"
    "90919293949596979899";

unsigned digit_count(std::uint32_t v) noexcept {
    unsigned n = 1;
    for (;;) {
        if (v < 10) return n;
        if (v < 100) return n + 1;
        if (v < 1000) return n + 2;
        if (v < 10000) return n + 3;
        v /= 10000;
        n += 4;
    }
}

// Decimal digits of v, no leading zeros ("0" for 0), written from the end.
char* write_u32(char* out, std::uint32_t v) noexcept {
    char* const end = out + digit_count(v);
    char* p = end;
    while (v >= 100) {
        const std::uint32_t pair = v % 100;
        v /= 100;
        p -= 2;
        std::memcpy(p, kDigitPairs + 2 * pair, 2);
    }
    if (v >= 10) {
        std::memcpy(p - 2, kDigitPairs + 2 * v, 2);
    } else {
        p[-1] = static_cast<char>('0' + v);
    }
    return end;
}

// Below this magnitude of value * 10 the rounded value q / 10 lies under
// 500000, where float32 spacing is at most 1/32: no other decimal with one
// fractional digit or fewer reads back as the same float, so q's digits are
// the shortest text.  (The tests compare this path with the general one for
// every q in range.)
constexpr float kFastLimit = 5'000'000.0f;

}  // namespace

float round_one_decimal(float value) noexcept {
    const float scaled = value * 10.0f;
    return std::round(scaled) / 10.0f;
}

char* write_float_general(char* out, float value) noexcept {
    if (std::isinf(value)) {
        if (value < 0) *out++ = '-';
        std::memcpy(out, "inf", 3);
        return out + 3;
    }
    // Shortest round-trip digits in scientific form: "-d.ddde+XX".
    char sci[32];
    const auto res = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
    const char* p = sci;
    const char* const end = res.ptr;
    if (*p == '-') {
        *out++ = '-';
        ++p;
    }
    char digits[16];
    std::size_t n = 0;
    while (p < end && *p != 'e') {
        if (*p != '.' && n < sizeof digits) digits[n++] = *p;
        ++p;
    }
    int exponent = 0;
    if (p < end) {
        std::from_chars(p + (p[1] == '+' ? 2 : 1), end, exponent);
    }
    if (n == 1 && digits[0] == '0') {
        *out++ = '0';
        return out;
    }
    // `point` digits stand before the decimal point.
    const int point = exponent + 1;
    const int count = static_cast<int>(n);
    if (point <= 0) {
        *out++ = '0';
        *out++ = '.';
        const auto zeros = static_cast<std::size_t>(-point);
        std::memset(out, '0', zeros);
        out += zeros;
        std::memcpy(out, digits, n);
        return out + n;
    }
    if (point >= count) {
        std::memcpy(out, digits, n);
        out += n;
        const auto zeros = static_cast<std::size_t>(point - count);
        std::memset(out, '0', zeros);
        return out + zeros;
    }
    const auto whole = static_cast<std::size_t>(point);
    std::memcpy(out, digits, whole);
    out += whole;
    *out++ = '.';
    std::memcpy(out, digits + whole, n - whole);
    return out + (n - whole);
}

char* detail::write_rounded_rest(char* out, float value) noexcept {
    const float scaled = value * 10.0f;
    if (!(std::fabs(scaled) < kFastLimit)) {
        // NaN, infinities and large values.
        const float rounded = std::round(scaled) / 10.0f;
        if (std::isnan(rounded)) return nullptr;
        return write_float_general(out, rounded);
    }
    return write_tenths<write_u32>(out, scaled);
}

char* write_count(char* out, std::uint64_t value) noexcept {
    if (value < (std::uint64_t{1} << 24)) return write_u32(out, static_cast<std::uint32_t>(value));
    return write_float_general(out, static_cast<float>(value));
}

}  // namespace vexoacq::export_::number
