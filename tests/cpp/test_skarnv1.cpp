// skarnv1 decoder: worked events, error order, limits, tuning keys, the
// layout under non-default header and footer counts, a generated round trip
// and a bounded fuzz loop.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "parsing/parsing.hpp"
#include "parsing/skarnv1.hpp"
#include "support/decoder_testing.hpp"

namespace {

using namespace vexoacq::testing::decoder_names;
using vexoacq::parsing::skarnv1::Skarnv1Event;

Bytes from_words(const Words& words) { return vexoacq::testing::be_bytes(words); }

Params params_with(std::size_t channels, std::size_t windows, std::size_t samples, const Extra& extra) {
    return vexoacq::testing::params_with("skarn", channels, windows, samples, extra);
}

Skarnv1Event record(Floats data, Shorts labels, Shorts time) {
    return vexoacq::testing::channels_record<Skarnv1Event>(std::move(data), std::move(labels), std::move(time));
}

// One chunk under the default keys and one sample per window: a 7-word
// header whose first word is the group, four blocks (label, channel in
// group, sample), then the footer and closing words (the event's 4 unread
// bytes, or those of a full chunk).
Words chunk(std::uint16_t group, std::uint16_t label, std::uint16_t first_sample) {
    Words w = {group, 0x1111, 0x2222, 0x3333, 0x4444, 0x5555, 0x6666};
    for (std::uint16_t c = 0; c < 4; ++c) {
        w.push_back(label);
        w.push_back(c);
        w.push_back(static_cast<std::uint16_t>(first_sample + c));
    }
    w.push_back(0xAAAA);
    w.push_back(0xBBBB);
    return w;
}
Bytes bytes_plus(const Words& w, std::size_t extra) {
    Bytes b = from_words(w);
    for (std::size_t k = 0; k < extra; ++k) b.push_back(static_cast<std::uint8_t>(0xC0 + k));
    return b;
}
Bytes bytes_less(const Words& w, std::size_t fewer) {
    Bytes b = from_words(w);
    b.resize(b.size() - fewer);
    return b;
}

Skarnv1Event one_chunk_record() {
    return record({{256.0f}, {257.0f}, {258.0f}, {259.0f}}, {{2}, {2}, {2}, {2}}, {{0}, {0}, {0}, {0}});
}
// Chunk (label 2, samples 0x100..) then chunk (label 1, samples 0x200..):
// label 1 lies 3 windows after 2 on a ring of 4.
Skarnv1Event two_chunk_record() {
    return record({{256.0f, 512.0f}, {257.0f, 513.0f}, {258.0f, 514.0f}, {259.0f, 515.0f}},
                  {{2, 1}, {2, 1}, {2, 1}, {2, 1}}, {{0, 3}, {0, 3}, {0, 3}, {0, 3}});
}

struct Case {
    const char* name;
    std::size_t channels;
    std::size_t samples;
    Extra extra;
    Bytes raw;
    std::variant<Skarnv1Event, ParsingError> expected;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
constexpr auto CaseName = vexoacq::testing::case_name<Case>;

class SkarnCases : public ::testing::TestWithParam<Case> {};

TEST_P(SkarnCases, DecodesOrFails) {
    const Case& c = GetParam();
    vexoacq::testing::expect_decodes_or_fails(c.raw, params_with(c.channels, 4, c.samples, c.extra), c.expected);
}

const Words kChunk = chunk(0, 2, 0x0100);          // 21 words, Q = 42 bytes
const Words kChunk2 = chunk(0, 1, 0x0200);

INSTANTIATE_TEST_SUITE_P(
    Worked, SkarnCases,
    ::testing::Values(
        // The 4 closing bytes of the only chunk are the event's unread tail.
        Case{"one_chunk_42", 4, 1, {}, from_words(kChunk), one_chunk_record()},
        Case{"one_chunk_44", 4, 1, {}, bytes_plus(kChunk, 2), one_chunk_record()},
        Case{"second_chunk_too_short", 4, 1, {}, bytes_plus(kChunk, 6), ParsingError::UnexpectedLength},
        Case{"shorter_than_a_chunk", 4, 1, {}, bytes_less(kChunk, 2), ParsingError::UnexpectedLength},
        Case{"group_past_channels", 4, 1, {}, from_words(with(kChunk, 0, 1)), ParsingError::InvalidChannel},
        // k chunks are k * Q or k * Q + 4 bytes long.
        Case{"two_chunks_short_form", 4, 1, {}, from_words(cat(kChunk, kChunk2)), two_chunk_record()},
        Case{"two_chunks_full_form", 4, 1, {}, bytes_plus(cat(kChunk, kChunk2), 4), two_chunk_record()},
        Case{"empty", 4, 1, {}, Bytes{}, ParsingError::UnexpectedLength},
        Case{"odd_length", 4, 1, {}, bytes_plus(kChunk, 1), ParsingError::UnexpectedLength},
        // Group 1 numbers its channels from 4; channel word 3 of group 0 is 3.
        Case{"groups_share_numbering", 8, 1, {}, from_words(cat(kChunk, chunk(1, 3, 0x0300))),
             record({{256.0f}, {257.0f}, {258.0f}, {259.0f}, {768.0f}, {769.0f}, {770.0f}, {771.0f}},
                    {{2}, {2}, {2}, {2}, {3}, {3}, {3}, {3}}, {{0}, {0}, {0}, {0}, {0}, {0}, {0}, {0}})},
        // A channel word beyond 3 reaches into the next group's channels, and
        // sample words are taken whole (no mask).
        Case{"channel_word_past_group", 8, 1, {}, from_words(with(with(kChunk, 8, 6), 9, 0xFFFF)),
             record({{}, {257.0f}, {258.0f}, {259.0f}, {}, {}, {65535.0f}, {}}, {{}, {2}, {2}, {2}, {}, {}, {2}, {}},
                    {{}, {0}, {0}, {0}, {}, {}, {0}, {}})},
        // "hux-k12-4" is the same decoder: checked in ModelStrings below.
        Case{"channels_zero", 0, 1, {}, from_words(kChunk), ParsingError::InvalidChannel}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    ErrorOrder, SkarnCases,
    ::testing::Values(
        // Chunks are taken in order: a bad channel in chunk 0 comes before the
        // short chunk that follows it.
        Case{"channel_before_later_length", 4, 1, {}, bytes_plus(with(kChunk, 0, 1), 6), ParsingError::InvalidChannel},
        // A short chunk after a good one is still an error.
        Case{"length_after_good_chunk", 4, 1, {}, bytes_plus(cat(kChunk, kChunk2), 6), ParsingError::UnexpectedLength},
        // The fourth block's channel is checked after the first three.
        Case{"last_block_channel", 4, 1, {}, from_words(with(kChunk, 17, 4)), ParsingError::InvalidChannel},
        // The length test of the whole event comes before any channel.
        Case{"length_before_channel", 4, 1, {}, bytes_less(with(kChunk, 0, 1), 2), ParsingError::UnexpectedLength}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    TuningKeys, SkarnCases,
    ::testing::Values(
        // A longer header makes Q = 44, more than the event holds.
        Case{"n_event_headers_taken", 4, 1, {{"n_event_headers", u(8)}}, from_words(kChunk),
             ParsingError::UnexpectedLength},
        // 32-bit key: 2^32 + 7 is 7.
        Case{"n_event_headers_cut", 4, 1, {{"n_event_headers", u((1ull << 32) + 7)}}, from_words(kChunk),
             one_chunk_record()},
        Case{"n_event_headers_text", 4, 1, {{"n_event_headers", s("8")}}, from_words(kChunk), one_chunk_record()},
        Case{"n_event_headers_negative", 4, 1, {{"n_event_headers", i(-8)}}, from_words(kChunk), one_chunk_record()},
        Case{"n_event_headers_float", 4, 1, {{"n_event_headers", YamlValue::floating(8.0)}}, from_words(kChunk),
             one_chunk_record()},
        Case{"n_event_headers_bool", 4, 1, {{"n_event_headers", YamlValue::boolean(true)}}, from_words(kChunk),
             one_chunk_record()},
        Case{"n_window_headers_taken", 4, 1, {{"n_window_headers", u(3)}}, from_words(kChunk),
             ParsingError::UnexpectedLength},
        Case{"n_window_headers_cut", 4, 1, {{"n_window_headers", u((1ull << 32) + 2)}}, from_words(kChunk),
             one_chunk_record()},
        Case{"n_footer_words_taken", 4, 1, {{"n_footer_words", u(2)}}, from_words(kChunk),
             ParsingError::UnexpectedLength},
        Case{"n_footer_words_null", 4, 1, {{"n_footer_words", YamlValue::null()}}, from_words(kChunk),
             one_chunk_record()}),
    CaseName);

// One chunk of `group` with four blocks (label, channel word c, `extra` more
// header words, samples) and the given header and footer counts.
Words chunk_of(std::size_t header_words, std::size_t extra_block_headers, std::size_t samples,
               std::size_t footer_words, std::uint16_t label) {
    Words w(header_words, 0x0707);
    if (!w.empty()) w[0] = 0;
    for (std::uint16_t c = 0; c < 4; ++c) {
        w.push_back(label);
        w.push_back(c);
        for (std::size_t k = 0; k < extra_block_headers; ++k) w.push_back(0xEEEE);
        for (std::size_t k = 0; k < samples; ++k) w.push_back(static_cast<std::uint16_t>(0x10 * c + k));
    }
    for (std::size_t k = 0; k < footer_words + 1; ++k) w.push_back(0xF00F);
    return w;
}

Skarnv1Event four_channels(std::size_t samples, std::uint16_t label) {
    Skarnv1Event e;
    e.resize_channels(4);
    for (std::uint16_t c = 0; c < 4; ++c) {
        for (std::size_t k = 0; k < samples; ++k) {
            e.data[c].push_back(static_cast<float>(0x10 * c + k));
            e.time[c].push_back(static_cast<std::uint16_t>(k));
        }
        e.window_labels[c].push_back(label);
    }
    return e;
}

// Header and footer counts other than the defaults: the four blocks follow
// the chunk header and their samples follow all of their header words.
INSTANTIATE_TEST_SUITE_P(
    Layout, SkarnCases,
    ::testing::Values(
        Case{"two_footer_words", 4, 2, {{"n_footer_words", u(2)}}, bytes_plus(chunk_of(7, 0, 2, 2, 1), 4),
             four_channels(2, 1)},
        Case{"two_footer_words_short_form", 4, 2, {{"n_footer_words", u(2)}}, from_words(chunk_of(7, 0, 2, 2, 1)),
             four_channels(2, 1)},
        Case{"no_footer_word_full_form", 4, 2, {{"n_footer_words", u(0)}}, bytes_plus(chunk_of(7, 0, 2, 0, 1), 4),
             four_channels(2, 1)},
        // Without footer words the short form cuts the fourth block.
        Case{"no_footer_word_short_form", 4, 2, {{"n_footer_words", u(0)}}, from_words(chunk_of(7, 0, 2, 0, 1)),
             ParsingError::UnexpectedLength},
        Case{"three_window_headers", 4, 2, {{"n_window_headers", u(3)}}, bytes_plus(chunk_of(7, 1, 2, 1, 3), 4),
             four_channels(2, 3)},
        Case{"no_event_header_group_in_block", 4, 2, {{"n_event_headers", u(0)}}, bytes_plus(chunk_of(0, 0, 2, 1, 0), 4),
             // Without a chunk header the group word is the first block's label.
             four_channels(2, 0)},
        // One window header word leaves no room for the samples after the
        // label and channel words, once the channel has passed.
        Case{"one_window_header", 4, 1, {{"n_window_headers", u(1)}}, from_words(Words(17, 0)),
             ParsingError::UnexpectedLength},
        Case{"one_window_header_bad_channel", 4, 1, {{"n_window_headers", u(1)}}, from_words(with(Words(17, 0), 0, 1)),
             ParsingError::InvalidChannel},
        Case{"no_window_header", 4, 2, {{"n_window_headers", u(0)}}, from_words(Words(17, 0)),
             ParsingError::UnexpectedLength}),
    CaseName);

TEST(SkarnLimits, BlocksShorterThanTwoWordsAreInternalFaults) {
    struct Row {
        const char* name;
        std::size_t samples;
        Extra extra;
        std::size_t event_bytes;
    };
    const std::vector<Row> rows = {
        {"zero_block", 0, {{"n_window_headers", u(0)}}, 18},
        {"one_word_block_from_samples", 1, {{"n_window_headers", u(0)}}, 26},
        {"one_word_block_from_headers", 0, {{"n_window_headers", u(1)}}, 26},
        {"zero_block_no_tail_room", 0, {{"n_window_headers", u(0)}, {"n_event_headers", u(0)}, {"n_footer_words", u(0)}}, 2},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const Params p = params_with(4, 4, r.samples, r.extra);
        EXPECT_THROW((void)parse_into<Skarnv1Event>(Bytes(r.event_bytes, 0), p), InternalFault);
        // An event shorter than a chunk fails its length test first.
        if (r.event_bytes > 2) {
            const auto got = parse_into<Skarnv1Event>(Bytes(r.event_bytes - 2, 0), p);
            ASSERT_FALSE(got.ok());
            EXPECT_EQ(got.error(), ParsingError::UnexpectedLength);
        }
    }
}

// Chunk lengths beyond the machine word must not wrap into a short chunk:
// 4 * (2 + (2^62 - 2)) wraps to 0, which would make Q = 18.
TEST(SkarnLimits, HugeSampleCountsDoNotWrap) {
    for (const std::size_t samples : {SIZE_MAX, SIZE_MAX - 1, (std::size_t{1} << 62) - 2}) {
        const Params p = params_with(4, 4, samples, {});
        for (const Bytes& raw : {from_words(kChunk), Bytes(18, 0)}) {
            const auto got = parse_into<Skarnv1Event>(raw, p);
            ASSERT_FALSE(got.ok());
            EXPECT_EQ(got.error(), ParsingError::UnexpectedLength);
        }
    }
}

// A channel number is 4 × group + channel word, both whole 16-bit words: the
// last slot any chunk can fill is 5 × 65535.  A count past it is refused
// before any slot is made; the length tests before it come first.
TEST(SkarnLimits, ChannelCountsNoEventCanFillAreRefused) {
    using vexoacq::testing::expect_slot_counts;
    constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
    constexpr std::size_t kLast = 4 * 0xFFFF + 0xFFFF;
    // Group 0xFFFF, four blocks naming channel word 0xFFFF.
    Words top = {0xFFFF, 0, 0, 0, 0, 0, 0};
    for (std::uint16_t b = 0; b < 4; ++b) top = cat(top, {2, 0xFFFF, static_cast<std::uint16_t>(0x0100 + b)});
    top = cat(top, {0, 0});
    ASSERT_EQ(top.size(), 21u);
    expect_slot_counts<Skarnv1Event>(from_words(top), params_with(0, 4, 1, {}),
                                     {{kLast + 1, kLast},
                                      {kLast, ParsingError::InvalidChannel},
                                      {kLast + 2, ParsingError::InvalidParameters},
                                      {10'000'000'000, ParsingError::InvalidParameters},
                                      {std::size_t{1} << 61, ParsingError::InvalidParameters},
                                      {kMax, ParsingError::InvalidParameters}});
    expect_slot_counts<Skarnv1Event>(from_words(kChunk), params_with(0, 4, 1, {}),
                                     {{4, 3}, {65536, 3}, {kLast + 2, ParsingError::InvalidParameters}});
    EXPECT_EQ(parse_into<Skarnv1Event>(bytes_less(kChunk, 2), params_with(kMax, 4, 1, {})).error(),
              ParsingError::UnexpectedLength);
}

TEST(SkarnModelStrings, BothSelectThisDecoder) {
    for (const char* model : {"skarn", "hux-k12-4"}) {
        const auto family = vexoacq::parsing::family_of(model);
        ASSERT_TRUE(family.has_value()) << model;
        EXPECT_EQ(*family, vexoacq::parsing::Family::Skarnv1) << model;
    }
}

// ---------------------------------------------------------------- round trip

struct Geometry {
    std::size_t channels;
    std::size_t windows;
    std::size_t samples;
    std::uint32_t n_event_headers;
    std::uint32_t n_window_headers;
    std::uint32_t n_footer_words;
};

void PrintTo(const Geometry& g, std::ostream* os) {
    *os << "channels=" << g.channels << " windows=" << g.windows << " samples=" << g.samples
        << " E=" << g.n_event_headers << " W=" << g.n_window_headers << " F=" << g.n_footer_words;
}

struct Generated {
    Bytes raw;
    Skarnv1Event expected;
};

// Random chunks (random groups, channel words anywhere below the channel
// count, labels walking the ring from a random start per channel) in either
// tail form, with the record they must decode into.  Needs a chunk header
// (n_event_headers >= 1) to hold the group word.
Generated generate(const Geometry& g, std::mt19937_64& rng) {
    std::vector<std::uint16_t> next_label(g.channels);
    for (auto& l : next_label) l = static_cast<std::uint16_t>(rng() % g.windows);
    const std::size_t groups = (g.channels + 3) / 4;

    Generated out;
    out.expected.resize_channels(g.channels);
    Words words;
    const std::size_t chunks = 1 + rng() % 4;
    for (std::size_t k = 0; k < chunks; ++k) {
        const auto group = static_cast<std::uint16_t>(rng() % groups);
        words.push_back(group);
        for (std::uint32_t h = 1; h < g.n_event_headers; ++h) words.push_back(static_cast<std::uint16_t>(rng()));
        for (int b = 0; b < 4; ++b) {
            const auto in_group = static_cast<std::uint16_t>(rng() % (g.channels - 4 * group));
            const std::size_t channel = 4 * group + in_group;
            const std::uint16_t label = next_label[channel];
            next_label[channel] = static_cast<std::uint16_t>((label + 1) % g.windows);
            words.push_back(label);
            words.push_back(in_group);
            for (std::uint32_t h = 2; h < g.n_window_headers; ++h) words.push_back(static_cast<std::uint16_t>(rng()));
            out.expected.window_labels[channel].push_back(label);
            for (std::size_t sm = 0; sm < g.samples; ++sm) {
                const auto v = static_cast<std::uint16_t>(rng());
                words.push_back(v);
                out.expected.data[channel].push_back(static_cast<float>(v));
            }
        }
        for (std::uint32_t f = 0; f < g.n_footer_words + 1; ++f) words.push_back(static_cast<std::uint16_t>(rng()));
    }
    out.raw = from_words(words);
    // In the short form the last chunk's own final 4 bytes are the event's
    // unread tail; that needs a footer word, else they hold a sample.
    const bool short_form = g.n_footer_words >= 1 && rng() % 2 == 0;
    if (!short_form)
        for (int t = 0; t < 4; ++t) out.raw.push_back(static_cast<std::uint8_t>(rng()));
    vexoacq::testing::add_time_axis(out.expected, g.channels, g.windows, g.samples);
    return out;
}

class SkarnRoundTrip : public ::testing::TestWithParam<Geometry> {};

TEST_P(SkarnRoundTrip, GeneratedEventsDecodeIntoTheirSource) {
    const Geometry& g = GetParam();
    const Params p = params_with(g.channels, g.windows, g.samples,
                                 {{"n_event_headers", u(g.n_event_headers)},
                                  {"n_window_headers", u(g.n_window_headers)},
                                  {"n_footer_words", u(g.n_footer_words)}});
    std::mt19937_64 rng(0xC0FFEEull ^ g.channels ^ (g.samples << 8));
    for (int round = 0; round < 40; ++round) {
        const Generated gen = generate(g, rng);
        const auto got = parse_into<Skarnv1Event>(gen.raw, p);
        ASSERT_TRUE(got.ok()) << "round " << round << ": " << vexoacq::error::message(got.error()) << " bytes " << gen.raw.size();
        ASSERT_EQ(*got, gen.expected) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Geometries, SkarnRoundTrip,
                         ::testing::Values(Geometry{4, 4, 1, 7, 2, 1},
                                           Geometry{12, 512, 64, 7, 2, 1},
                                           // Channel count not a multiple of four.
                                           Geometry{6, 8, 3, 7, 2, 1},
                                           // Small ring; 300 samples wrap the time axis.
                                           Geometry{8, 3, 5, 7, 2, 1},
                                           Geometry{5, 256, 300, 7, 2, 1},
                                           // Other header and footer counts.
                                           Geometry{16, 32, 4, 1, 4, 0},
                                           Geometry{9, 16, 2, 3, 2, 3}));

// ---------------------------------------------------------------- fuzz

// Random and mutated events under random keys: every call must end in a
// record, a ParsingError or an internal fault, never anything worse.
TEST(SkarnFuzz, EveryInputEndsCleanly) {
    std::mt19937_64 rng(20240602);
    const Geometry base{8, 16, 2, 7, 2, 1};
    const Params base_params = params_with(base.channels, base.windows, base.samples, {});
    const char* const keys[] = {"n_window_headers", "n_event_headers", "n_footer_words"};
    namespace t = vexoacq::testing;
    t::FuzzTally tally;
    for (int iter = 0; iter < 6000; ++iter) {
        Bytes raw;
        if (iter % 2 == 0) {
            raw = t::random_bytes(rng, 160, t::often(rng, 3, 0));
        } else {
            raw = generate(base, rng).raw;
            t::mutate(raw, rng);
        }
        Params p = base_params;
        if (rng() % 2 == 0) {
            p = make_params("hux-k12-4", rng() % 13, 1 + rng() % 300, rng() % 6);
            t::add_random_keys(p, keys, rng, {t::absent(), t::below(4), t::any_value(), t::below(12), t::fixed(i(-1))});
        }
        ASSERT_NO_FATAL_FAILURE((void)t::decode_and_tally<Skarnv1Event>(
            raw, p, tally, [&p](const Skarnv1Event& got) { ASSERT_EQ(got.channel_slots(), p.channels); }));
    }
    tally.expect_all_endings();
}

}  // namespace
