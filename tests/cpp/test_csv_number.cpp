// Number text of the CSV cells: one-decimal rounding in float32, the shortest
// positional text, and the integer fast path checked against std::to_chars.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "export/number.hpp"

namespace num = vexoacq::export_::number;

namespace {

std::string general(float v) {
    char buf[num::kMaxFloatText];
    return std::string(buf, num::write_float_general(buf, v));
}

// The text of a data cell; "<nan>" when the field is left empty.
std::string rounded(float v) {
    char buf[num::kMaxFloatText];
    char* end = num::write_rounded(buf, v);
    return end == nullptr ? "<nan>" : std::string(buf, end);
}

std::string count(std::uint64_t v) {
    char buf[num::kMaxFloatText];
    return std::string(buf, num::write_count(buf, v));
}

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct RoundCase {
    float in;
    const char* text;
};

// Sample values as they reach the file.
const RoundCase kRoundCases[] = {
    {12.34f, "12.3"},  {2.25f, "2.3"},     {-2.25f, "-2.3"},  {0.05f, "0.1"},     {0.04f, "0"},
    {-0.04f, "-0"},    {99.95f, "100"},    {5.0f, "5"},       {0.0000001f, "0"},  {-0.0f, "-0"},
    {0.0f, "0"},       {511.0f, "511"},    {1234.56f, "1234.6"}, {-0.05f, "-0.1"}, {kInf, "inf"},
    {-kInf, "-inf"},   {kNaN, "<nan>"},    {4999.94f, "4999.9"},
    {1e7f, "10000000"}, {123456792.0f, "123456790"},
    // The product with 10 overflows float32 first.
    {3.4e38f, "inf"},
};

TEST(RoundOneDecimal, FloatArithmeticAndHalfwayAwayFromZero) {
    for (const auto& c : kRoundCases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(rounded(c.in), c.text);
    }
    // The value itself, not only its text.
    EXPECT_EQ(num::round_one_decimal(99.95f), 100.0f);
    EXPECT_EQ(num::round_one_decimal(2.25f), 2.3f);
    EXPECT_TRUE(std::signbit(num::round_one_decimal(-0.04f)));
    EXPECT_FALSE(std::signbit(num::round_one_decimal(0.04f)));
    EXPECT_TRUE(std::isnan(num::round_one_decimal(kNaN)));
    EXPECT_EQ(num::round_one_decimal(-kInf), -kInf);
}

struct TextCase {
    float in;
    const char* text;
};

const TextCase kTextCases[] = {
    {0.0f, "0"},
    {-0.0f, "-0"},
    {5.0f, "5"},
    {511.0f, "511"},
    {12.3f, "12.3"},
    {0.1f, "0.1"},
    {1234.6f, "1234.6"},
    {0.0000001f, "0.0000001"},
    {-0.0000001f, "-0.0000001"},
    {123456792.0f, "123456790"},
    {16777216.0f, "16777216"},
    {1e10f, "10000000000"},
    {1.5e-5f, "0.000015"},
    {kInf, "inf"},
    {-kInf, "-inf"},
    {std::numeric_limits<float>::denorm_min(), "0.000000000000000000000000000000000000000000001"},
};

TEST(FloatText, ShortestPositional) {
    for (const auto& c : kTextCases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(general(c.in), c.text);
    }
}

TEST(FloatText, CountsRoundToNearestFloat) {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {0, "0"},
        {7, "7"},
        {16777215, "16777215"},
        {16777216, "16777216"},
        {16777217, "16777216"},  // halfway: to even
        {16777219, "16777220"},  // halfway: to even
        {123456789, "123456790"},
        {std::numeric_limits<std::uint64_t>::max(), "18446744000000000000"},
    };
    for (const auto& [v, text] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(count(v), text);
    }
}

// Every text reads back as the same float, never has an exponent, and has no
// more digits than the shortest scientific form.
TEST(FloatText, RoundTripsOverRandomBitPatterns) {
    std::mt19937 rng(12345);
    for (int k = 0; k < 200000; ++k) {
        const float v = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
        if (std::isnan(v) || std::isinf(v)) continue;
        const std::string t = general(v);
        ASSERT_EQ(t.find_first_of("eE"), std::string::npos) << t;
        ASSERT_EQ(std::strtof(t.c_str(), nullptr), v) << t;
        ASSERT_EQ(std::signbit(v), t[0] == '-') << t;
    }
}

// The integer path of write_rounded against the to_chars path, on every
// multiple of 0.1 near which it works, the halfway points between them, the
// floats on either side, and random values of every magnitude.
TEST(FloatText, FastRoundedPathMatchesGeneralPath) {
    auto check = [](float v) {
        const float r = num::round_one_decimal(v);
        const std::string want = std::isnan(r) ? "<nan>" : general(r);
        const std::string got = rounded(v);
        if (got != want) {
            ADD_FAILURE() << "value " << v << " (bits " << std::bit_cast<std::uint32_t>(v) << "): fast '" << got
                          << "', general '" << want << "'";
            return false;
        }
        return true;
    };
    auto around = [&](float v) {
        return check(v) && check(std::nextafter(v, kInf)) && check(std::nextafter(v, -kInf));
    };
    // Dense near zero, strided up to past the fast path's limit (5e6 tenths).
    for (std::int32_t q = -200000; q <= 200000; ++q) {
        ASSERT_TRUE(around(static_cast<float>(q) / 10.0f));
        ASSERT_TRUE(check((static_cast<float>(q) + 0.5f) / 10.0f));
    }
    for (std::int32_t q = 200000; q <= 5100000; q += 37) {
        ASSERT_TRUE(around(static_cast<float>(q) / 10.0f));
        ASSERT_TRUE(around(-static_cast<float>(q) / 10.0f));
        ASSERT_TRUE(check((static_cast<float>(q) + 0.5f) / 10.0f));
    }
    std::mt19937 rng(777);
    for (int k = 0; k < 300000; ++k) {
        ASSERT_TRUE(check(std::bit_cast<float>(static_cast<std::uint32_t>(rng()))));
    }
    std::uniform_real_distribution<float> adc(-70000.0f, 70000.0f);
    for (int k = 0; k < 300000; ++k) ASSERT_TRUE(check(adc(rng)));
}

TEST(IntegerText, EveryU16) {
    for (unsigned v = 0; v <= 65535; ++v) {
        char buf[num::kMaxU16Text];
        ASSERT_EQ(std::string(buf, num::write_u16(buf, static_cast<std::uint16_t>(v))), std::to_string(v));
    }
}

TEST(IntegerText, CountsBelowTwoTo24AreExact) {
    for (std::uint64_t v = 0; v < (1u << 24); v += 997) ASSERT_EQ(count(v), std::to_string(v));
    EXPECT_EQ(count(9999999), "9999999");
}

}  // namespace
