// zelkv3s decoding: the length table and its choice, worked events, the M
// channel slots, error order, key typing, a generated round trip and a
// bounded fuzz loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "parsing/zelkv3s.hpp"
#include "support/decoder_testing.hpp"
#include "support/length_candidates.hpp"

namespace vexoacq::parsing {
namespace {

using acquisition::YamlValue;
using testing::make_params;
using testing::u;
using detail::ChanWinds;
using zelkv3s::Zelkv3SEvent;
using testing::Bytes;
using Cands = std::vector<ChanWinds>;
using U16s = testing::Words;

constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();

Bytes words(const U16s& w) { return testing::be_bytes(w); }

Result<Zelkv3SEvent, ParsingError> decode(const Bytes& b, const Params& p) { return parse_into<Zelkv3SEvent>(b, p); }

// The table as the format defines it: W ascending, M ascending within W,
// appended per length, then every list stably sorted by M, largest first.
std::map<std::size_t, Cands> reference_table(std::size_t channels, std::size_t windows, std::size_t block,
                                             std::size_t trailing, std::size_t fixed) {
    std::map<std::size_t, Cands> table;
    for (std::size_t w = 1; w + 1 <= windows; ++w)
        for (std::size_t m = 1; m <= channels; ++m) table[2 * ((m * block + trailing) * w + fixed)].emplace_back(m, w);
    for (auto& [key, list] : table)
        std::stable_sort(list.begin(), list.end(), [](const ChanWinds& a, const ChanWinds& b) { return a.first > b.first; });
    return table;
}

// The format's length-table entry under the keys of `p`: 2 × ((M × block +
// E) × W + n_event_headers + n_footer_words) bytes, block = samples +
// n_channel_headers, E = n_window_headers + n_window_footers, each key with
// the zelkv3s default.
Cands table_entry(const Params& p, std::size_t byte_length) {
    const std::size_t block = p.samples + key_u32(p, "n_channel_headers", 1);
    const std::size_t trailing = std::size_t{key_u32(p, "n_window_headers", 0)} + key_u32(p, "n_window_footers", 0);
    const std::size_t fixed = std::size_t{key_u32(p, "n_event_headers", 3)} + key_u32(p, "n_footer_words", 1);
    return testing::length_candidates(p.channels, p.windows, block, trailing, fixed, byte_length);
}

// ------------------------------------------------------------ length table
TEST(Zelkv3sTable, WorkedTable) {
    const auto p = make_params("zelkv3s", 2, 4, 2);
    const std::map<std::size_t, Cands> want = {
        {14, {{1, 1}}}, {20, {{2, 1}, {1, 2}}}, {26, {{1, 3}}}, {32, {{2, 2}}}, {44, {{2, 3}}}};
    for (std::size_t len = 0; len < 130; ++len) {
        SCOPED_TRACE(len);
        const auto it = want.find(len);
        EXPECT_EQ(table_entry(p, len), it == want.end() ? Cands{} : it->second);
    }
}

TEST(Zelkv3sTable, MatchesTheReferenceTableUnderWrapping) {
    std::mt19937_64 rng(31);
    const std::size_t samples_pool[] = {0, 1, 2, 7, std::size_t{1} << 62, std::size_t{1} << 63, kMax, kMax - 3};
    for (int it = 0; it < 300; ++it) {
        const std::size_t channels = rng() % 7, windows = rng() % 9;
        const std::size_t samples = it % 3 == 0 ? rng() : samples_pool[rng() % std::size(samples_pool)];
        const std::uint32_t nch = static_cast<std::uint32_t>(rng() % 3), nwh = static_cast<std::uint32_t>(rng() % 3),
                            nwf = static_cast<std::uint32_t>(rng() % 3),
                            neh = static_cast<std::uint32_t>(rng() % 5), nfw = static_cast<std::uint32_t>(rng() % 3);
        const auto p = make_params("zelkv3s", channels, windows, samples,
                                   {{"n_channel_headers", u(nch)}, {"n_window_headers", u(nwh)},
                                    {"n_window_footers", u(nwf)}, {"n_event_headers", u(neh)},
                                    {"n_footer_words", u(nfw)}});
        const auto table = reference_table(channels, windows, samples + nch, std::size_t{nwh} + nwf,
                                           std::size_t{neh} + nfw);
        for (const auto& [len, list] : table) EXPECT_EQ(table_entry(p, len), list) << len;
        for (int k = 0; k < 20; ++k) {
            const std::size_t len = k % 2 ? rng() : rng() % 300;
            const auto found = table.find(len);
            EXPECT_EQ(table_entry(p, len), found == table.end() ? Cands{} : found->second) << len;
        }
    }
}

// ------------------------------------------------------------ worked events
const U16s kExample = {0x0001, 0x0002, 0x0003, 0x0003, 0x0010, 0x0020, 0x0103, 0x0030, 0xE040, 0x0000};

TEST(Zelkv3s, WorkedEvents) {
    struct Case {
        const char* what;
        U16s words;
        Params params;
        std::vector<std::vector<float>> data;
        std::vector<U16s> labels;
        std::vector<U16s> time;
        U16s footers;
    };
    const auto small = make_params("zelkv3s", 2, 4, 2);
    const Case cases[] = {
        {"M = 2, W = 1 wins over M = 1, W = 2", kExample, small, {{16, 32}, {48, 64}}, {{3}, {3}}, {{0, 1}, {0, 1}},
         {0xE040}},
        {"blocks of a chunk in any order",
         {0, 0, 0, 0x0103, 0x0030, 0xE040, 0x0003, 0x0010, 0x0020, 0}, small, {{16, 32}, {48, 64}}, {{3}, {3}},
         {{0, 1}, {0, 1}}, {0x0020}},
        {"two windows, labels wrap on the ring",
         {0, 0, 0, 0x0003, 1, 2, 0x0103, 3, 4, 0x0000, 5, 6, 0x0100, 7, 8, 0}, small, {{1, 2, 5, 6}, {3, 4, 7, 8}},
         {{3, 0}, {3, 0}}, {{0, 1, 2, 3}, {0, 1, 2, 3}}, {4, 8}},
        {"n_last_bits shifts labels and samples, modulo 16", {0, 0, 0, 0x0006, 0x0010, 0x0020, 0x0106, 0x0030, 0xE040, 0},
         make_params("zelkv3s", 2, 4, 2, {{"n_last_bits", u(17)}}), {{8, 16}, {24, 32}}, {{3}, {3}}, {{0, 1}, {0, 1}},
         {0xE040}},
        // One trailing word per chunk; its last word is the window footer.
        // Either key gives the chunk that word, and the table matches it.
        {"n_window_footers 1", {0, 0, 0, 0x0003, 0x0010, 0x0020, 0x0103, 0x0030, 0x0040, 0xBEEF, 0},
         make_params("zelkv3s", 2, 4, 2, {{"n_window_footers", u(1)}}), {{16, 32}, {48, 64}}, {{3}, {3}},
         {{0, 1}, {0, 1}}, {0xBEEF}},
        {"n_window_headers 1", {0, 0, 0, 0x0003, 0x0010, 0x0020, 0x0103, 0x0030, 0x0040, 0xBEEF, 0},
         make_params("zelkv3s", 2, 4, 2, {{"n_window_headers", u(1)}}), {{16, 32}, {48, 64}}, {{3}, {3}},
         {{0, 1}, {0, 1}}, {0xBEEF}},
        // Two header words per block: the second is read as a sample.
        {"n_channel_headers 2", {0, 0, 0, 0x0003, 0x0009, 0x0010, 0x0103, 0x0008, 0x0030, 0},
         make_params("zelkv3s", 2, 4, 1, {{"n_channel_headers", u(2)}}), {{9, 16}, {8, 48}}, {{3}, {3}}, {{0}, {0}},
         {0x0030}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto r = decode(words(c.words), c.params);
        ASSERT_TRUE(r.ok()) << error::message(r.error());
        EXPECT_EQ(r->data, c.data);
        EXPECT_EQ(r->window_labels, c.labels);
        EXPECT_EQ(r->time, c.time);
        EXPECT_EQ(r->window_footers, c.footers);
    }
}

TEST(Zelkv3s, ErrorsInStepOrder) {
    struct Case {
        const char* what;
        Bytes bytes;
        Params params;
        ParsingError want;
    };
    const auto small = make_params("zelkv3s", 2, 4, 2);
    const Case cases[] = {
        {"empty", {}, small, ParsingError::MissingData},
        {"odd", Bytes(7), small, ParsingError::UnexpectedLength},
        {"not in the table", Bytes(18), small, ParsingError::UnexpectedLength},
        {"every window of the ring", Bytes(2 * (3 + 4 * 2 * 3 + 1)), small, ParsingError::UnexpectedLength},
        {"windows 1", words(kExample), make_params("zelkv3s", 2, 1, 2), ParsingError::UnexpectedLength},
        {"windows 0", words(kExample), make_params("zelkv3s", 2, 0, 2), ParsingError::UnexpectedLength},
        {"channels 0", words(kExample), make_params("zelkv3s", 0, 4, 2), ParsingError::UnexpectedLength},
        // The record has M slots, the time axis walks Params.channels.
        {"14 bytes: M = 1 below channels", words({0, 0, 0, 0x0003, 1, 2, 0}), small, ParsingError::MissingData},
        {"26 bytes: M = 1 below channels", words({0, 0, 0, 0x0003, 1, 2, 0x0004, 3, 4, 0x0005, 5, 6, 0}), small,
         ParsingError::MissingData},
        {"channel 1 with M = 1", words({0, 0, 0, 0x0103, 1, 2, 0}), small, ParsingError::InvalidChannel},
        // M = 2 is chosen; channel 2 is below Params.channels (3) but not below M.
        {"channel 2 with M = 2", words({0, 0, 0, 0x0003, 1, 2, 0x0203, 3, 4, 0}), make_params("zelkv3s", 3, 4, 2),
         ParsingError::InvalidChannel},
        {"bad channel in the second chunk", words({0, 0, 0, 0x0003, 1, 2, 0x0103, 3, 4, 0x0004, 5, 6, 0x0304, 7, 8, 0}),
         small, ParsingError::InvalidChannel},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto r = decode(c.bytes, c.params);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error(), c.want);
    }
    // Whatever the keys: empty and odd events.
    std::mt19937 rng(5);
    for (int i = 0; i < 50; ++i) {
        const auto p = make_params("zelkv3s", rng() % 5, rng() % 9, rng() % 5,
                                   {{"n_event_headers", u(rng() % 5)}, {"n_channel_headers", u(rng() % 3)}});
        EXPECT_EQ(decode({}, p).error(), ParsingError::MissingData);
        EXPECT_EQ(decode(Bytes(7), p).error(), ParsingError::UnexpectedLength);
    }
}

// Channel headers carry 16-bit channel numbers and only an event of
// Params.channels slots decodes: a count past 65536 is refused at the length
// table, after the empty and odd-length tests.  At 65536 an event of 65536
// one-word blocks still decodes.
TEST(Zelkv3s, ChannelCountsNoEventCanFillAreRefused) {
    using testing::expect_slot_counts;
    U16s all = {0x0001, 0x0002, 0x0003};
    for (std::uint32_t c = 0; c < 65536; ++c) all.push_back(static_cast<std::uint16_t>(c));
    all.push_back(0xE040);
    expect_slot_counts<Zelkv3SEvent>(
        words(all), make_params("zelkv3s", 0, 2, 0, {{"chanmask", u(0xFFFF)}, {"chan_shift", u(0)}}),
        {{65536, 65535},
         {65535, ParsingError::UnexpectedLength},
         {65537, ParsingError::InvalidParameters},
         {10'000'000'000, ParsingError::InvalidParameters},
         {kMax, ParsingError::InvalidParameters}});
    const auto huge = make_params("zelkv3s", 10'000'000'000, 2, 4);
    EXPECT_EQ(decode({}, huge).error(), ParsingError::MissingData);
    EXPECT_EQ(decode(Bytes(21), huge).error(), ParsingError::UnexpectedLength);
    EXPECT_EQ(decode(Bytes(22), huge).error(), ParsingError::InvalidParameters);
}

TEST(Zelkv3s, LimitsAreInternalFaults) {
    struct Case {
        const char* what;
        Bytes bytes;
        Params params;
    };
    const Case cases[] = {
        // samples 0 and no channel header: blocks and chunks of no words.
        {"empty block and chunk", Bytes(8), make_params("zelkv3s", 2, 4, 0, {{"n_channel_headers", u(0)}})},
        {"empty block", Bytes(10),
         make_params("zelkv3s", 2, 4, 0, {{"n_channel_headers", u(0)}, {"n_window_footers", u(1)}})},
        // block = 2^63 - 1 makes the chunk ≡ -1 (mod 2^63): a 22-byte event
        // matches W = 2 with a header and footer longer than the event.
        {"body outside the event", Bytes(22),
         make_params("zelkv3s", 1, 3, (std::size_t{1} << 63) - 1,
                     {{"n_channel_headers", u(0)}, {"n_footer_words", u(10)}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_THROW((void)decode(c.bytes, c.params), InternalFault);
    }
}

TEST(Zelkv3s, UnusableKeysGiveDefaults) {
    testing::expect_keys_ignored<Zelkv3SEvent>(
        words(kExample), make_params("zelkv3s", 2, 4, 2),
        {"n_channel_headers", "chanmask", "chan_shift", "windmask", "datamask", "n_event_headers", "n_footer_words",
         "n_window_headers", "n_window_footers", "n_last_bits"},
        {testing::i(-2), YamlValue::floating(0.0), testing::s("1"), YamlValue::boolean(true), YamlValue::null()},
        {{"chan_shift", u(0x10008)}});
}

// ------------------------------------------------------------ round trip
struct Generated {
    Bytes raw;
    Zelkv3SEvent want;
};

// An event of channels 0..m-1 (m <= 4) and w window chunks of m shuffled
// blocks and `trailing` random words, labels running on from a random start
// around the ring, random 13-bit samples with noise in the bits the masks drop.
Generated generate(std::mt19937& rng, std::size_t m, std::size_t w, std::size_t ring, std::size_t samples,
                   std::size_t trailing) {
    Generated g;
    g.want.resize_channels(m);
    U16s out;
    auto put = [&](std::uint64_t word) { out.push_back(static_cast<std::uint16_t>(word)); };
    for (int i = 0; i < 3; ++i) put(rng());
    const std::size_t start = rng() % ring;
    std::vector<std::size_t> order(m);
    for (std::size_t i = 0; i < m; ++i) order[i] = i;
    for (std::size_t win = 0; win < w; ++win) {
        std::shuffle(order.begin(), order.end(), rng);
        const std::size_t label = (start + win) % ring;
        for (const std::size_t c : order) {
            put((c << 8) | label | (rng() & 0xFC00));
            g.want.window_labels[c].push_back(static_cast<std::uint16_t>(label));
            for (std::size_t s = 0; s < samples; ++s) {
                const std::uint64_t v = rng() & 0x1FFF;
                put(v | (rng() & 0xE000));
                g.want.data[c].push_back(static_cast<float>(v));
                g.want.time[c].push_back(static_cast<std::uint16_t>(win * samples + s));
            }
        }
        for (std::size_t e = 0; e < trailing; ++e) put(rng());
        g.want.window_footers.push_back(out.back());
    }
    put(rng());
    g.raw = words(out);
    return g;
}

TEST(Zelkv3s, RoundTrip) {
    std::mt19937 rng(2468);
    const char* trailing_keys[] = {"n_window_footers", "n_window_headers"};
    for (const std::size_t m : {1u, 2u, 3u, 4u}) {
        for (const std::size_t ring : {4u, 16u, 256u}) {
            for (const std::size_t samples : {0u, 1u, 2u, 6u}) {
                for (const std::size_t w : {std::size_t{1}, std::size_t{2}, ring - 1}) {
                    // Trailing words shorter than a block (a longer run would be read as blocks).
                    const std::size_t trailing = rng() % std::min<std::size_t>(3, samples + 1);
                    SCOPED_TRACE("M " + std::to_string(m) + " W " + std::to_string(w) + " ring " +
                                 std::to_string(ring) + " S " + std::to_string(samples) + " E " +
                                 std::to_string(trailing));
                    const auto g = generate(rng, m, w, ring, samples, trailing);
                    const auto r = decode(g.raw, make_params("zelkv3s", m, ring, samples,
                                                             {{trailing_keys[rng() % 2], u(trailing)}}));
                    ASSERT_TRUE(r.ok()) << error::message(r.error());
                    EXPECT_EQ(*r, g.want);
                }
            }
        }
    }
}

// ------------------------------------------------------------------ fuzz
Params random_params(std::mt19937& rng) {
    const std::size_t samples_pool[] = {0, 1, 2, 3, 8, kMax, kMax - 1, std::size_t{1} << 63, (std::size_t{1} << 63) - 1};
    auto p = make_params("zelkv3s", rng() % 6, rng() % 40, samples_pool[rng() % std::size(samples_pool)]);
    testing::add_random_keys(p,
                             {"n_channel_headers", "chanmask", "chan_shift", "windmask", "datamask",
                              "n_event_headers", "n_footer_words", "n_window_headers", "n_window_footers",
                              "n_last_bits"},
                             rng,
                             {testing::below(6), testing::any_value(), testing::u32_max_less(4),
                              testing::fixed(testing::s("x")), testing::absent()});
    return p;
}

TEST(Zelkv3s, FuzzEndsInRecordErrorOrFault) {
    std::mt19937 rng(1357);
    testing::FuzzTally tally;
    for (int it = 0; it < 4000; ++it) {
        Params p = random_params(rng);
        Bytes raw;
        if (it % 2 == 0) {
            raw = testing::random_bytes(rng, 120);
        } else {
            const std::size_t m = 1 + rng() % 4, samples = rng() % 4;
            raw = generate(rng, m, 1 + rng() % 5, 8, samples, 0).raw;
            testing::mutate(raw, rng, testing::Mutation::XorThree);
            if (rng() % 2 == 0) p = make_params("zelkv3s", m, 8, samples);
        }
        (void)testing::decode_and_tally<Zelkv3SEvent>(raw, p, tally, [&p](const Zelkv3SEvent& r) {
            EXPECT_EQ(r.data.size(), p.channels);
            EXPECT_EQ(r.time.size(), p.channels);
        });
    }
    EXPECT_GT(tally.records, 0u);
}

}  // namespace
}  // namespace vexoacq::parsing
