// tolv96 decoder: the fixed 96 channel slots, chip numbers from the chip
// blocks, error order, limits, tuning keys, a generated round trip (the full
// 786842-byte event included), decoding into a record that held another
// event, every sample kernel under varied keys, and a bounded fuzz loop.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "parsing/block_kernels.hpp"
#include "parsing/parsing.hpp"
#include "parsing/tolv96.hpp"
#include "support/decoder_testing.hpp"

namespace {

using namespace vexoacq::testing::decoder_names;
using vexoacq::parsing::tolv96::Tolv96Event;

Params params_with(std::size_t channels, std::size_t windows, std::size_t samples, const Extra& extra = {}) {
    return vexoacq::testing::params_with("tolv96", channels, windows, samples, extra);
}

// Sample value v as stored: bit-inverted.
std::uint16_t stored(std::uint16_t v) { return static_cast<std::uint16_t>(~v); }

// A chip block under the default chip and window keys: the chip byte,
// `per_chip` blocks (header field j << 8 | start, S samples 50 * j + k,
// footer word), three footer bytes.
Bytes chip_block(std::uint8_t chip_byte, std::size_t per_chip, std::size_t s, std::uint16_t start) {
    Bytes out{chip_byte};
    for (std::size_t j = 0; j < per_chip; ++j) {
        put_le16(out, static_cast<std::uint16_t>(j << 8 | start));
        for (std::size_t k = 0; k < s; ++k) put_le16(out, stored(static_cast<std::uint16_t>(50 * j + k)));
        put_le16(out, 0xABCD);
    }
    for (int f = 0; f < 3; ++f) out.push_back(0xEE);
    return out;
}

Bytes event_of(const std::vector<Bytes>& chips, std::size_t footer = 2) {
    Bytes out;
    for (const Bytes& c : chips) out.insert(out.end(), c.begin(), c.end());
    for (std::size_t f = 0; f < footer; ++f) out.push_back(0xF0);
    return out;
}

ParsingError error_of(const Bytes& raw, const Params& p) {
    const auto got = parse_into<Tolv96Event>(raw, p);
    EXPECT_FALSE(got.ok());
    return got.ok() ? ParsingError::Unknown : got.error();
}

void expect_shape(const Tolv96Event& e) {
    EXPECT_EQ(e.data.size(), 96u);
    EXPECT_EQ(e.window_labels.size(), 96u);
    EXPECT_EQ(e.time.size(), 96u);
    ASSERT_EQ(e.ecc_errors.size(), 96u);
    for (const auto& l : e.ecc_errors) EXPECT_TRUE(l.empty());
}

TEST(Tolv96Event, FooterOnlyEventHasNinetySixEmptySlots) {
    for (const std::size_t channels : {0u, 6u, 48u, 96u}) {
        SCOPED_TRACE(channels);
        const auto got = parse_into<Tolv96Event>(Bytes{0x12, 0x34}, params_with(channels, 64, 64));
        ASSERT_TRUE(got.ok()) << vexoacq::error::message(got.error());
        expect_shape(*got);
        EXPECT_TRUE(got->chip_ids.empty());
        for (std::size_t c = 0; c < 96; ++c) {
            EXPECT_TRUE(got->data[c].empty());
            EXPECT_TRUE(got->window_labels[c].empty());
            EXPECT_TRUE(got->time[c].empty());
        }
    }
}

// windows 1, samples 1: S = 1, blocks of 3 words, chip blocks of 100 bytes.
TEST(Tolv96Event, ChipNumberPlacesItsBlocks) {
    struct Row {
        std::uint8_t chip_byte;
        std::size_t first_channel;  // or 96 when the chip lies beyond the slots
    };
    // Only the low 6 bits of the chip byte are the chip number.
    for (const Row& r : {Row{0x45, 80}, Row{0xC5, 80}, Row{0x00, 0}, Row{0x46, 96}, Row{0x86, 96}, Row{0x3F, 96}}) {
        SCOPED_TRACE(static_cast<int>(r.chip_byte));
        const auto got = parse_into<Tolv96Event>(event_of({chip_block(r.chip_byte, 16, 1, 0)}), params_with(96, 1, 1));
        if (r.first_channel == 96) {
            ASSERT_FALSE(got.ok());
            EXPECT_EQ(got.error(), ParsingError::InvalidChannel);
            continue;
        }
        ASSERT_TRUE(got.ok()) << vexoacq::error::message(got.error());
        expect_shape(*got);
        EXPECT_EQ(got->chip_ids, std::vector<std::uint8_t>{static_cast<std::uint8_t>(r.chip_byte & 0x3F)});
        for (std::size_t c = 0; c < 96; ++c) {
            if (c >= r.first_channel && c < r.first_channel + 16) {
                const auto j = static_cast<float>(c - r.first_channel);
                EXPECT_EQ(got->data[c], std::vector<float>{50.0f * j}) << c;
                EXPECT_EQ(got->window_labels[c], std::vector<std::uint16_t>{0}) << c;
                EXPECT_EQ(got->time[c], std::vector<std::uint16_t>{0}) << c;
            } else {
                EXPECT_TRUE(got->data[c].empty()) << c;
                EXPECT_TRUE(got->window_labels[c].empty()) << c;
            }
        }
    }
}

TEST(Tolv96Event, RepeatedChipNumberAppendsToTheSameChannels) {
    // windows 2, samples 1: S = 2.  First chip starts its ring at 1, the
    // second at 0: labels [1, 0, 0, 1], measured from label 1.
    const Bytes raw = event_of({chip_block(0x05, 16, 2, 1), chip_block(0x05, 16, 2, 0)});
    const auto got = parse_into<Tolv96Event>(raw, params_with(96, 2, 1));
    ASSERT_TRUE(got.ok()) << vexoacq::error::message(got.error());
    expect_shape(*got);
    EXPECT_EQ(got->chip_ids, (std::vector<std::uint8_t>{5, 5}));
    for (std::size_t j = 0; j < 16; ++j) {
        const auto v = static_cast<float>(50 * j);
        EXPECT_EQ(got->data[80 + j], (std::vector<float>{v, v + 1, v, v + 1}));
        EXPECT_EQ(got->window_labels[80 + j], (std::vector<std::uint16_t>{1, 0, 0, 1}));
        EXPECT_EQ(got->time[80 + j], (std::vector<std::uint16_t>{0, 1, 1, 0}));
    }
    EXPECT_TRUE(got->data[0].empty());
}

TEST(Tolv96Event, ChannelsBelowNinetySixGetNoTimesPastTheirCount) {
    // channels 48: 8 channels per chip.  Chip 7 lands on 56..63, past the
    // 48 channels that the time axis walks; chip 5 lands on 40..47.
    const Bytes raw = event_of({chip_block(0x07, 8, 1, 0), chip_block(0x05, 8, 1, 0)});
    const auto got = parse_into<Tolv96Event>(raw, params_with(48, 1, 1));
    ASSERT_TRUE(got.ok()) << vexoacq::error::message(got.error());
    expect_shape(*got);
    for (std::size_t c = 56; c < 64; ++c) {
        EXPECT_EQ(got->data[c].size(), 1u);
        EXPECT_EQ(got->window_labels[c].size(), 1u);
        EXPECT_TRUE(got->time[c].empty());
    }
    for (std::size_t c = 40; c < 48; ++c) EXPECT_EQ(got->time[c], std::vector<std::uint16_t>{0});
}

TEST(Tolv96Event, BlockStartPastRingEndGivesSamplesWithoutLabels) {
    // chanmask 0: every block is field 0, so the chip's blocks all go to
    // channel chip * C.  Start 0xFFFF + 2 windows passes 65535.
    Bytes chip{0x00};
    put_le16(chip, 0xFFFF);
    put_le16(chip, stored(7));
    put_le16(chip, stored(9));
    put_le16(chip, 0);
    for (int f = 0; f < 3; ++f) chip.push_back(0);
    const auto got = parse_into<Tolv96Event>(event_of({chip}), params_with(6, 2, 1, {{"windmask", u(0xFFFF)}, {"chanmask", u(0)}}));
    ASSERT_TRUE(got.ok()) << vexoacq::error::message(got.error());
    EXPECT_EQ(got->data[0], (std::vector<float>{7.0f, 9.0f}));
    EXPECT_TRUE(got->window_labels[0].empty());
    EXPECT_TRUE(got->time[0].empty());
}

TEST(Tolv96Event, NoChannelsPerChipLeavesOnlyChipNumbers) {
    // 5 channels over 6 chips: C = 0, a chip block is its 4 header and
    // footer bytes.
    const auto got = parse_into<Tolv96Event>(Bytes{0x03, 0, 0, 0, 0x41, 0, 0, 0, 0, 0}, params_with(5, 64, 64));
    ASSERT_TRUE(got.ok()) << vexoacq::error::message(got.error());
    expect_shape(*got);
    EXPECT_EQ(got->chip_ids, (std::vector<std::uint8_t>{3, 1}));
    for (const auto& d : got->data) EXPECT_TRUE(d.empty());
}

TEST(Tolv96Errors, InOrder) {
    const Bytes one_chip = event_of({chip_block(0x00, 16, 1, 0)});  // 102 bytes
    struct Row {
        const char* name;
        Params params;
        Bytes raw;
        ParsingError expected;
    };
    const std::vector<Row> rows = {
        {"empty", params_with(96, 1, 1), Bytes{}, ParsingError::MissingData},
        {"empty_before_num_chips", params_with(96, 1, 1, {{"num_chips", u(0)}}), Bytes{}, ParsingError::MissingData},
        {"odd", params_with(96, 1, 1), Bytes{0, 0, 0}, ParsingError::UnexpectedLength},
        {"odd_before_num_chips", params_with(96, 1, 1, {{"num_chips", u(0)}}), Bytes{0}, ParsingError::UnexpectedLength},
        {"not_whole_chips", params_with(96, 1, 1), event_of({chip_block(0x00, 16, 1, 0)}, 4), ParsingError::UnexpectedLength},
        {"shorter_than_footer", params_with(96, 1, 1, {{"n_event_footers", u(4)}}), Bytes{0, 0}, ParsingError::UnexpectedLength},
        // Length comes before the channel of any block.
        {"length_before_channel", params_with(96, 1, 1), event_of({chip_block(0x3F, 16, 1, 0)}, 4),
         ParsingError::UnexpectedLength},
        // A bad chip after a good one still fails the event.
        {"second_chip_bad", params_with(96, 1, 1), event_of({chip_block(0x00, 16, 1, 0), chip_block(0x06, 16, 1, 0)}),
         ParsingError::InvalidChannel},
        // 97 channels: 16 per chip, the event decodes, then channel 96 has
        // no label list.
        {"channels_97", params_with(97, 1, 1), one_chip, ParsingError::MissingData},
        {"channels_97_channel_first", params_with(97, 1, 1), event_of({chip_block(0x06, 16, 1, 0)}),
         ParsingError::InvalidChannel},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(error_of(r.raw, r.params), r.expected);
    }
}

TEST(Tolv96Errors, ChannelNumberWrapsAtSixteenBits) {
    // One chip of 16384 blocks of a single header word (S = 0, no footer
    // word), all with field 0.  Chip 4's channels are 65536 + field, which
    // wraps to 0 (and then the time axis finds no slot 96); chip 3's are
    // 49152 and up.
    const Params p = params_with(16384, 1, 0, {{"num_chips", u(1)}, {"n_window_footers", u(0)}});
    for (const auto& [chip, expected] : {std::pair{std::uint8_t{4}, ParsingError::MissingData},
                                        std::pair{std::uint8_t{3}, ParsingError::InvalidChannel}}) {
        Bytes raw{chip};
        raw.resize(1 + 2 * 16384, 0);
        for (int k = 0; k < 3 + 2; ++k) raw.push_back(0);
        EXPECT_EQ(error_of(raw, p), expected) << static_cast<int>(chip);
    }
}

TEST(Tolv96Limits, OutsideTheLimitsIsAnInternalFault) {
    struct Row {
        const char* name;
        Params params;
        std::size_t bytes;
    };
    const std::vector<Row> rows = {
        {"num_chips_zero", params_with(96, 1, 1, {{"num_chips", u(0)}}), 102},
        {"num_chips_zero_footer_only", params_with(96, 1, 1, {{"num_chips", u(0)}}), 2},
        // C = 0 and no chip header or footer bytes: L = 0.
        {"chip_length_zero", params_with(5, 1, 1, {{"n_chip_headers", u(0)}, {"n_chip_footers", u(0)}}), 2},
        // S = 0 and no window header or footer words: H = 0, L = 4.
        {"block_length_zero",
         params_with(96, 64, 0, {{"n_window_headers", u(0)}, {"n_window_footers", u(0)}}), 6},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_THROW((void)parse_into<Tolv96Event>(Bytes(r.bytes, 0), r.params), InternalFault);
    }
    // Without a chip block a zero-length channel block is never cut.
    const auto footer_only = parse_into<Tolv96Event>(
        Bytes{0, 0}, params_with(96, 64, 0, {{"n_window_headers", u(0)}, {"n_window_footers", u(0)}}));
    EXPECT_TRUE(footer_only.ok());
}

TEST(Tolv96Limits, LengthsBeyondTheAddressSpace) {
    // S = 2^64 overflows: no chip block fits an event, but a footer-only
    // event holds none.
    const Params p = params_with(96, 1ull << 32, 1ull << 32);
    EXPECT_EQ(error_of(Bytes(102, 0), p), ParsingError::UnexpectedLength);
    EXPECT_TRUE(parse_into<Tolv96Event>(Bytes{0, 0}, p).ok());
}

TEST(Tolv96Keys, TakenOnlyAsNonNegativeIntegers) {
    const Bytes one_chip = event_of({chip_block(0x00, 16, 1, 0)});  // 102 bytes under the defaults
    struct Row {
        const char* name;
        Extra extra;
        bool decodes;
    };
    const std::vector<Row> rows = {
        {"defaults", {}, true},
        {"num_chips_3", {{"num_chips", u(3)}}, false},  // 32 blocks per chip
        {"num_chips_text", {{"num_chips", s("3")}}, true},
        {"num_chips_float", {{"num_chips", YamlValue::floating(3.0)}}, true},
        {"num_chips_cut_to_32_bits", {{"num_chips", u((1ull << 32) + 6)}}, true},
        {"n_event_footers_4", {{"n_event_footers", u(4)}}, false},
        {"n_event_footers_negative", {{"n_event_footers", i(-4)}}, true},
        {"n_event_footers_cut", {{"n_event_footers", u((1ull << 32) + 2)}}, true},
        {"n_chip_footers_1", {{"n_chip_footers", u(1)}}, false},
        {"n_chip_headers_3", {{"n_chip_headers", u(3)}}, false},
        {"n_window_footers_bool", {{"n_window_footers", YamlValue::boolean(false)}}, true},
        {"n_window_headers_null", {{"n_window_headers", YamlValue::null()}}, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const auto got = parse_into<Tolv96Event>(one_chip, params_with(96, 1, 1, r.extra));
        EXPECT_EQ(got.ok(), r.decodes);
        if (!r.decodes && !got.ok()) {
            EXPECT_EQ(got.error(), ParsingError::UnexpectedLength);
        }
    }
    // Masks and the shift act on every block: data_mask cut to 0x000F, and a
    // shift of 25 mod 16 = 9 maps fields 2k and 2k + 1 onto channel k.
    const auto masked = parse_into<Tolv96Event>(
        one_chip, params_with(96, 1, 1, {{"data_mask", u(0x1000F)}, {"chan_shift", u(25)}}));
    ASSERT_TRUE(masked.ok()) << vexoacq::error::message(masked.error());
    EXPECT_EQ(masked->data[1], (std::vector<float>{100 & 0xF, 150 & 0xF}));
    EXPECT_EQ(masked->window_labels[1], (std::vector<std::uint16_t>{0, 0}));
    EXPECT_TRUE(masked->data[8].empty());
}

// ---------------------------------------------------------------- round trip

struct Geometry {
    std::size_t channels;
    std::size_t windows;
    std::size_t samples;
    std::uint32_t num_chips;
    std::uint32_t chip_headers;
    std::uint32_t chip_footers;
    std::uint32_t window_headers;
    std::uint32_t window_footers;
    std::uint32_t event_footers;
    std::size_t max_chips;  // chip blocks per event: 0 .. max_chips
    int rounds;
};

void PrintTo(const Geometry& g, std::ostream* os) {
    *os << "channels=" << g.channels << " windows=" << g.windows << " samples=" << g.samples
        << " num_chips=" << g.num_chips << " chip=" << g.chip_headers << "/" << g.chip_footers
        << " window=" << g.window_headers << "/" << g.window_footers << " event_footers=" << g.event_footers;
}

Params geometry_params(const Geometry& g) {
    return params_with(g.channels, g.windows, g.samples,
                       {{"num_chips", u(g.num_chips)},
                        {"n_chip_headers", u(g.chip_headers)},
                        {"n_chip_footers", u(g.chip_footers)},
                        {"n_window_headers", u(g.window_headers)},
                        {"n_window_footers", u(g.window_footers)},
                        {"n_event_footers", u(g.event_footers)}});
}

struct Generated {
    Bytes raw;
    Tolv96Event expected;
};

// Chip blocks with random valid chip numbers (repeats included, random high
// bits in the chip byte), blocks for random fields of the chip (repeats and
// absences), random ring starts and random 10-bit samples stored inverted
// with random high bits.  Needs window_headers >= 1, chip_headers >= 1,
// C <= 96 and windows <= 256.
Generated generate(const Geometry& g, std::mt19937_64& rng) {
    const std::size_t per_chip = g.channels / g.num_chips;
    const std::size_t s = g.windows * g.samples;
    const std::size_t valid_chips = per_chip == 0 ? 64 : std::min<std::size_t>(64, 96 / per_chip);
    Generated out;
    out.expected.resize_channels(96);
    out.expected.ecc_errors.resize(96);
    // An empty event is MissingData: without an event footer take one chip at least.
    std::size_t chips = rng() % (g.max_chips + 1);
    if (chips == 0 && g.event_footers == 0) chips = 1;
    for (std::size_t k = 0; k < chips; ++k) {
        const auto chip = static_cast<std::uint8_t>(rng() % valid_chips);
        out.expected.chip_ids.push_back(chip);
        out.raw.push_back(static_cast<std::uint8_t>(chip | (rng() & 0xC0)));
        for (std::uint32_t h = 1; h < g.chip_headers; ++h) out.raw.push_back(static_cast<std::uint8_t>(rng()));
        for (std::size_t j = 0; j < per_chip; ++j) {
            const auto field = static_cast<std::uint16_t>(rng() % per_chip);
            const std::size_t channel = chip * per_chip + field;
            const auto start = static_cast<std::uint16_t>(rng() % g.windows);
            put_le16(out.raw, static_cast<std::uint16_t>(field << 8 | start));
            for (std::uint32_t h = 1; h < g.window_headers; ++h) put_le16(out.raw, static_cast<std::uint16_t>(rng()));
            for (std::size_t w = 0; w < g.windows; ++w)
                out.expected.window_labels[channel].push_back(static_cast<std::uint16_t>((start + w) % g.windows));
            for (std::size_t k2 = 0; k2 < s; ++k2) {
                const auto v = static_cast<std::uint16_t>(rng() & 0x3FF);
                put_le16(out.raw, static_cast<std::uint16_t>(stored(v) ^ (rng() & 0xFC00)));
                out.expected.data[channel].push_back(static_cast<float>(v));
            }
            for (std::uint32_t f = 0; f < g.window_footers; ++f) put_le16(out.raw, static_cast<std::uint16_t>(rng()));
        }
        for (std::uint32_t f = 0; f < g.chip_footers; ++f) out.raw.push_back(static_cast<std::uint8_t>(rng()));
    }
    for (std::uint32_t f = 0; f < g.event_footers; ++f) out.raw.push_back(static_cast<std::uint8_t>(rng()));
    vexoacq::testing::add_time_axis(out.expected, std::min<std::size_t>(g.channels, 96), g.windows, g.samples);
    return out;
}

class Tolv96RoundTrip : public ::testing::TestWithParam<Geometry> {};

TEST_P(Tolv96RoundTrip, GeneratedEventsDecodeIntoTheirSource) {
    const Geometry& g = GetParam();
    const Params p = geometry_params(g);
    std::mt19937_64 rng(0x544F4C ^ g.channels ^ (g.samples << 8) ^ (g.windows << 20));
    for (int round = 0; round < g.rounds; ++round) {
        const Generated gen = generate(g, rng);
        const auto got = parse_into<Tolv96Event>(gen.raw, p);
        ASSERT_TRUE(got.ok()) << "round " << round << ": " << vexoacq::error::message(got.error());
        ASSERT_EQ(*got, gen.expected) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Geometries, Tolv96RoundTrip,
                         ::testing::Values(Geometry{96, 2, 2, 6, 1, 3, 1, 1, 2, 8, 40},
                                           Geometry{48, 5, 3, 6, 1, 3, 1, 1, 2, 8, 40},
                                           // 96 channels on 3 chips of 32; 200 x 400 wraps the time axis.
                                           Geometry{96, 200, 400, 3, 1, 3, 1, 1, 2, 1, 3},
                                           Geometry{13, 16, 4, 4, 1, 3, 1, 1, 2, 6, 30},
                                           // Other header and footer counts.
                                           Geometry{96, 8, 2, 6, 2, 0, 3, 0, 6, 6, 30},
                                           Geometry{24, 3, 7, 2, 4, 2, 1, 2, 0, 4, 30}));

TEST(Tolv96RoundTrip, FullDefaultEvent) {
    // Six chips of 16 channels, 64 windows of 64 samples, every channel once:
    // the 786842-byte event of the data-word check's geometry.
    std::mt19937_64 rng(96);
    Generated gen;
    gen.expected.resize_channels(96);
    gen.expected.ecc_errors.resize(96);
    for (std::uint8_t chip = 0; chip < 6; ++chip) {
        gen.raw.push_back(chip);
        gen.expected.chip_ids.push_back(chip);
        for (std::uint16_t field = 0; field < 16; ++field) {
            const std::size_t channel = chip * 16u + field;
            const auto start = static_cast<std::uint16_t>(rng() % 64);
            put_le16(gen.raw, static_cast<std::uint16_t>(field << 8 | start));
            for (std::size_t k = 0; k < 4096; ++k) {
                const auto v = static_cast<std::uint16_t>(rng() & 0x3FF);
                put_le16(gen.raw, stored(v));
                gen.expected.data[channel].push_back(static_cast<float>(v));
            }
            put_le16(gen.raw, 0);
            for (std::uint16_t w = 0; w < 64; ++w) {
                gen.expected.window_labels[channel].push_back(static_cast<std::uint16_t>((start + w) % 64));
                for (std::uint16_t sm = 0; sm < 64; ++sm)
                    gen.expected.time[channel].push_back(static_cast<std::uint16_t>(w * 64 + sm));
            }
        }
        gen.raw.insert(gen.raw.end(), 3, 0);
    }
    gen.raw.insert(gen.raw.end(), 2, 0);
    ASSERT_EQ(gen.raw.size(), 786842u);
    const auto got = parse_into<Tolv96Event>(gen.raw, params_with(96, 64, 64));
    ASSERT_TRUE(got.ok()) << vexoacq::error::message(got.error());
    EXPECT_EQ(*got, gen.expected);
}

// ---------------------------------------------------------------- reuse

// A record that held one event, decoded into again, must equal a fresh
// decode of the second event: no list may keep values, lengths, labels or
// times of the first (fewer chips, shorter blocks, fewer channels, footer
// only), nor of a decode that failed half way.
TEST(Tolv96Reuse, DecodingIntoAUsedRecordEqualsAFreshDecode) {
    using vexoacq::parsing::tolv96::decode_into;
    std::vector<Bytes> six;
    for (std::uint8_t chip = 0; chip < 6; ++chip) six.push_back(chip_block(chip, 16, 8, 1));
    const Bytes full = event_of(six);
    const Bytes two = event_of({chip_block(4, 16, 8, 3), chip_block(4, 16, 8, 0)});  // chip 4 twice
    const Bytes shorter = event_of({chip_block(1, 16, 4, 1)});
    const Bytes footer_only = event_of({});
    // Chip 6 of 16 channels is past channel 95: InvalidChannel after chip 0 was read.
    const Bytes bad_chip = event_of({chip_block(0, 16, 8, 0), chip_block(6, 16, 8, 0)});
    const Params p8 = params_with(96, 2, 4);  // S = 8
    const Params p4 = params_with(96, 2, 2);  // S = 4
    const Params p48 = params_with(48, 2, 4, {{"num_chips", u(3)}});  // C = 16, times for 0..47 only
    const Params p97 = params_with(97, 2, 4, {{"num_chips", u(6)}});  // MissingData after the data are in
    struct Step {
        const char* what;
        const Bytes* raw;
        const Params* params;
    };
    const struct {
        Step first, second;
    } cases[] = {
        {{"full", &full, &p8}, {"two chips", &two, &p8}},
        {{"two chips", &two, &p8}, {"full", &full, &p8}},
        {{"full", &full, &p8}, {"shorter blocks", &shorter, &p4}},
        {{"shorter blocks", &shorter, &p4}, {"full", &full, &p8}},
        {{"full", &full, &p8}, {"48 channels", &full, &p48}},
        {{"full", &full, &p8}, {"footer only", &footer_only, &p8}},
        {{"bad chip", &bad_chip, &p8}, {"two chips", &two, &p8}},
        {{"97 channels", &full, &p97}, {"shorter blocks", &shorter, &p4}},
        {{"full", &full, &p8}, {"97 channels", &full, &p97}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.first.what) + " then " + c.second.what);
        const auto fresh = parse_into<Tolv96Event>(*c.second.raw, *c.second.params);
        for (const auto kernel : vexoacq::runtime::cpu::kAllKernels) {
            Tolv96Event record;
            (void)decode_into(*c.first.raw, *c.first.params, record, kernel);
            const auto again = decode_into(*c.second.raw, *c.second.params, record, kernel);
            ASSERT_EQ(again.ok(), fresh.ok());
            if (fresh.ok()) {
                ASSERT_EQ(record, *fresh);
            } else {
                EXPECT_EQ(again.error(), fresh.error());
            }
        }
    }
}

// Every sample kernel, into a record reused across rounds, against the plain
// kernel into a new record, under random values of every tuning key: masks
// that keep any bits, shifts, odd chip-header lengths (samples at odd byte
// addresses), block lengths that leave vector tails.
TEST(Tolv96Kernels, EveryKernelDecodesAsThePlainLoop) {
    std::mt19937_64 rng(0x4B45524E);
    Tolv96Event reused[3];
    int decoded = 0;
    for (int round = 0; round < 300; ++round) {
        const std::size_t windows = 1 + rng() % 8;
        const std::size_t samples = round % 25 == 0 ? 4096 / windows : 1 + rng() % 40;
        const std::uint32_t num_chips = 1 + static_cast<std::uint32_t>(rng() % 6);
        const std::size_t channels = num_chips * (1 + rng() % 16);
        const std::uint16_t chanmask = rng() % 2 ? 0x0F00 : static_cast<std::uint16_t>(rng());
        const Params p = params_with(channels, windows, samples,
                                     {{"data_mask", u(rng() % 3 == 0 ? 0xFFFF : rng() & 0xFFFF)},
                                      {"chanmask", u(chanmask)},
                                      {"chan_shift", u(rng() % 2 ? 8 : rng() % 40)},
                                      {"windmask", u(rng() % 2 ? 0x00FF : rng() & 0xFFFF)},
                                      {"n_chip_headers", u(rng() % 4)},
                                      {"n_chip_footers", u(rng() % 5)},
                                      {"n_window_headers", u(rng() % 4)},
                                      {"n_window_footers", u(rng() % 3)},
                                      {"num_chips", u(num_chips)},
                                      {"n_event_footers", u(rng() % 3 * 2)}});
        const vexoacq::parsing::tolv96::ParamsCache c(p);
        ASSERT_TRUE(c.lengths_fit);
        Bytes raw((1 + rng() % 6) * c.chip_len + c.n_event_footers);
        for (auto& b : raw) b = static_cast<std::uint8_t>(rng());
        // Chip numbers whose channels exist, so that most events decode.
        for (std::size_t chip = 0; chip * c.chip_len + c.n_event_footers < raw.size(); ++chip)
            raw[chip * c.chip_len] = static_cast<std::uint8_t>((rng() % (96 / c.channels_per_chip) / 2) | (rng() & 0xC0));
        if (raw.size() % 2 != 0) raw.push_back(0);
        Tolv96Event want;
        const auto want_r = vexoacq::testing::decode_with_every_kernel(raw, p, want, reused, round);
        ASSERT_FALSE(HasFatalFailure());
        decoded += want_r.ok() ? 1 : 0;
    }
    EXPECT_GT(decoded, 100);  // the comparison ran on records, not only on errors
}

// ---------------------------------------------------------------- fuzz

// Random and mutated events under random keys: every call must end in a
// record, a ParsingError or an internal fault, never anything worse.
TEST(Tolv96Fuzz, EveryInputEndsCleanly) {
    std::mt19937_64 rng(20240604);
    const Geometry base{12, 2, 2, 6, 1, 3, 1, 1, 2, 3, 1};
    const char* const keys[] = {"data_mask",        "chanmask",         "chan_shift",     "windmask",
                                "n_chip_headers",   "n_chip_footers",   "n_window_headers", "n_window_footers",
                                "num_chips",        "n_event_footers"};
    namespace t = vexoacq::testing;
    t::FuzzTally tally;
    for (int iter = 0; iter < 6000; ++iter) {
        Bytes raw;
        if (iter % 2 == 0) {
            raw = t::random_bytes(rng, 200, t::often(rng, 3, 0));
        } else {
            raw = generate(base, rng).raw;
            t::mutate(raw, rng);
        }
        Params p = geometry_params(base);
        if (rng() % 2 == 0) {
            p = make_params("tolv96", rng() % 100, rng() % 6, rng() % 4);
            t::add_random_keys(
                p, keys, rng,
                {t::absent(), t::below(3), t::any_value(), t::below(20), t::fixed(u(0)), t::fixed(i(-1))});
            // Often give the random bytes a whole number of chip blocks.
            try {
                const vexoacq::parsing::tolv96::ParamsCache c(p);
                if (c.lengths_fit && c.chip_len < 2048 && c.n_event_footers < 2048 && rng() % 2 == 0) {
                    raw.resize(c.chip_len * (rng() % 3) + c.n_event_footers);
                    for (auto& b : raw) b = static_cast<std::uint8_t>(rng() % 4 == 0 ? rng() % 6 : rng());
                }
            } catch (const InternalFault&) {
                // num_chips 0: the decoder must refuse it too.
            }
        }
        ASSERT_NO_FATAL_FAILURE((void)t::decode_and_tally<Tolv96Event>(raw, p, tally, [](const Tolv96Event& got) {
            ASSERT_EQ(got.channel_slots(), 96u);
            ASSERT_EQ(got.ecc_errors.size(), 96u);
        }));
    }
    tally.expect_all_endings();
}

}  // namespace
