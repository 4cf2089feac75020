// The table-driven digit writers against the digit-pair loops they replace
// (kept here, as they were, as the reference): every 16-bit value, every
// count below 2^24 and beyond, and data cells over the whole float32 range
// with the edge cases that change the text (signed zero, halfway points, the
// inline path's limit at 9999.9 and the integer path's at 500000,
// subnormals, infinities, NaN).  Also the bytes a writer may store past its
// text stay inside the room it is given.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "export/number.hpp"

namespace num = vexoacq::export_::number;

namespace {

namespace reference {

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

unsigned digit_count(std::uint32_t v) {
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

char* write_u32(char* out, std::uint32_t v) {
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

char* write_u16(char* out, std::uint16_t value) {
    const unsigned v = value;
    if (v < 10) {
        *out = static_cast<char>('0' + v);
        return out + 1;
    }
    if (v < 100) {
        std::memcpy(out, kDigitPairs + 2 * v, 2);
        return out + 2;
    }
    if (v < 1000) {
        *out = static_cast<char>('0' + v / 100);
        std::memcpy(out + 1, kDigitPairs + 2 * (v % 100), 2);
        return out + 3;
    }
    if (v < 10000) {
        std::memcpy(out, kDigitPairs + 2 * (v / 100), 2);
        std::memcpy(out + 2, kDigitPairs + 2 * (v % 100), 2);
        return out + 4;
    }
    *out = static_cast<char>('0' + v / 10000);
    std::memcpy(out + 1, kDigitPairs + 2 * (v / 100 % 100), 2);
    std::memcpy(out + 3, kDigitPairs + 2 * (v % 100), 2);
    return out + 5;
}

constexpr float kFastLimit = 5'000'000.0f;

char* write_rounded(char* out, float value) {
    const float scaled = value * 10.0f;
    if (!(std::fabs(scaled) < kFastLimit)) {
        const float rounded = std::round(scaled) / 10.0f;
        if (std::isnan(rounded)) return nullptr;
        return num::write_float_general(out, rounded);
    }
    const float magnitude_f = std::fabs(scaled);
    auto q = static_cast<std::uint32_t>(magnitude_f);
    q += static_cast<std::uint32_t>(magnitude_f - static_cast<float>(q) >= 0.5f);
    *out = '-';
    out += std::signbit(scaled) ? 1 : 0;
    out = write_u32(out, q / 10);
    const std::uint32_t tenth = q % 10;
    out[0] = '.';
    out[1] = static_cast<char>('0' + tenth);
    return out + (tenth != 0 ? 2 : 0);
}

char* write_count(char* out, std::uint64_t value) {
    if (value < (std::uint64_t{1} << 24)) return write_u32(out, static_cast<std::uint32_t>(value));
    return num::write_float_general(out, static_cast<float>(value));
}

}  // namespace reference

// Text of one writer call, with a guard region after the room it is given:
// a store past the room changes the guard.
template <std::size_t room, class F>
std::string text_of(F&& write) {
    char buf[room + 16];
    std::memset(buf, '#', sizeof buf);
    char* end = write(buf);
    for (std::size_t i = room; i < sizeof buf; ++i) {
        if (buf[i] != '#') return "<stored past its room>";
    }
    return end == nullptr ? "<nan>" : std::string(buf, end);
}

TEST(DigitWriters, EveryU16AsBefore) {
    for (unsigned v = 0; v <= 0xFFFF; ++v) {
        const auto x = static_cast<std::uint16_t>(v);
        const std::string got = text_of<num::kMaxU16Text>([&](char* b) { return num::write_u16(b, x); });
        const std::string want = text_of<num::kMaxU16Text>([&](char* b) { return reference::write_u16(b, x); });
        ASSERT_EQ(got, want) << v;
    }
}

TEST(DigitWriters, CountsAsBefore) {
    auto same = [](std::uint64_t v) {
        const std::string got = text_of<num::kMaxFloatText>([&](char* b) { return num::write_count(b, v); });
        const std::string want =
            text_of<num::kMaxFloatText>([&](char* b) { return reference::write_count(b, v); });
        if (got == want) return true;
        ADD_FAILURE() << v << ": '" << got << "', before '" << want << "'";
        return false;
    };
    // Every digit count and every value of the exact range.
    for (std::uint64_t v = 0; v < (std::uint64_t{1} << 24); ++v) ASSERT_TRUE(same(v));
    std::mt19937_64 rng(99);
    for (int k = 0; k < 200000; ++k) ASSERT_TRUE(same(rng() >> (rng() % 64)));
    for (const std::uint64_t v : {std::uint64_t{99999999}, std::uint64_t{100000000}, std::uint64_t{4294967295},
                                  std::uint64_t{4294967296}, std::numeric_limits<std::uint64_t>::max()})
        ASSERT_TRUE(same(v));
}

TEST(DigitWriters, DataCellsAsBefore) {
    auto same = [](float v) {
        const std::string got = text_of<num::kMaxFloatText>([&](char* b) { return num::write_rounded(b, v); });
        const std::string want =
            text_of<num::kMaxFloatText>([&](char* b) { return reference::write_rounded(b, v); });
        if (got == want) return true;
        ADD_FAILURE() << "bits " << std::bit_cast<std::uint32_t>(v) << ": '" << got << "', before '" << want << "'";
        return false;
    };
    constexpr float kInf = std::numeric_limits<float>::infinity();
    auto around = [&](float v) {
        return same(v) && same(-v) && same(std::nextafter(v, kInf)) && same(std::nextafter(v, -kInf));
    };
    // Every tenth and the halfway points up to 2^20 tenths, strided beyond
    // the fast path's limit.
    for (std::uint32_t q = 0; q < (1u << 20); ++q) {
        ASSERT_TRUE(around(static_cast<float>(q) / 10.0f));
        ASSERT_TRUE(around((static_cast<float>(q) + 0.5f) / 10.0f));
    }
    for (std::uint32_t q = 1u << 20; q <= 5100000; q += 29) {
        ASSERT_TRUE(around(static_cast<float>(q) / 10.0f));
        ASSERT_TRUE(around((static_cast<float>(q) + 0.5f) / 10.0f));
    }
    const float edges[] = {0.0f,
                           0.04f,
                           0.05f,
                           99.95f,
                           9999.9f,
                           9999.94f,
                           9999.95f,
                           9999.96f,
                           10000.0f,
                           10000.04f,
                           10000.05f,
                           499999.94f,
                           499999.97f,
                           500000.0f,
                           std::numeric_limits<float>::denorm_min(),
                           std::numeric_limits<float>::min(),
                           std::numeric_limits<float>::max(),
                           3.4e37f,
                           kInf,
                           std::numeric_limits<float>::quiet_NaN(),
                           std::bit_cast<float>(0x7FA00001u)};  // a signalling NaN pattern
    for (const float v : edges) ASSERT_TRUE(around(v));
    std::mt19937 rng(31337);
    for (int k = 0; k < 2000000; ++k) ASSERT_TRUE(same(std::bit_cast<float>(static_cast<std::uint32_t>(rng()))));
}

}  // namespace
