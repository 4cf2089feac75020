// mervyv1 decoder: worked events, packet splitting, error order, limits, the
// text-valued stop word and the other keys, the timing-based time axis, a
// generated round trip and a bounded fuzz loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <cstdio>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "parsing/mervyv1.hpp"
#include "parsing/parsing.hpp"
#include "support/decoder_testing.hpp"

namespace {

using namespace vexoacq::testing::decoder_names;
using vexoacq::parsing::mervyv1::Mervyv1Event;

using Timing = std::vector<std::vector<std::size_t>>;

Bytes from_words(const Words& words) { return vexoacq::testing::be_bytes(words); }

Params params_with(std::size_t channels, std::size_t samples, const Extra& extra) {
    return vexoacq::testing::params_with("mervyv2_eval", channels, 7, samples, extra);
}

Mervyv1Event record(Floats data, Shorts labels, Shorts time, Timing timing) {
    auto e = vexoacq::testing::channels_record<Mervyv1Event>(std::move(data), std::move(labels), std::move(time));
    e.timing = std::move(timing);
    return e;
}

// The two 7-word packets of the worked event (packet_size 12, samples 2).
const Words kPacketA = {0x0001, 0x0000, 0x0005, 0x0003, 0x0010, 0x0020, 0xFA5A};
const Words kPacketB = {0x0000, 0x0000, 0x0004, 0x0002, 0x0100, 0x0200, 0xFA5A};
const Words kWorked = cat(kPacketA, kPacketB);
const Extra kP7 = {{"packet_size", u(12)}};
Mervyv1Event worked_record() {
    return record({{256.0f, 512.0f}, {16.0f, 32.0f}}, {{2}, {3}}, {{0, 1}, {2, 3}}, {{4}, {5}});
}
// The second packet unfilled: channel 0 stays empty, tmin is 5.
Mervyv1Event only_a_record() { return record({{}, {16.0f, 32.0f}}, {{}, {3}}, {{}, {0, 1}}, {{}, {5}}); }

struct Case {
    const char* name;
    std::size_t channels;
    std::size_t samples;
    Extra extra;
    Bytes raw;
    std::variant<Mervyv1Event, ParsingError> expected;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
constexpr auto CaseName = vexoacq::testing::case_name<Case>;

class MervyCases : public ::testing::TestWithParam<Case> {};

TEST_P(MervyCases, DecodesOrFails) {
    const Case& c = GetParam();
    vexoacq::testing::expect_decodes_or_fails(c.raw, params_with(c.channels, c.samples, c.extra), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Worked, MervyCases,
    ::testing::Values(
        Case{"two_packets", 2, 2, kP7, from_words(kWorked), worked_record()},
        Case{"unfilled_packet_skipped", 2, 2, kP7, from_words(with(with(kWorked, 11, 0), 12, 0)), only_a_record()},
        Case{"empty", 2, 2, kP7, Bytes{}, ParsingError::EmptyPackage},
        Case{"no_stop_word", 2, 2, kP7, from_words(Words(14, 0x1234)), ParsingError::EmptyPackage},
        // Segments of 6 and 8 words: neither is a packet.
        Case{"no_segment_of_packet_length", 2, 2, kP7,
             from_words({1, 2, 3, 4, 5, 0xFA5A, 1, 2, 3, 4, 5, 6, 7, 0xFA5A}), ParsingError::EmptyPackage},
        Case{"odd_length", 2, 2, kP7, Bytes{0xFA, 0x5A, 0x00}, ParsingError::UnexpectedLength},
        // Words after the last stop word, and a dropped short segment between
        // packets, carry nothing.
        Case{"trailing_words", 2, 2, kP7, from_words(cat(kWorked, {0x0001, 0x7777, 0x7777})), worked_record()},
        Case{"short_segment_between", 2, 2, kP7, from_words(cat(cat(kPacketA, {0x0009, 0xFA5A}), kPacketB)),
             worked_record()},
        // A segment longer than a packet is passed over to its stop word, and
        // P - 1 trailing words without one are no packet.
        Case{"long_segment_before", 2, 2, kP7, from_words(cat({1, 2, 3, 4, 5, 6, 7, 0xFA5A}, kWorked)),
             worked_record()},
        Case{"trailing_words_one_short_of_a_packet", 2, 2, kP7, from_words(cat(kWorked, Words(6, 0x0001))),
             worked_record()},
        // A stop word among the samples splits the packet: both halves drop.
        Case{"stop_word_in_samples", 2, 2, kP7, from_words(cat(with(kPacketA, 4, 0xFA5A), kPacketB)),
             record({{256.0f, 512.0f}, {}}, {{2}, {}}, {{0, 1}, {}}, {{4}, {}})},
        // Channels beyond the count fail only for a packet that is decoded.
        Case{"channel_out_of_range", 1, 2, kP7, from_words(kWorked), ParsingError::InvalidChannel},
        Case{"bad_channel_in_unfilled_packet", 1, 2, kP7,
             from_words(cat(with(with(kPacketA, 4, 0), 5, 0), kPacketB)),
             record({{256.0f, 512.0f}}, {{2}}, {{0, 1}}, {{4}})},
        // Every packet unfilled: nothing decoded.
        Case{"all_unfilled", 2, 2, kP7, from_words(with(with(with(with(kWorked, 4, 0), 5, 0), 11, 0), 12, 0)),
             ParsingError::MissingData},
        Case{"samples_zero", 2, 0, kP7, from_words(kWorked), ParsingError::MissingData},
        // InvalidChannel comes before MissingData, EmptyPackage before both.
        Case{"empty_before_channel", 0, 2, {}, from_words(kWorked), ParsingError::EmptyPackage},
        Case{"no_channels", 0, 2, kP7, from_words(kWorked), ParsingError::InvalidChannel}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    Keys, MervyCases,
    ::testing::Values(
        Case{"packet_size_13_is_7_words", 2, 2, {{"packet_size", u(13)}}, from_words(kWorked), worked_record()},
        Case{"packet_size_cut_to_32_bits", 2, 2, {{"packet_size", u((1ull << 32) + 12)}}, from_words(kWorked),
             worked_record()},
        Case{"packet_size_text", 2, 2, {{"packet_size", s("12")}}, from_words(kWorked), ParsingError::EmptyPackage},
        Case{"chanmask", 2, 2, {{"packet_size", u(12)}, {"chanmask", u(0)}}, from_words(kWorked),
             record({{16.0f, 32.0f, 256.0f, 512.0f}, {}}, {{3, 2}, {}}, {{0, 1, 2, 3}, {}}, {{5, 4}, {}})},
        Case{"abs_wind_mask", 2, 2, {{"packet_size", u(12)}, {"abs_wind_mask", u(0x10002)}}, from_words(kWorked),
             record({{256.0f, 512.0f}, {16.0f, 32.0f}}, {{2}, {2}}, {{0, 1}, {2, 3}}, {{4}, {5}})},
        // Timing: (w1 & mask) << shift | (w2 & mask); shift 44 is 12.
        Case{"timing_high_part", 2, 2, {{"packet_size", u(12)}, {"timing_shift", u(44)}},
             from_words(with(kWorked, 1, 0xF001)),
             // Channel 1 starts 4097 windows of 2 after channel 0: slot 8194.
             record({{256.0f, 512.0f}, {16.0f, 32.0f}}, {{2}, {3}}, {{0, 1}, {8194, 8195}}, {{4}, {4096 + 5}})},
        Case{"timing_mask", 2, 2, {{"packet_size", u(12)}, {"timing_mask", u(0x0003)}},
             from_words(kWorked),
             record({{256.0f, 512.0f}, {16.0f, 32.0f}}, {{2}, {3}}, {{0, 1}, {2, 3}}, {{0}, {1}})},
        // Samples start after `headers` words: 3 gives label word as sample.
        Case{"headers_3", 2, 2, {{"packet_size", u(12)}, {"headers", u(3)}}, from_words(kWorked),
             record({{2.0f, 256.0f}, {3.0f, 16.0f}}, {{2}, {3}}, {{0, 1}, {2, 3}}, {{4}, {5}})},
        // Headers past the packet: every packet skipped.
        Case{"headers_past_packet", 2, 2, {{"packet_size", u(12)}, {"headers", u(8)}}, from_words(kWorked),
             ParsingError::MissingData},
        // samples 3 reaches the stop word, which is then a sample and makes
        // an otherwise zero packet count as filled.
        Case{"samples_reach_stop_word", 2, 3, kP7, from_words(with(with(kPacketA, 4, 0), 5, 0)),
             record({{}, {0.0f, 0.0f, 64090.0f}}, {{}, {3}}, {{}, {0, 1, 2}}, {{}, {5}})}),
    CaseName);

// The stop word: a YAML string read as an unsigned 32-bit hexadecimal
// number, cut to 16 bits; anything else is 0xFA5A.
TEST(MervyStopWord, OnlyHexTextIsTaken) {
    struct Row {
        YamlValue value;
        std::uint16_t expected;
    };
    const std::vector<Row> rows = {
        {s("abcd"), 0xABCD},      {s("+ABCD"), 0xABCD},     {s("1ABCD"), 0xABCD},
        {s("1234"), 0x1234},      {s("FFFFFFFF"), 0xFFFF},  {s("00000000000abcd"), 0xABCD},
        {s("0"), 0x0000},         {s("0xABCD"), 0xFA5A},    {s("-1"), 0xFA5A},
        {s("123456789"), 0xFA5A}, {s("100000000"), 0xFA5A}, {s(""), 0xFA5A},
        {s("+"), 0xFA5A},         {s("-"), 0xFA5A},         {s("++1"), 0xFA5A},
        {s(" abcd"), 0xFA5A},     {s("abcd "), 0xFA5A},     {s("abcg"), 0xFA5A},
        {u(4660), 0xFA5A},        {i(-1), 0xFA5A},          {YamlValue::null(), 0xFA5A},
        {YamlValue::floating(1.0), 0xFA5A},
        {YamlValue::tagged("!hex", s("abcd")), 0xFA5A},
    };
    for (const Row& r : rows) {
        const Params p = params_with(2, 2, {{"stop_word", r.value}});
        EXPECT_EQ(vexoacq::parsing::mervyv1::stop_word(p), r.expected)
            << (r.value.type() == YamlValue::Type::String ? r.value.as_string() : std::string("(not a string)"));
    }
    EXPECT_EQ(vexoacq::parsing::mervyv1::stop_word(params_with(2, 2, {})), 0xFA5A);
}

TEST(MervyStopWord, SplitsThePackets) {
    // The worked event with 0x1234 as its stop word decodes only under it.
    const Words raw = with(with(kWorked, 6, 0x1234), 13, 0x1234);
    const auto taken = parse_into<Mervyv1Event>(from_words(raw), params_with(2, 2, {{"packet_size", u(12)}, {"stop_word", s("1234")}}));
    ASSERT_TRUE(taken.ok()) << vexoacq::error::message(taken.error());
    EXPECT_EQ(*taken, worked_record());
    const auto integer = parse_into<Mervyv1Event>(from_words(raw), params_with(2, 2, {{"packet_size", u(12)}, {"stop_word", u(0x1234)}}));
    ASSERT_FALSE(integer.ok());
    EXPECT_EQ(integer.error(), ParsingError::EmptyPackage);
}

TEST(MervyKeys, DefaultPacketIs37Words) {
    // packet_size 72 and 73 and no key at all: 4 headers, 32 samples, stop.
    Words packet = {0x0002, 0x0000, 0x0009, 0x0011};
    for (std::uint16_t k = 0; k < 32; ++k) packet.push_back(static_cast<std::uint16_t>(k + 1));
    packet.push_back(0xFA5A);
    std::vector<float> samples;
    for (int k = 0; k < 32; ++k) samples.push_back(static_cast<float>(k + 1));
    Shorts time(3);
    for (std::uint16_t k = 0; k < 32; ++k) time[2].push_back(k);
    const Mervyv1Event want = record({{}, {}, samples}, {{}, {}, {0x11}}, time, {{}, {}, {9}});
    for (const Extra& extra : {Extra{}, Extra{{"packet_size", u(72)}}, Extra{{"packet_size", u(73)}},
                               Extra{{"packet_size", i(-72)}}}) {
        const auto got = parse_into<Mervyv1Event>(from_words(packet), params_with(3, 32, extra));
        ASSERT_TRUE(got.ok()) << vexoacq::error::message(got.error());
        EXPECT_EQ(*got, want);
    }
    const auto other = parse_into<Mervyv1Event>(from_words(packet), params_with(3, 32, {{"packet_size", u(74)}}));
    ASSERT_FALSE(other.ok());
    EXPECT_EQ(other.error(), ParsingError::EmptyPackage);
}

TEST(MervyTimeAxis, RunThatReachesSixteenBitsIsEmpty) {
    // Two packets of 32768 samples on channel 0 at timing 0: (0 + 2) * 32768
    // is 65536, which wraps to 0, so the run is empty while the data stays.
    const std::size_t samples = 32768;
    Words packet = {0x0000, 0x0000, 0x0000, 0x0000};
    packet.resize(4 + samples, 0x0001);
    packet.push_back(0xFA5A);
    const Extra extra = {{"packet_size", u(2 * (4 + samples))}};
    const auto got = parse_into<Mervyv1Event>(from_words(cat(packet, packet)), params_with(2, samples, extra));
    ASSERT_TRUE(got.ok()) << vexoacq::error::message(got.error());
    EXPECT_EQ(got->data[0].size(), 2 * samples);
    EXPECT_TRUE(got->time[0].empty());
    // One packet: the run 0 .. 32767 fits.
    const auto one = parse_into<Mervyv1Event>(from_words(packet), params_with(2, samples, extra));
    ASSERT_TRUE(one.ok());
    ASSERT_EQ(one->time[0].size(), samples);
    EXPECT_EQ(one->time[0].back(), samples - 1);
}

TEST(MervyTimeAxis, LaterTimingAndLabelsDoNotEnter) {
    // Channel 0: timings 10, 3 (first 10); channel 1: timing 7.  tmin = 7:
    // channel 0 starts at 3 windows of 2, for its 2 packets; channel 1 at 0.
    const Words a = {0x0000, 0x0000, 10, 5, 1, 1, 0xFA5A};
    const Words b = {0x0001, 0x0000, 7, 9, 2, 2, 0xFA5A};
    const Words c = {0x0000, 0x0000, 3, 1, 3, 3, 0xFA5A};
    const auto got = parse_into<Mervyv1Event>(from_words(cat(cat(a, b), c)), params_with(2, 2, kP7));
    ASSERT_TRUE(got.ok()) << vexoacq::error::message(got.error());
    EXPECT_EQ(got->timing, (Timing{{10, 3}, {7}}));
    EXPECT_EQ(got->window_labels, (Shorts{{5, 1}, {9}}));
    EXPECT_EQ(got->time, (Shorts{{6, 7, 8, 9}, {0, 1}}));
}

TEST(MervyLimits, PacketsTooShortForTheirKeysAreInternalFaults) {
    struct Row {
        const char* name;
        std::size_t samples;
        Extra extra;
        Words raw;
    };
    const std::vector<Row> rows = {
        // 37-word packets cannot hold 4 headers and 34 samples.
        {"samples_past_packet", 34, {}, cat(Words(36, 1), {0xFA5A})},
        // A 3-word packet (packet_size 4) with no headers and one sample.
        {"packet_below_4_words", 1, {{"packet_size", u(4)}, {"headers", u(0)}}, {0x0001, 0x0001, 0xFA5A}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_THROW((void)parse_into<Mervyv1Event>(from_words(r.raw), params_with(2, r.samples, r.extra)),
                     InternalFault);
        // The same packet with its channel out of range ends before the
        // limit is met.
        const auto bad_channel = parse_into<Mervyv1Event>(from_words(with(r.raw, 0, 5)), params_with(2, r.samples, r.extra));
        ASSERT_FALSE(bad_channel.ok());
        EXPECT_EQ(bad_channel.error(), ParsingError::InvalidChannel);
    }
}

// Packet word 0 carries a 16-bit channel number: a count past 65536 slots is
// refused before any slot is made, after the packet search.
TEST(MervyLimits, ChannelCountsNoEventCanFillAreRefused) {
    using vexoacq::testing::expect_slot_counts;
    constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
    const Extra keys = {{"packet_size", u(12)}, {"chanmask", u(0xFFFF)}};
    const Bytes top = from_words({0xFFFF, 0x0000, 0x0005, 0x0003, 0x0010, 0x0020, 0xFA5A});
    expect_slot_counts<Mervyv1Event>(top, params_with(0, 2, keys),
                                     {{65536, 65535},
                                      {65535, ParsingError::InvalidChannel},
                                      {65537, ParsingError::InvalidParameters},
                                      {10'000'000'000, ParsingError::InvalidParameters},
                                      {std::size_t{1} << 61, ParsingError::InvalidParameters},
                                      {kMax, ParsingError::InvalidParameters}});
    expect_slot_counts<Mervyv1Event>(from_words(kWorked), params_with(0, 2, kP7),
                                     {{2, 1}, {65536, 1}, {65537, ParsingError::InvalidParameters}});
    // No packet: the packet search comes first.
    EXPECT_EQ(parse_into<Mervyv1Event>(from_words({0x0001, 0x0002}), params_with(kMax, 2, kP7)).error(),
              ParsingError::EmptyPackage);
}

TEST(MervyModelStrings, AllFourSelectThisDecoder) {
    for (const char* model : {"mervyv2_eval", "mervyv1_evalr2", "mervyv2_evalr1", "mervyv2_evalr2"}) {
        const auto family = vexoacq::parsing::family_of(model);
        ASSERT_TRUE(family.has_value()) << model;
        EXPECT_EQ(*family, vexoacq::parsing::Family::Mervyv1) << model;
    }
}

// ---------------------------------------------------------------- round trip

struct Geometry {
    std::size_t channels;
    std::size_t samples;
    std::uint32_t headers;
    std::size_t packet_words;  // at least headers + samples + 1
    std::uint16_t stop;
};

void PrintTo(const Geometry& g, std::ostream* os) {
    *os << "channels=" << g.channels << " samples=" << g.samples << " headers=" << g.headers
        << " P=" << g.packet_words << " stop=" << g.stop;
}

Params geometry_params(const Geometry& g) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%x", g.stop);
    return params_with(g.channels, g.samples,
                       {{"headers", u(g.headers)},
                        {"packet_size", u(2 * (g.packet_words - 1))},
                        {"stop_word", s(hex)}});
}

struct Generated {
    Bytes raw;
    Mervyv1Event expected;
};

// Packets for random channels with random 24-bit timings and 6-bit labels,
// random sample words (never the stop word, never all zero), mixed with
// segments that are not packets, unfilled packets and trailing words.
Generated generate(const Geometry& g, std::mt19937_64& rng) {
    auto word = [&] {
        std::uint16_t w;
        do w = static_cast<std::uint16_t>(rng()); while (w == g.stop);
        return w;
    };
    Generated out;
    out.expected.resize_channels(g.channels);
    out.expected.timing.resize(g.channels);
    Words words;
    const std::size_t packets = 1 + rng() % 12;
    for (std::size_t k = 0; k < packets; ++k) {
        if (rng() % 4 == 0) {  // a segment that is not a packet
            const std::size_t len = rng() % (2 * g.packet_words);
            if (len + 1 != g.packet_words) {
                for (std::size_t n = 0; n < len; ++n) words.push_back(word());
                words.push_back(g.stop);
            }
        }
        const auto channel = static_cast<std::uint16_t>(rng() % g.channels);
        const auto hi = static_cast<std::uint16_t>(rng() & 0x0FFF);
        const auto lo = static_cast<std::uint16_t>(rng() & 0x0FFF);
        const auto label = static_cast<std::uint16_t>(rng() & 0x3F);
        // Bits outside the masks are random, but no header word may be the
        // stop word (it would close the packet early).
        auto masked_out = [&](std::uint16_t v, std::uint16_t high) {
            const auto w = static_cast<std::uint16_t>(v | high);
            return w == g.stop ? v : w;
        };
        Words pk = {masked_out(channel, static_cast<std::uint16_t>(rng() & 0xFFC0)),
                    masked_out(hi, 0xF000), lo,
                    masked_out(label, static_cast<std::uint16_t>(rng() & 0xFFC0))};
        while (pk.size() < g.headers) pk.push_back(word());
        pk.resize(g.headers);
        const bool unfilled = rng() % 6 == 0 && g.stop != 0;
        std::vector<float> values;
        for (std::size_t n = 0; n < g.samples; ++n) {
            const std::uint16_t v = unfilled ? 0 : word();
            pk.push_back(v);
            values.push_back(static_cast<float>(v));
        }
        if (!unfilled && std::all_of(values.begin(), values.end(), [](float v) { return v == 0.0f; })) {
            pk.back() = g.stop == 1 ? 2 : 1;
            values.back() = static_cast<float>(pk.back());
        }
        while (pk.size() + 1 < g.packet_words) pk.push_back(word());
        pk.push_back(g.stop);
        words.insert(words.end(), pk.begin(), pk.end());
        if (unfilled) continue;
        auto& data = out.expected.data[channel];
        data.insert(data.end(), values.begin(), values.end());
        out.expected.window_labels[channel].push_back(label);
        out.expected.timing[channel].push_back(std::size_t{hi} << 12 | lo);
    }
    if (rng() % 2 == 0)
        for (std::size_t n = rng() % 5; n > 0; --n) words.push_back(word());
    out.raw = from_words(words);

    std::size_t tmin = ~std::size_t{0};
    for (const auto& t : out.expected.timing)
        if (!t.empty()) tmin = std::min(tmin, t.front());
    for (std::size_t c = 0; c < g.channels; ++c) {
        const std::size_t n = out.expected.window_labels[c].size();
        if (n == 0) continue;
        const std::size_t t0 = out.expected.timing[c].front() - tmin;
        const std::size_t begin = t0 * g.samples % 65536;
        const std::size_t end = (t0 + n) * g.samples % 65536;
        for (std::size_t v = begin; v < end; ++v) out.expected.time[c].push_back(static_cast<std::uint16_t>(v));
    }
    return out;
}

class MervyRoundTrip : public ::testing::TestWithParam<Geometry> {};

TEST_P(MervyRoundTrip, GeneratedEventsDecodeIntoTheirSource) {
    const Geometry& g = GetParam();
    const Params p = geometry_params(g);
    std::mt19937_64 rng(0x4D4552 ^ g.channels ^ (g.samples << 8) ^ g.stop);
    int decoded = 0;
    for (int round = 0; round < 200; ++round) {
        const Generated gen = generate(g, rng);
        const auto got = parse_into<Mervyv1Event>(gen.raw, p);
        bool any = false;
        for (const auto& t : gen.expected.timing) any = any || !t.empty();
        if (!any) {  // every packet unfilled
            ASSERT_FALSE(got.ok());
            EXPECT_EQ(got.error(), ParsingError::MissingData);
            continue;
        }
        ASSERT_TRUE(got.ok()) << "round " << round << ": " << vexoacq::error::message(got.error());
        ASSERT_EQ(*got, gen.expected) << "round " << round;
        ++decoded;
    }
    EXPECT_GT(decoded, 100);
}

INSTANTIATE_TEST_SUITE_P(Geometries, MervyRoundTrip,
                         ::testing::Values(Geometry{2, 32, 4, 37, 0xFA5A},
                                           Geometry{1, 2, 4, 7, 0xFA5A},
                                           Geometry{16, 32, 4, 40, 0x1234},
                                           Geometry{5, 8, 6, 16, 0xFFFF},
                                           // 64 channels, 2048-sample windows: the time axis wraps.
                                           Geometry{64, 2048, 4, 2053, 0xFA5A}));

// ---------------------------------------------------------------- fuzz

// Random and mutated events under random keys: every call must end in a
// record, a ParsingError or an internal fault, never anything worse.
TEST(MervyFuzz, EveryInputEndsCleanly) {
    std::mt19937_64 rng(20240605);
    const Geometry base{4, 4, 4, 9, 0xFA5A};
    const char* const keys[] = {"chanmask", "abs_wind_mask", "timing_mask", "timing_shift", "packet_size", "headers"};
    namespace t = vexoacq::testing;
    t::FuzzTally tally;
    for (int iter = 0; iter < 6000; ++iter) {
        Bytes raw;
        if (iter % 2 == 0) {
            // Bytes of the stop word 0xFA5A and zeros, often.
            raw = t::random_bytes(rng, 120, [&rng] {
                const auto r = rng() % 4;
                return static_cast<std::uint8_t>(r == 0 ? 0 : r == 1 ? 0xFA : r == 2 ? 0x5A : rng());
            });
        } else {
            raw = generate(base, rng).raw;
            t::mutate(raw, rng);
        }
        Params p = geometry_params(base);
        if (rng() % 2 == 0) {
            p = make_params("mervyv2_evalr2", rng() % 6, rng() % 6, rng() % 10);
            t::add_random_keys(p, keys, rng, {t::absent(), t::below(8), t::any_value(), t::below(24), t::fixed(i(-1))});
            const char* const stops[] = {"fa5a", "0", "5a", "+FA5A", "zz", "ffffffff"};
            if (rng() % 2 == 0) p.extra.push_back(YamlValue::string("stop_word"), s(stops[rng() % 6]));
        }
        ASSERT_NO_FATAL_FAILURE((void)t::decode_and_tally<Mervyv1Event>(raw, p, tally, [&p](const Mervyv1Event& got) {
            ASSERT_EQ(got.channel_slots(), p.channels);
            ASSERT_EQ(got.timing.size(), p.channels);
        }));
    }
    tally.expect_all_endings();
}

}  // namespace
