// quopoc decoder: worked events, error order, limits, tuning keys, a
// generated round trip and a bounded fuzz loop.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "parsing/parsing.hpp"
#include "parsing/quopoc.hpp"
#include "support/decoder_testing.hpp"

namespace {

using namespace vexoacq::testing::decoder_names;
using vexoacq::acquisition::YamlMapping;
using vexoacq::parsing::quopoc::QuopocEvent;

Bytes from_words(const std::vector<std::uint16_t>& words) { return vexoacq::testing::be_bytes(words); }

Params params_with(std::size_t channels, std::size_t windows, std::size_t samples, const Extra& extra) {
    return vexoacq::testing::params_with("quopoc_quop", channels, windows, samples, extra);
}

QuopocEvent record(Floats data, Shorts labels, Shorts time) {
    return vexoacq::testing::channels_record<QuopocEvent>(std::move(data), std::move(labels), std::move(time));
}

// Two chips (channels 2, samples 2, default keys): chip 0 carries channel 0,
// window 5; chip 1 carries channel 1, window 6.  The last word is not data.
const std::vector<std::uint16_t> kTwoChips = {0x0000, 0x0000, 0x0000, 0x0005, 0x0123, 0x0456, 0xFFFF,
                                              0x1000, 0x0000, 0x0000, 0x0006, 0x0789, 0xF0AB, 0xFFFF};

QuopocEvent two_chips_record() {
    return record({{291.0f, 1110.0f}, {1929.0f, 171.0f}}, {{5}, {6}}, {{0, 1}, {0, 1}});
}

std::vector<std::uint16_t> plus(std::vector<std::uint16_t> words, const std::vector<std::uint16_t>& more) {
    return vexoacq::testing::cat(std::move(words), more);
}

struct Case {
    const char* name;
    std::size_t channels;
    std::size_t samples;
    Extra extra;
    Bytes raw;
    std::variant<QuopocEvent, ParsingError> expected;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class QuopocCases : public ::testing::TestWithParam<Case> {};

constexpr auto CaseName = vexoacq::testing::case_name<Case>;

TEST_P(QuopocCases, DecodesOrFails) {
    const Case& c = GetParam();
    vexoacq::testing::expect_decodes_or_fails(c.raw, params_with(c.channels, 256, c.samples, c.extra), c.expected);
}

// A chip header of three words alone contributes nothing.
const std::vector<std::uint16_t> kHeaderOnly = {0x1000, 0x0000, 0x0000};

INSTANTIATE_TEST_SUITE_P(
    Worked, QuopocCases,
    ::testing::Values(
        Case{"two_chips", 2, 2, {}, from_words(kTwoChips), two_chips_record()},
        Case{"last_word_ignored_0000", 2, 2, {}, from_words(with(kTwoChips, 13, 0x0000)), two_chips_record()},
        Case{"last_word_ignored_1234", 2, 2, {}, from_words(with(kTwoChips, 13, 0x1234)), two_chips_record()},
        Case{"empty_final_segment", 2, 2, {}, from_words(plus(kTwoChips, {0x0000})), ParsingError::UnexpectedLength},
        Case{"channel_past_end", 2, 2, {}, from_words(with(kTwoChips, 10, 0x0106)), ParsingError::InvalidChannel},
        Case{"single_word", 2, 2, {}, Bytes{0x12, 0x34}, ParsingError::UnexpectedLength},
        Case{"empty", 2, 2, {}, Bytes{}, ParsingError::MissingData},
        Case{"odd_length", 2, 2, {}, Bytes{0x00, 0x00, 0x00}, ParsingError::UnexpectedLength},
        Case{"header_only_segment", 2, 2, {},
             from_words(plus(plus(with(kTwoChips, 13, 0xFFFF), kHeaderOnly), {0x0000})), two_chips_record()},
        Case{"header_only_event", 2, 2, {}, from_words(plus(kHeaderOnly, {0xABCD})),
             record({{}, {}}, {{}, {}}, {{}, {}})},
        // A stop word among the samples ends the segment there.
        Case{"stop_word_in_samples", 2, 2, {}, from_words(with(kTwoChips, 4, 0xFFFF)), ParsingError::UnexpectedLength},
        Case{"short_chip_header", 2, 2, {}, from_words({0x0000, 0x0000, 0xFFFF, 0x0000, 0x0000, 0x0000, 0x0000}),
             ParsingError::UnexpectedLength},
        Case{"partial_block", 2, 2, {}, from_words({0x0000, 0x0000, 0x0000, 0x0005, 0x0123, 0x0000}),
             ParsingError::UnexpectedLength}),
    CaseName);

// The first failing segment decides the error.
INSTANTIATE_TEST_SUITE_P(
    ErrorOrder, QuopocCases,
    ::testing::Values(
        // A bad length in chip 0 comes before a bad channel in chip 1.
        Case{"length_before_later_channel", 2, 2, {},
             from_words({0x0000, 0x0000, 0x0000, 0x0005, 0x0123, 0xFFFF, 0x1000, 0x0000, 0x0000, 0x0106, 0x0001,
                         0x0002, 0x0000}),
             ParsingError::UnexpectedLength},
        // A bad channel in chip 0 comes before a bad length in chip 1.
        Case{"channel_before_later_length", 2, 2, {},
             from_words({0x0000, 0x0000, 0x0000, 0x0205, 0x0123, 0x0456, 0xFFFF, 0x1000, 0x0000, 0x0000}),
             ParsingError::InvalidChannel},
        // Within one segment blocks are read in order: the bad channel of the
        // first block is met before anything else.
        Case{"first_block_channel", 2, 2, {},
             from_words({0x2000, 0x0000, 0x0000, 0x0005, 0x0123, 0x0456, 0x0000}), ParsingError::InvalidChannel}),
    CaseName);

// Tuning keys: the YAML type decides whether a key counts; its width decides
// the bits kept.  Each row changes one key of the two-chip event.
INSTANTIATE_TEST_SUITE_P(
    TuningKeys, QuopocCases,
    ::testing::Values(
        // Header 0x0406 holds field 0 under the default mask 0x0300 (a valid
        // channel 1) and field 4 under wider masks (channel 5 of 2).
        Case{"chanmask_taken", 2, 2, {{"chanmask", u(0x0700)}}, from_words(with(kTwoChips, 10, 0x0406)),
             ParsingError::InvalidChannel},
        Case{"chanmask_1536", 2, 2, {{"chanmask", u(1536)}}, from_words(with(kTwoChips, 10, 0x0406)),
             ParsingError::InvalidChannel},
        // 69120 cut to 16 bits is 0x0E00.
        Case{"chanmask_cut_to_16_bits", 2, 2, {{"chanmask", u(69120)}}, from_words(with(kTwoChips, 10, 0x0406)),
             ParsingError::InvalidChannel},
        Case{"chanmask_negative", 2, 2, {{"chanmask", i(-1)}}, from_words(with(kTwoChips, 10, 0x0406)),
             two_chips_record()},
        Case{"chanmask_float", 2, 2, {{"chanmask", YamlValue::floating(1536.0)}},
             from_words(with(kTwoChips, 10, 0x0406)), two_chips_record()},
        Case{"chanmask_text", 2, 2, {{"chanmask", s("1536")}}, from_words(with(kTwoChips, 10, 0x0406)),
             two_chips_record()},
        Case{"chanmask_bool", 2, 2, {{"chanmask", YamlValue::boolean(true)}},
             from_words(with(kTwoChips, 10, 0x0406)), two_chips_record()},
        Case{"chanmask_null", 2, 2, {{"chanmask", YamlValue::null()}}, from_words(with(kTwoChips, 10, 0x0406)),
             two_chips_record()},
        // chan_shift is taken modulo 16: 24 acts as 8, 65544 (cut to 8) too.
        // Four channels, two per chip: header 0x0105 names channel 1.
        Case{"chan_shift_mod_16", 4, 2, {{"chan_shift", u(24)}}, from_words(with(kTwoChips, 3, 0x0105)),
             record({{}, {291.0f, 1110.0f}, {1929.0f, 171.0f}, {}}, {{}, {5}, {6}, {}}, {{}, {0, 1}, {0, 1}, {}})},
        Case{"chan_shift_cut", 4, 2, {{"chan_shift", u(65544)}}, from_words(with(kTwoChips, 3, 0x0105)),
             record({{}, {291.0f, 1110.0f}, {1929.0f, 171.0f}, {}}, {{}, {5}, {6}, {}}, {{}, {0, 1}, {0, 1}, {}})},
        // chan_shift 0 reads the field unshifted: 0x0000 & 0x0300 stays 0,
        // but header 0x0105 of chip 0 becomes field 256.
        Case{"chan_shift_zero", 2, 2, {{"chan_shift", u(0)}}, from_words(with(kTwoChips, 3, 0x0105)),
             ParsingError::InvalidChannel},
        // num_chips is 32 bits wide: 2^32 + 1 is one chip, so chip 1 starts at
        // channel 2 of 2; 65537 chips own no channel each, so both chips'
        // blocks land on channel 0.
        Case{"num_chips_cut_to_32_bits", 2, 2, {{"num_chips", u((1ull << 32) + 1)}}, from_words(kTwoChips),
             ParsingError::InvalidChannel},
        Case{"num_chips_wider_than_16_bits", 2, 2, {{"num_chips", u(65537)}}, from_words(kTwoChips),
             record({{291.0f, 1110.0f, 1929.0f, 171.0f}, {}}, {{5, 6}, {}}, {{0, 1, 2, 3}, {}})},
        Case{"num_chips_text", 2, 2, {{"num_chips", s("1")}}, from_words(kTwoChips), two_chips_record()},
        Case{"databitmask", 2, 2, {{"databitmask", u(0x00FF)}}, from_words(kTwoChips),
             record({{35.0f, 86.0f}, {137.0f, 171.0f}}, {{5}, {6}}, {{0, 1}, {0, 1}})},
        Case{"databitmask_cut", 2, 2, {{"databitmask", u(0x1FFFF)}}, from_words(kTwoChips),
             record({{291.0f, 1110.0f}, {1929.0f, 61611.0f}}, {{5}, {6}}, {{0, 1}, {0, 1}})},
        Case{"windmask", 2, 2, {{"windmask", u(0x0001)}}, from_words(kTwoChips),
             record({{291.0f, 1110.0f}, {1929.0f, 171.0f}}, {{1}, {0}}, {{0, 1}, {0, 1}})},
        // Another stop word makes 0xFFFF plain data: the event is then one
        // segment that is not a whole number of blocks.
        Case{"chip_stop_word", 2, 2, {{"chip_stop_word", u(0xEEEE)}}, from_words(kTwoChips),
             ParsingError::UnexpectedLength},
        Case{"chip_stop_word_text", 2, 2, {{"chip_stop_word", s("0xEEEE")}}, from_words(kTwoChips),
             two_chips_record()},
        // Four header words: chip 0's segment is then 4 + 2, not a whole block.
        Case{"n_chip_headers", 2, 2, {{"n_chip_headers", u(4)}}, from_words(kTwoChips),
             ParsingError::UnexpectedLength},
        Case{"n_chip_headers_cut", 2, 2, {{"n_chip_headers", u((1ull << 32) + 3)}}, from_words(kTwoChips),
             two_chips_record()},
        // No window header: the header word is also the first sample, so a
        // block is two words and each segment holds one more block.
        Case{"n_window_headers_zero", 4, 2, {{"n_window_headers", u(0)}},
             from_words({0x0000, 0x0000, 0x0000, 0x0105, 0x0123, 0x0002, 0x0456, 0x0000}),
             record({{2.0f, 1110.0f}, {261.0f, 291.0f}, {}, {}}, {{2}, {5}, {}, {}}, {{0, 1}, {0, 1}, {}, {}})}),
    CaseName);

// Input outside the decoder's limits is an internal fault, after any length
// failure that comes first.
TEST(QuopocLimits, OutsideLimitsIsInternalFault) {
    struct Row {
        const char* name;
        std::size_t samples;
        Extra extra;
        Bytes raw;
    };
    const std::vector<Row> rows = {
        {"num_chips_zero", 2, {{"num_chips", u(0)}}, from_words(kTwoChips)},
        {"num_chips_zero_before_length", 2, {{"num_chips", u(0)}}, Bytes{0x12, 0x34}},
        {"empty_block", 0, {{"n_window_headers", u(0)}}, from_words(kTwoChips)},
        {"empty_segment_without_headers", 2, {{"n_chip_headers", u(0)}},
         from_words({0x0005, 0x0123, 0x0456, 0xFFFF, 0xFFFF, 0x0006, 0x0001, 0x0002, 0x0000})},
        {"only_word_without_headers", 2, {{"n_chip_headers", u(0)}}, Bytes{0x00, 0x00}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const Params p = params_with(2, 256, r.samples, r.extra);
        EXPECT_THROW((void)parse_into<QuopocEvent>(r.raw, p), InternalFault);
    }
    // With an empty block the length test of a short first segment still
    // comes first.
    const Params p = params_with(2, 256, 0, {{"n_window_headers", u(0)}});
    const auto got = parse_into<QuopocEvent>(from_words({0x0000, 0x0000, 0xFFFF, 0x0000}), p);
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error(), ParsingError::UnexpectedLength);
}

// A channel number is chip (4 bits) × per-chip share + a 16-bit field.  A
// count is taken while every slot can be filled: the field spans a chip's
// share and chip 15 reaches the last slot.  Past that, or with a share wider
// than the field, the count is refused before any slot is made; errors of
// the steps before (empty, odd length) come first.
TEST(QuopocLimits, ChannelCountsNoEventCanFillAreRefused) {
    using vexoacq::testing::expect_slot_counts;
    constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
    const Extra keys16 = {{"chanmask", u(0xFFFF)}, {"chan_shift", u(0)}, {"chip_stop_word", u(0xABCD)},
                          {"num_chips", u(16)}};
    // Chip 15, field 0xFFFF: channel 15 × 65536 + 65535 under 16 chips.
    const Bytes chip15 = from_words({0xF000, 0x0000, 0x0000, 0xFFFF, 0x0123, 0x0000});
    expect_slot_counts<QuopocEvent>(chip15, params_with(0, 256, 1, keys16),
                                    {{std::size_t{1} << 20, (std::size_t{1} << 20) - 1},
                                     {(std::size_t{1} << 20) + 1, ParsingError::InvalidParameters},
                                     // Share 65535: chip 15 reaches slot 15 × 65535 + 65535 and no further.
                                     {15 * 65535 + 65536, 15 * 65535 + 65535},
                                     {15 * 65535 + 65537, ParsingError::InvalidParameters},
                                     {10'000'000'000, ParsingError::InvalidParameters},
                                     {std::size_t{1} << 61, ParsingError::InvalidParameters},
                                     {kMax, ParsingError::InvalidParameters}});
    // Two chips: chip 1, field 0xFFFF is channel 131071 while the share is
    // 65536; a share of 65537 leaves slots no field reaches.
    const Extra keys2 = {{"chanmask", u(0xFFFF)}, {"chan_shift", u(0)}, {"chip_stop_word", u(0xABCD)}};
    const Bytes chip1 = from_words({0x1000, 0x0000, 0x0000, 0xFFFF, 0x0123, 0x0000});
    expect_slot_counts<QuopocEvent>(chip1, params_with(0, 256, 1, keys2),
                                    {{131072, 131071},
                                     {131073, 131071},
                                     {131074, ParsingError::InvalidParameters},
                                     {2, ParsingError::InvalidChannel}});
    // The worked event under the default keys.
    expect_slot_counts<QuopocEvent>(from_words(kTwoChips), params_with(0, 256, 2, {}),
                                    {{2, 1}, {65536, 32768}, {std::size_t{1} << 61, ParsingError::InvalidParameters}});
    for (const std::size_t channels : {std::size_t{10'000'000'000}, kMax}) {
        EXPECT_EQ(parse_into<QuopocEvent>(Bytes{}, params_with(channels, 256, 2, {})).error(), ParsingError::MissingData);
        EXPECT_EQ(parse_into<QuopocEvent>(Bytes(5), params_with(channels, 256, 2, {})).error(),
                  ParsingError::UnexpectedLength);
    }
}

// Sample counts near the top of the machine word must not wrap the block
// length: no block that long fits, while a header-only event still decodes.
TEST(QuopocLimits, HugeSampleCountsDoNotWrap) {
    for (const std::size_t samples : {SIZE_MAX, SIZE_MAX - 1}) {
        const Params p = params_with(2, 256, samples, {});
        const auto got = parse_into<QuopocEvent>(from_words(kTwoChips), p);
        ASSERT_FALSE(got.ok());
        EXPECT_EQ(got.error(), ParsingError::UnexpectedLength);
        const auto header_only = parse_into<QuopocEvent>(from_words(plus(kHeaderOnly, {0x0000})), p);
        ASSERT_TRUE(header_only.ok());
        EXPECT_EQ(*header_only, record({{}, {}}, {{}, {}}, {{}, {}}));
    }
}

// ---------------------------------------------------------------- round trip

struct Geometry {
    std::size_t channels;
    std::uint32_t num_chips;
    std::size_t windows;
    std::size_t samples;
    std::uint32_t n_chip_headers;
    std::uint32_t n_window_headers;
    std::uint16_t chanmask;
    std::uint16_t chan_shift;
    std::uint16_t databitmask;
};

void PrintTo(const Geometry& g, std::ostream* os) {
    *os << "channels=" << g.channels << " chips=" << g.num_chips << " windows=" << g.windows
        << " samples=" << g.samples << " H=" << g.n_chip_headers << " W=" << g.n_window_headers;
}

struct Generated {
    Bytes raw;
    QuopocEvent expected;
};

std::uint16_t random_non_stop(std::mt19937_64& rng, std::uint16_t stop) {
    for (;;) {
        const auto w = static_cast<std::uint16_t>(rng());
        if (w != stop) return w;
    }
}

// An event of random segments (chips in random order, some repeated, some
// with no block) whose channel labels walk around the ring from a random
// start, with the record it must decode into.
Generated generate(const Geometry& g, std::mt19937_64& rng) {
    constexpr std::uint16_t kStop = 0xFFFF;
    const std::size_t per_chip = g.channels / g.num_chips;
    std::vector<std::uint16_t> next_label(g.channels);
    for (auto& l : next_label) l = static_cast<std::uint16_t>(rng() % g.windows);

    Generated out;
    out.expected.resize_channels(g.channels);
    std::vector<std::uint16_t> words;
    const std::size_t segments = 1 + rng() % 5;
    for (std::size_t seg = 0; seg < segments; ++seg) {
        if (seg != 0) words.push_back(kStop);
        const auto chip = static_cast<std::uint16_t>(rng() % g.num_chips);
        for (std::uint32_t h = 0; h < g.n_chip_headers; ++h)
            words.push_back(h == 0 ? static_cast<std::uint16_t>(chip << 12 | (rng() & 0x0FFF)) : random_non_stop(rng, kStop));
        // A segment needs at least one word when there is no chip header.
        const std::size_t blocks = rng() % 6 + (g.n_chip_headers == 0 ? 1 : 0);
        for (std::size_t b = 0; b < blocks; ++b) {
            const std::size_t field = rng() % per_chip;
            const std::size_t channel = chip * per_chip + field;
            const std::uint16_t label = next_label[channel];
            next_label[channel] = static_cast<std::uint16_t>((label + 1) % g.windows);
            std::vector<std::uint16_t> block;
            // The chip number also sits in the top bits of every block header,
            // where it is the chip number of a segment without chip header.
            block.push_back(static_cast<std::uint16_t>(chip << 12 | field << g.chan_shift | label));
            for (std::size_t k = 1; k < g.n_window_headers + g.samples; ++k) block.push_back(random_non_stop(rng, kStop));
            out.expected.window_labels[channel].push_back(label);
            for (std::size_t k = g.n_window_headers; k < block.size(); ++k)
                out.expected.data[channel].push_back(static_cast<float>(block[k] & g.databitmask));
            words.insert(words.end(), block.begin(), block.end());
        }
    }
    words.push_back(static_cast<std::uint16_t>(rng()));  // not data, may be anything
    vexoacq::testing::add_time_axis(out.expected, g.channels, g.windows, g.samples);
    out.raw = from_words(words);
    return out;
}

class QuopocRoundTrip : public ::testing::TestWithParam<Geometry> {};

TEST_P(QuopocRoundTrip, GeneratedEventsDecodeIntoTheirSource) {
    const Geometry& g = GetParam();
    const Params p = params_with(g.channels, g.windows, g.samples,
                                 {{"num_chips", u(g.num_chips)},
                                  {"n_chip_headers", u(g.n_chip_headers)},
                                  {"n_window_headers", u(g.n_window_headers)},
                                  {"chanmask", u(g.chanmask)},
                                  {"chan_shift", u(g.chan_shift)},
                                  {"databitmask", u(g.databitmask)}});
    std::mt19937_64 rng(0x9E3779B97F4A7C15ull ^ g.channels ^ (g.samples << 8));
    for (int round = 0; round < 40; ++round) {
        const Generated gen = generate(g, rng);
        const auto got = parse_into<QuopocEvent>(gen.raw, p);
        ASSERT_TRUE(got.ok()) << "round " << round << ": " << vexoacq::error::message(got.error());
        ASSERT_EQ(*got, gen.expected) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Geometries, QuopocRoundTrip,
    ::testing::Values(
        // Default layout, one channel per chip field value.
        Geometry{2, 2, 256, 2, 3, 1, 0x0300, 8, 0x0FFF},
        Geometry{8, 2, 256, 16, 3, 1, 0x0300, 8, 0x0FFF},
        // Small rings wrap often; 300 samples per window wrap the time axis.
        Geometry{4, 1, 8, 3, 3, 1, 0x0300, 8, 0x0FFF},
        Geometry{6, 3, 256, 300, 3, 1, 0x0300, 8, 0x0FFF},
        // Wider channel field, other header counts, a header that is a sample.
        Geometry{32, 2, 16, 5, 1, 2, 0x0F00, 8, 0xFFFF},
        Geometry{16, 4, 64, 4, 0, 0, 0x0300, 8, 0x0FFF},
        Geometry{3, 1, 256, 1, 2, 3, 0x0300, 8, 0x00FF}));

// ---------------------------------------------------------------- fuzz

// Random and mutated events under random keys: every call must end in a
// record, a ParsingError or an internal fault, never anything worse.
TEST(QuopocFuzz, EveryInputEndsCleanly) {
    std::mt19937_64 rng(20240601);
    const Geometry base{4, 2, 16, 3, 3, 1, 0x0300, 8, 0x0FFF};
    namespace t = vexoacq::testing;
    t::FuzzTally tally;
    const Params base_params = params_with(base.channels, base.windows, base.samples, {});
    const char* const keys[] = {"num_chips", "databitmask", "chanmask", "chan_shift",
                                "windmask", "chip_stop_word", "n_chip_headers", "n_window_headers"};
    for (int iter = 0; iter < 6000; ++iter) {
        Bytes raw;
        if (iter % 2 == 0) {
            raw = t::random_bytes(rng, 96, t::often(rng, 4, 0xFF));
        } else {
            raw = generate(base, rng).raw;
            t::mutate(raw, rng);
        }
        Params p = base_params;
        if (rng() % 2 == 0) {
            p = make_params("quopoc_zelk", rng() % 9, 1 + rng() % 300, rng() % 6);
            t::add_random_keys(p, keys, rng,
                               {t::absent(), t::below(5), t::any_value(), t::below(65536), t::fixed(i(-1))});
        }
        ASSERT_NO_FATAL_FAILURE((void)t::decode_and_tally<QuopocEvent>(
            raw, p, tally, [&p](const QuopocEvent& got) { ASSERT_EQ(got.channel_slots(), p.channels); }));
    }
    tally.expect_all_endings();
}

}  // namespace
