// ryk16 decoder: worked events, error order, limits, tuning keys, the layout
// under other header counts, a generated round trip, decoding into a record
// that held another event under every sample kernel, and a bounded fuzz loop.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "parsing/block_kernels.hpp"
#include "parsing/parsing.hpp"
#include "parsing/ryk16.hpp"
#include "support/decoder_testing.hpp"

namespace {

using namespace vexoacq::testing::decoder_names;
using vexoacq::parsing::ryk16::Ryk16Event;

Params params_with(std::size_t channels, std::size_t windows, std::size_t samples, const Extra& extra) {
    return vexoacq::testing::params_with("ryk16", channels, windows, samples, extra);
}

Ryk16Event record(Floats data, Shorts labels, Shorts time) {
    return vexoacq::testing::channels_record<Ryk16Event>(std::move(data), std::move(labels), std::move(time));
}

Bytes resized(Bytes b, std::size_t n) {
    b.resize(n, 0x00);
    return b;
}

// One channel, 2 windows of 2 samples, default keys: chip header AA, block
// header 0x0001 (channel 0, start 1), samples FFFF FFFE FC00 0000 stored
// inverted, footer word 0x1234, chip footer 00 00.
const Bytes kWorked = {0xAA, 0x01, 0x00, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0xFC, 0x00, 0x00, 0x34, 0x12, 0x00, 0x00};
Ryk16Event worked_record() { return record({{0.0f, 1.0f, 1023.0f, 1023.0f}}, {{1, 0}}, {{0, 1, 2, 3}}); }

struct Case {
    const char* name;
    std::size_t channels;
    std::size_t windows;
    std::size_t samples;
    Extra extra;
    Bytes raw;
    std::variant<Ryk16Event, ParsingError> expected;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
constexpr auto CaseName = vexoacq::testing::case_name<Case>;

class Ryk16Cases : public ::testing::TestWithParam<Case> {};

TEST_P(Ryk16Cases, DecodesOrFails) {
    const Case& c = GetParam();
    vexoacq::testing::expect_decodes_or_fails(c.raw, params_with(c.channels, c.windows, c.samples, c.extra),
                                              c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Worked, Ryk16Cases,
    ::testing::Values(
        Case{"one_channel", 1, 2, 2, {}, kWorked, worked_record()},
        Case{"one_byte_short", 1, 2, 2, {}, resized(kWorked, 14), ParsingError::UnexpectedLength},
        Case{"one_byte_long", 1, 2, 2, {}, resized(kWorked, 16), ParsingError::UnexpectedLength},
        Case{"channel_1_of_1", 1, 2, 2, {}, with(kWorked, 2, 0x01), ParsingError::InvalidChannel},
        Case{"empty", 1, 2, 2, {}, Bytes{}, ParsingError::MissingData},
        // Start 0 reads the ring in order; start 3 on a ring of 2 is label 1.
        Case{"start_0", 1, 2, 2, {}, with(kWorked, 1, 0x00),
             record({{0.0f, 1.0f, 1023.0f, 1023.0f}}, {{0, 1}}, {{0, 1, 2, 3}})},
        Case{"start_beyond_ring", 1, 2, 2, {}, with(kWorked, 1, 0x03),
             record({{0.0f, 1.0f, 1023.0f, 1023.0f}}, {{1, 0}}, {{0, 1, 2, 3}})},
        // Without channels an event is its chip header and footer only.
        Case{"no_channels", 0, 2, 2, {}, Bytes{0xAA, 0x00, 0x00}, Ryk16Event{}},
        Case{"no_channels_long", 0, 2, 2, {}, Bytes{0xAA, 0x00, 0x00, 0x00}, ParsingError::UnexpectedLength}),
    CaseName);

// Two channels: the blocks may come in any order, and a channel may come twice
// (its labels are then measured from its first block's first label).
const Bytes kTwoBlocksChannel1 = {0xAA,
                                  /* block: channel 1, start 1 */ 0x01, 0x01, 0xFE, 0xFF, 0xFD, 0xFF, 0x00, 0x00,
                                  /* block: channel 1, start 0 */ 0x00, 0x01, 0xFC, 0xFF, 0xFB, 0xFF, 0x00, 0x00,
                                  0x00, 0x00};

INSTANTIATE_TEST_SUITE_P(
    Blocks, Ryk16Cases,
    ::testing::Values(
        Case{"channel_repeated", 2, 2, 1, {}, kTwoBlocksChannel1,
             record({{}, {1.0f, 2.0f, 3.0f, 4.0f}}, {{}, {1, 0, 0, 1}}, {{}, {0, 1, 1, 0}})},
        Case{"second_block_bad_channel", 2, 2, 1, {}, with(kTwoBlocksChannel1, 10, 0x02),
             ParsingError::InvalidChannel},
        // Length is tested before any channel.
        Case{"length_before_channel", 2, 2, 1, {}, resized(with(kTwoBlocksChannel1, 10, 0x02), 18),
             ParsingError::UnexpectedLength},
        Case{"odd_length_only_by_formula", 2, 2, 1, {{"n_chip_footers", u(1)}}, resized(kTwoBlocksChannel1, 18),
             record({{}, {1.0f, 2.0f, 3.0f, 4.0f}}, {{}, {1, 0, 0, 1}}, {{}, {0, 1, 1, 0}})},
        // Header 0xFFFF under windmask 0xFFFF and chanmask 0: start + 2
        // passes 65535, so the block has samples but no labels (and no times).
        Case{"labels_past_65535", 1, 2, 1, {{"windmask", u(0xFFFF)}, {"chanmask", u(0)}},
             Bytes{0xAA, 0xFF, 0xFF, 0xFE, 0xFF, 0xFD, 0xFF, 0x00, 0x00, 0x00, 0x00},
             record({{1.0f, 2.0f}}, {{}}, {{}})},
        Case{"labels_up_to_65535", 1, 2, 1, {{"windmask", u(0xFFFF)}, {"chanmask", u(0)}},
             Bytes{0xAA, 0xFD, 0xFF, 0xFE, 0xFF, 0xFD, 0xFF, 0x00, 0x00, 0x00, 0x00},
             record({{1.0f, 2.0f}}, {{1, 0}}, {{0, 1}})},
        // A ring of 65538 windows is a ring of 2 for the labels; S = 0 here.
        Case{"windows_mod_65536", 1, 65538, 0, {}, Bytes{0xAA, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00},
             record({{}}, {{1, 0}}, {{}})},
        Case{"windows_65536", 1, 65536, 0, {}, Bytes{0xAA, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00},
             record({{}}, {{}}, {{}})}),
    CaseName);

// Each key is taken only as a non-negative YAML integer, cut to its width.
INSTANTIATE_TEST_SUITE_P(
    TuningKeys, Ryk16Cases,
    ::testing::Values(
        Case{"data_mask_taken", 1, 2, 2, {{"data_mask", u(0x000F)}}, kWorked,
             record({{0.0f, 1.0f, 15.0f, 15.0f}}, {{1, 0}}, {{0, 1, 2, 3}})},
        Case{"data_mask_cut_to_16_bits", 1, 2, 2, {{"data_mask", u(0x1000F)}}, kWorked,
             record({{0.0f, 1.0f, 15.0f, 15.0f}}, {{1, 0}}, {{0, 1, 2, 3}})},
        Case{"data_mask_text", 1, 2, 2, {{"data_mask", s("15")}}, kWorked, worked_record()},
        Case{"data_mask_negative", 1, 2, 2, {{"data_mask", i(-1)}}, kWorked, worked_record()},
        Case{"data_mask_float", 1, 2, 2, {{"data_mask", YamlValue::floating(15.0)}}, kWorked, worked_record()},
        Case{"data_mask_bool", 1, 2, 2, {{"data_mask", YamlValue::boolean(true)}}, kWorked, worked_record()},
        Case{"data_mask_null", 1, 2, 2, {{"data_mask", YamlValue::null()}}, kWorked, worked_record()},
        // chanmask 0x00FF with shift 0 reads the start byte (1) as the channel.
        Case{"chanmask_taken", 1, 2, 2, {{"chanmask", u(0x00FF)}, {"chan_shift", u(0)}}, kWorked,
             ParsingError::InvalidChannel},
        // 24 mod 16 = 8: the default field.
        Case{"chan_shift_mod_16", 1, 2, 2, {{"chan_shift", u(24)}}, with(kWorked, 2, 0x01), ParsingError::InvalidChannel},
        Case{"chan_shift_9", 1, 2, 2, {{"chan_shift", u(9)}}, with(kWorked, 2, 0x01),
             record({{0.0f, 1.0f, 1023.0f, 1023.0f}}, {{1, 0}}, {{0, 1, 2, 3}})},
        Case{"windmask_taken", 1, 2, 2, {{"windmask", u(0)}}, kWorked,
             record({{0.0f, 1.0f, 1023.0f, 1023.0f}}, {{0, 1}}, {{0, 1, 2, 3}})},
        Case{"n_chip_footers_taken", 1, 2, 2, {{"n_chip_footers", u(3)}}, resized(kWorked, 16), worked_record()},
        // 32-bit key: 2^32 + 2 is 2.
        Case{"n_chip_footers_cut_to_32_bits", 1, 2, 2, {{"n_chip_footers", u((1ull << 32) + 2)}}, kWorked,
             worked_record()},
        Case{"n_chip_footers_text", 1, 2, 2, {{"n_chip_footers", s("3")}}, resized(kWorked, 16),
             ParsingError::UnexpectedLength},
        Case{"n_window_footers_taken", 1, 2, 2, {{"n_window_footers", u(2)}}, kWorked, ParsingError::UnexpectedLength},
        // With no window header word the header is also sample 0:
        // ~0x0001 & 0x3FF = 1022; the last two words are now footer words.
        Case{"no_window_header", 1, 2, 2, {{"n_window_headers", u(0)}, {"n_window_footers", u(2)}}, kWorked,
             record({{1022.0f, 0.0f, 1.0f, 1023.0f}}, {{1, 0}}, {{0, 1, 2, 3}})}),
    CaseName);

// A longer chip header is skipped before the first block.
INSTANTIATE_TEST_SUITE_P(
    ChipHeader, Ryk16Cases,
    ::testing::Values(
        Case{"three_header_bytes", 1, 2, 2, {{"n_chip_headers", u(3)}},
             Bytes{0xAA, 0xBB, 0xCC, 0x01, 0x00, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0xFC, 0x00, 0x00, 0x34, 0x12, 0x00, 0x00},
             worked_record()},
        Case{"no_header_byte", 1, 2, 2, {{"n_chip_headers", u(0)}},
             Bytes{0x01, 0x00, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0xFC, 0x00, 0x00, 0x34, 0x12, 0x00, 0x00},
             worked_record()}),
    CaseName);

TEST(Ryk16Limits, ZeroLengthBlockIsAnInternalFault) {
    // S = 0 and no header or footer words: H = 0.  The length test still
    // comes first.
    const Params p = params_with(2, 4, 0, {{"n_window_headers", u(0)}, {"n_window_footers", u(0)}});
    EXPECT_THROW((void)parse_into<Ryk16Event>(Bytes{0xAA, 0x00, 0x00}, p), InternalFault);
    const auto longer = parse_into<Ryk16Event>(Bytes{0xAA, 0x00, 0x00, 0x00}, p);
    ASSERT_FALSE(longer.ok());
    EXPECT_EQ(longer.error(), ParsingError::UnexpectedLength);
    const auto empty = parse_into<Ryk16Event>(Bytes{}, p);
    ASSERT_FALSE(empty.ok());
    EXPECT_EQ(empty.error(), ParsingError::MissingData);
}

TEST(Ryk16Limits, LengthsBeyondTheAddressSpaceAreUnexpectedLength) {
    const std::vector<Params> rows = {
        params_with(1, 1ull << 32, 1ull << 32, {}),                // S overflows
        params_with(1ull << 62, 2, 2, {}),                         // 2 * channels * H overflows
        params_with(1, 1, ~std::size_t{0}, {{"n_window_headers", u(2)}}),  // H overflows
    };
    for (const Params& p : rows) {
        const auto got = parse_into<Ryk16Event>(kWorked, p);
        ASSERT_FALSE(got.ok());
        EXPECT_EQ(got.error(), ParsingError::UnexpectedLength);
    }
}

// ---------------------------------------------------------------- round trip

struct Geometry {
    std::size_t channels;
    std::size_t windows;
    std::size_t samples;
    std::uint32_t chip_headers;
    std::uint32_t chip_footers;
    std::uint32_t window_headers;
    std::uint32_t window_footers;
};

void PrintTo(const Geometry& g, std::ostream* os) {
    *os << "channels=" << g.channels << " windows=" << g.windows << " samples=" << g.samples
        << " chip=" << g.chip_headers << "/" << g.chip_footers << " window=" << g.window_headers << "/"
        << g.window_footers;
}

Params geometry_params(const Geometry& g) {
    return params_with(g.channels, g.windows, g.samples,
                       {{"n_chip_headers", u(g.chip_headers)},
                        {"n_chip_footers", u(g.chip_footers)},
                        {"n_window_headers", u(g.window_headers)},
                        {"n_window_footers", u(g.window_footers)}});
}

struct Generated {
    Bytes raw;
    Ryk16Event expected;
};

// `channels` blocks for random channels (repeats and absences included) with
// random ring starts, so labels wrap around the ring; random 10-bit samples
// stored inverted with random high bits.  Needs a block header word
// (window_headers >= 1) and windows <= 256 (the 8-bit start field).
Generated generate(const Geometry& g, std::mt19937_64& rng) {
    Generated out;
    out.expected.resize_channels(g.channels);
    for (std::uint32_t k = 0; k < g.chip_headers; ++k) out.raw.push_back(static_cast<std::uint8_t>(rng()));
    for (std::size_t b = 0; b < g.channels; ++b) {
        const auto channel = static_cast<std::uint16_t>(rng() % g.channels);
        const auto start = static_cast<std::uint16_t>(rng() % g.windows);
        put_le16(out.raw, static_cast<std::uint16_t>(channel << 8 | start));
        for (std::uint32_t h = 1; h < g.window_headers; ++h) put_le16(out.raw, static_cast<std::uint16_t>(rng()));
        for (std::size_t k = 0; k < g.windows; ++k)
            out.expected.window_labels[channel].push_back(static_cast<std::uint16_t>((start + k) % g.windows));
        for (std::size_t k = 0; k < g.windows * g.samples; ++k) {
            const auto v = static_cast<std::uint16_t>(rng() & 0x3FF);
            put_le16(out.raw, static_cast<std::uint16_t>(~v ^ (rng() & 0xFC00)));
            out.expected.data[channel].push_back(static_cast<float>(v));
        }
        for (std::uint32_t f = 0; f < g.window_footers; ++f) put_le16(out.raw, static_cast<std::uint16_t>(rng()));
    }
    for (std::uint32_t k = 0; k < g.chip_footers; ++k) out.raw.push_back(static_cast<std::uint8_t>(rng()));
    vexoacq::testing::add_time_axis(out.expected, g.channels, g.windows, g.samples);
    return out;
}

class Ryk16RoundTrip : public ::testing::TestWithParam<Geometry> {};

TEST_P(Ryk16RoundTrip, GeneratedEventsDecodeIntoTheirSource) {
    const Geometry& g = GetParam();
    const Params p = geometry_params(g);
    std::mt19937_64 rng(0x52594B ^ g.channels ^ (g.samples << 8) ^ (g.windows << 20));
    for (int round = 0; round < 30; ++round) {
        const Generated gen = generate(g, rng);
        const auto got = parse_into<Ryk16Event>(gen.raw, p);
        ASSERT_TRUE(got.ok()) << "round " << round << ": " << vexoacq::error::message(got.error());
        ASSERT_EQ(*got, gen.expected) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Geometries, Ryk16RoundTrip,
                         ::testing::Values(Geometry{1, 2, 2, 1, 2, 1, 1},
                                           Geometry{4, 8, 3, 1, 2, 1, 1},
                                           Geometry{16, 64, 64, 1, 2, 1, 1},
                                           // 256 windows x 300 samples wrap the time axis.
                                           Geometry{3, 256, 300, 1, 2, 1, 1},
                                           Geometry{7, 1, 5, 1, 2, 1, 1},
                                           // Other header and footer counts.
                                           Geometry{5, 16, 4, 4, 0, 3, 0},
                                           Geometry{6, 5, 2, 0, 5, 1, 3}));

// ---------------------------------------------------------------- reuse

// One record decoded into event after event, under random tuning keys and
// geometries (more or fewer channels, longer or shorter blocks, repeated
// channels, failures), with every kernel: each result must equal the plain
// kernel's decode into a new record.
TEST(Ryk16Reuse, EveryKernelIntoAUsedRecordDecodesAsANewOne) {
    std::mt19937_64 rng(0x52594B);
    Ryk16Event reused[3];
    int decoded = 0;
    for (int round = 0; round < 300; ++round) {
        const std::size_t channels = 1 + rng() % 20;
        const std::size_t windows = 1 + rng() % 8;
        const std::size_t samples = round % 30 == 0 ? 4096 / windows : 1 + rng() % 40;
        const std::uint32_t chip_headers = static_cast<std::uint32_t>(rng() % 4);  // odd: samples at odd addresses
        const std::uint32_t chip_footers = static_cast<std::uint32_t>(rng() % 4);
        const std::uint32_t window_headers = static_cast<std::uint32_t>(rng() % 4);
        const std::uint32_t window_footers = static_cast<std::uint32_t>(rng() % 3);
        const Params p = params_with(channels, windows, samples,
                                     {{"data_mask", u(rng() % 3 == 0 ? 0xFFFF : rng() & 0xFFFF)},
                                      {"chanmask", u(rng() % 2 ? 0x0F00 : rng() & 0xFFFF)},
                                      {"chan_shift", u(rng() % 2 ? 8 : rng() % 40)},
                                      {"windmask", u(rng() % 2 ? 0x00FF : rng() & 0xFFFF)},
                                      {"n_chip_headers", u(chip_headers)},
                                      {"n_chip_footers", u(chip_footers)},
                                      {"n_window_headers", u(window_headers)},
                                      {"n_window_footers", u(window_footers)}});
        const std::size_t block_words = window_headers + windows * samples + window_footers;
        Bytes raw(chip_headers + chip_footers + 2 * channels * block_words);
        for (auto& b : raw) b = static_cast<std::uint8_t>(rng());
        // Mostly valid channel fields under the default mask and shift.
        for (std::size_t b = 0; b < channels; ++b)
            if (rng() % 8 != 0) raw[chip_headers + 2 * b * block_words + 1] = static_cast<std::uint8_t>(rng() % channels);
        if (rng() % 20 == 0) raw.push_back(0);  // UnexpectedLength
        Ryk16Event want;
        const auto want_r = vexoacq::testing::decode_with_every_kernel(raw, p, want, reused, round);
        ASSERT_FALSE(HasFatalFailure());
        decoded += want_r.ok() ? 1 : 0;
        // parse_into is the same decode into a new record.
        const auto fresh = parse_into<Ryk16Event>(raw, p);
        ASSERT_EQ(fresh.ok(), want_r.ok());
        if (fresh.ok()) {
            ASSERT_EQ(*fresh, want);
        }
    }
    EXPECT_GT(decoded, 60);  // the comparison ran on records, not only on errors
}

// ---------------------------------------------------------------- fuzz

// Random and mutated events under random keys: every call must end in a
// record, a ParsingError or an internal fault, never anything worse.
TEST(Ryk16Fuzz, EveryInputEndsCleanly) {
    std::mt19937_64 rng(20240603);
    const Geometry base{4, 4, 2, 1, 2, 1, 1};
    const char* const keys[] = {"data_mask",      "chanmask",         "chan_shift",      "windmask",
                                "n_chip_headers", "n_chip_footers",   "n_window_headers", "n_window_footers"};
    namespace t = vexoacq::testing;
    t::FuzzTally tally;
    for (int iter = 0; iter < 6000; ++iter) {
        Bytes raw;
        if (iter % 2 == 0) {
            raw = t::random_bytes(rng, 120, t::often(rng, 3, 0));
        } else {
            raw = generate(base, rng).raw;
            t::mutate(raw, rng);
        }
        Params p = geometry_params(base);
        if (rng() % 2 == 0) {
            p = make_params("ryk16", rng() % 6, rng() % 6, rng() % 4);
            t::add_random_keys(
                p, keys, rng,
                {t::absent(), t::below(3), t::any_value(), t::below(20), t::fixed(u(0)), t::fixed(i(-1))});
            // Often give the random bytes the length the keys call for, so
            // that they reach the block walk.
            const vexoacq::parsing::ryk16::ParamsCache c(p);
            const std::size_t h = c.keys.n_window_headers + c.windows * c.samples + c.keys.n_window_footers;
            const std::size_t want = c.keys.n_chip_headers + c.keys.n_chip_footers + 2 * c.channels * h;
            if (rng() % 2 == 0 && want < 4096) {
                raw.resize(want);
                for (auto& b : raw) b = static_cast<std::uint8_t>(rng());
            }
        }
        ASSERT_NO_FATAL_FAILURE((void)t::decode_and_tally<Ryk16Event>(
            raw, p, tally, [&p](const Ryk16Event& got) { ASSERT_EQ(got.channel_slots(), p.channels); }));
    }
    tally.expect_all_endings();
}

}  // namespace
