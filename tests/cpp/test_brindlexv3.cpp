// brindlexv3 decoding: the length table and its choice, worked events, error
// order, key typing, a generated round trip and a bounded fuzz loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "parsing/brindlexv3.hpp"
#include "parsing/zelk_common.hpp"
#include "support/decoder_testing.hpp"
#include "support/length_candidates.hpp"

namespace vexoacq::parsing {
namespace {

using acquisition::YamlValue;
using brindlexv3::Brindlexv3Event;
using brindlexv3::ChanWinds;
using brindlexv3::ParamsCache;
using testing::Bytes;
using testing::hex;
using testing::make_params;
using testing::u;
using Cands = std::vector<ChanWinds>;
using F = testing::Floats;
using L = testing::Shorts;

constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();

Result<Brindlexv3Event, ParsingError> decode(const Bytes& b, const Params& p) {
    return parse_into<Brindlexv3Event>(b, p);
}

// The table as the format defines it: W ascending, M ascending within W,
// appended per length, then every list stably sorted by M, largest first.
std::map<std::size_t, Cands> reference_table(std::size_t channels, std::size_t windows, std::size_t block) {
    std::map<std::size_t, Cands> table;
    if (windows < 2 || channels == 0 || channels == kMax) return table;
    for (std::size_t w = 1; w < windows; ++w)
        for (std::size_t m = 1; m <= channels; ++m) table[2 * w * (m * block + 1) + 8].emplace_back(m, w);
    for (auto& [key, list] : table)
        std::stable_sort(list.begin(), list.end(), [](const ChanWinds& a, const ChanWinds& b) { return a.first > b.first; });
    return table;
}

// The format's length-table entry: 2 × W × (M × block + 1) + 8 bytes, one
// unread word per chunk and 8 bytes of header and trailer whatever the keys
// say; empty for the largest channel count, as the decoder's search is.
Cands table_entry(const ParamsCache& cache, std::size_t byte_length) {
    if (cache.channels == kMax) return {};
    return testing::length_candidates(cache.channels, cache.windows, cache.block, 1, 4, byte_length);
}

// ------------------------------------------------------------ length table
TEST(Brindlexv3Table, WorkedTables) {
    const ParamsCache small(make_params("brindlexv3", 2, 4, 2));
    const std::map<std::size_t, Cands> want = {{16, {{1, 1}}}, {22, {{2, 1}}}, {24, {{1, 2}}},
                                               {32, {{1, 3}}}, {36, {{2, 2}}}, {50, {{2, 3}}}};
    for (std::size_t len = 0; len < 130; ++len) {
        SCOPED_TRACE(len);
        const auto it = want.find(len);
        EXPECT_EQ(table_entry(small, len), it == want.end() ? Cands{} : it->second);
    }
    const ParamsCache five(make_params("brindlexv3", 5, 5, 2));
    EXPECT_EQ(table_entry(five, 40), (Cands{{5, 1}, {1, 4}}));
    for (const auto& p : {make_params("brindlexv3", 2, 1, 2), make_params("brindlexv3", 2, 0, 2),
                          make_params("brindlexv3", 0, 4, 2), make_params("brindlexv3", kMax, 4, 2)})
        for (std::size_t len = 0; len < 64; ++len) EXPECT_TRUE(table_entry(ParamsCache(p), len).empty());
}

TEST(Brindlexv3Table, MatchesTheReferenceTableUnderWrapping) {
    std::mt19937_64 rng(99);
    const std::size_t blocks[] = {0, 1, 3, 8, std::size_t{1} << 62, std::size_t{1} << 63, (std::size_t{1} << 63) + 5,
                                  kMax, kMax - 2, std::size_t{3} << 61};
    for (int it = 0; it < 300; ++it) {
        const std::size_t channels = rng() % 7, windows = rng() % 9;
        const std::size_t block = it % 3 == 0 ? rng() : blocks[rng() % std::size(blocks)];
        // samples carries the block; n_channel_headers 0.
        const ParamsCache cache(make_params("brindlexv3", channels, windows, block, {{"n_channel_headers", u(0)}}));
        const auto table = reference_table(channels, windows, block);
        for (const auto& [len, list] : table) EXPECT_EQ(table_entry(cache, len), list) << len;
        for (int k = 0; k < 20; ++k) {
            const std::size_t len = k % 2 ? rng() : rng() % 300;
            const auto found = table.find(len);
            EXPECT_EQ(table_entry(cache, len), found == table.end() ? Cands{} : found->second) << len;
        }
    }
}

TEST(Brindlexv3Table, ChoiceOfCandidate) {
    struct Case {
        const char* what;
        Params params;
        std::size_t length;
        std::optional<ChanWinds> want;
    };
    const Case cases[] = {
        {"single candidate, no fit test", make_params("brindlexv3", 2, 4, 2, {{"n_event_headers", u(1000)}}), 16,
         ChanWinds{1, 1}},
        {"most channels that fit", make_params("brindlexv3", 5, 5, 2), 40, ChanWinds{5, 1}},
        {"largest does not fit", make_params("brindlexv3", 5, 5, 2, {{"n_window_headers", u(4)}}), 40,
         ChanWinds{1, 4}},
        {"none fits", make_params("brindlexv3", 5, 5, 2, {{"n_window_headers", u(40)}}), 40, std::nullopt},
        {"several, length below the event header", make_params("brindlexv3", 5, 5, 2, {{"n_event_headers", u(21)}}),
         40, std::nullopt},
        {"not in the table", make_params("brindlexv3", 2, 4, 2), 64, std::nullopt},
        {"odd length", make_params("brindlexv3", 2, 4, 2), 17, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes raw(c.length);
        EXPECT_EQ(brindlexv3::get_chan_winds(raw, ParamsCache(c.params)), c.want);
    }
}

// ------------------------------------------------------------ candidate search
// The search as the table defines it, one M after the other from `channels`
// down: the oracle for the search that skips the channel counts whose
// lengths the event cannot hold.
std::optional<ChanWinds> walk_every_channel_count(std::size_t channels, std::size_t windows, std::size_t block,
                                                  std::size_t extra, std::size_t fixed, std::size_t byte_length,
                                                  std::size_t min_length, std::size_t fit_words) {
    if (windows < 2 || channels == 0 || byte_length % 2 != 0) return std::nullopt;
    const std::uint64_t max_w = windows - 1;
    const std::uint64_t q = detail::reduced_length(byte_length, fixed);
    const auto fits = [&](std::size_t m) { return byte_length >= 2 * (fit_words + m * block); };
    std::uint64_t total = 0;
    std::optional<ChanWinds> only;
    for (std::size_t m = channels; m >= 1 && total < 2; --m) {
        const auto sol = detail::solve_windows(m * block + extra, q);
        const std::uint64_t c = sol.count(max_w);
        if (c == 0) continue;
        if (total == 0) only = ChanWinds{m, sol.first};
        total += c;
    }
    if (total <= 1) return only;
    if (byte_length < min_length) return std::nullopt;
    for (std::size_t m = channels; m >= 1; --m) {
        const auto sol = detail::solve_windows(m * block + extra, q);
        if (sol.count(max_w) != 0 && fits(m)) return ChanWinds{m, sol.first};
    }
    return std::nullopt;
}

struct Search {
    std::size_t channels, windows, block, extra, fixed, length, min_length, fit_words;
};

std::ostream& operator<<(std::ostream& os, const Search& s) {
    return os << "channels=" << s.channels << " windows=" << s.windows << " block=" << s.block
              << " extra=" << s.extra << " fixed=" << s.fixed << " length=" << s.length
              << " min_length=" << s.min_length << " fit_words=" << s.fit_words;
}

std::optional<ChanWinds> search(const Search& s) {
    return detail::choose_candidate(s.channels, s.windows, s.block, s.extra, s.fixed, s.length, s.min_length,
                                    s.fit_words);
}

std::optional<ChanWinds> oracle(const Search& s) {
    return walk_every_channel_count(s.channels, s.windows, s.block, s.extra, s.fixed, s.length, s.min_length,
                                    s.fit_words);
}

// Geometries of every kind: small and word-sized block lengths (powers of
// two among them, where the lengths of many channel counts coincide modulo
// 2^64), window counts small and huge (so that the lengths of the larger
// channel counts wrap and those of the smaller do not), lengths that some
// (M, W) produces, wrap-arounds included, highly divisible lengths with many
// candidates, and lengths shorter than the fixed words.
Search random_search(std::mt19937_64& rng) {
    const auto pick = [&](std::initializer_list<std::size_t> pool) { return *(pool.begin() + rng() % pool.size()); };
    Search s{};
    s.channels = rng() % 3 == 0 ? rng() % 8 : 1 + rng() % 3000;
    switch (rng() % 4) {
        case 0: s.windows = rng() % 12; break;
        case 1: s.windows = 2 + rng() % 5000; break;
        case 2: s.windows = rng() >> (rng() % 64); break;
        default: s.windows = pick({2, 3, std::size_t{1} << 40, std::size_t{1} << 62, kMax, kMax - 1}); break;
    }
    switch (rng() % 4) {
        case 0: s.block = rng() % 8; break;
        case 1: s.block = rng() >> (rng() % 64); break;
        case 2: s.block = std::size_t{1} << (rng() % 64); break;
        default: s.block = pick({0, std::size_t{1} << 63, (std::size_t{1} << 63) + 1, kMax, kMax - 2}); break;
    }
    s.extra = rng() % 2 ? rng() % 4 : rng() >> (rng() % 64);
    s.fixed = rng() % 2 ? rng() % 8 : rng() % (std::size_t{1} << 33);
    switch (rng() % 4) {
        case 0: {  // a length in the table
            const std::size_t m = 1 + rng() % std::max<std::size_t>(s.channels, 1);
            const std::size_t w = 1 + rng() % std::max<std::size_t>(std::min<std::size_t>(s.windows, 64) - 1, 1);
            s.length = 2 * (w * (m * s.block + s.extra) + s.fixed);
            break;
        }
        case 1: s.length = 2 * (s.fixed + pick({720720, 5040, 10080, 2520, 55440}) ) ; break;
        case 2: s.length = 2 * (rng() % 16); break;
        default: s.length = rng() % 2 ? rng() : rng() % 2000; break;
    }
    s.min_length = rng() % 2 ? 2 * (rng() % 8) : rng() % (s.length + 1);
    s.fit_words = rng() % 2 ? rng() % 8 : rng() % 2000;
    return s;
}

TEST(CandidateSearch, SameChoiceAsWalkingEveryChannelCount) {
    std::mt19937_64 rng(20261210);
    int chosen = 0;
    for (int it = 0; it < 6000; ++it) {
        const Search s = random_search(rng);
        const auto want = oracle(s);
        ASSERT_EQ(search(s), want) << s;
        chosen += want.has_value();
    }
    // The geometries must exercise choices, not only empty entries.
    EXPECT_GT(chosen, 1000);
}

// With no length that wraps, a channel count whose window chunk is longer
// than the event's reduced length q has no window count, so any number of
// further channels gives the choice of the channel counts the event can
// hold.  Where q wraps (an event shorter than its fixed words) no channel
// count short of the wrap has a window count at all.
TEST(CandidateSearch, ChannelsBeyondTheEventDoNotChangeTheChoice) {
    const Search held[] = {
        // brindlexv3 defaults, samples 4: the 22-byte event and others.
        {0, 2, 5, 1, 4, 22, 6, 4},
        {0, 2, 5, 1, 4, 24, 6, 4},
        {0, 6, 5, 1, 4, 2 * (2 * (3 * 5 + 1) + 4), 6, 4},
        // Many divisors, several candidates, the fit test deciding.
        {0, 5000, 1, 0, 0, 2 * 720720, 6, 700000},
        {0, 5000, 2, 1, 3, 2 * (3 + 55440), 0, 0},
        {0, 5000, 3, 2, 0, 2 * 55440, 12, 30},
        // Lengths shorter than their fixed words.
        {5000, 3, 3, 2, 7, 6, 0, 0},
        {5000, 2, 1, 0, 5, 4, 0, 0},
    };
    for (Search small : held) {
        const std::uint64_t q = detail::reduced_length(small.length, small.fixed);
        if (small.channels == 0) small.channels = std::max<std::uint64_t>(1, (q - small.extra) / small.block);
        const auto want = oracle(small);
        for (const std::size_t channels : {std::size_t{100000}, std::size_t{10000000000}, std::size_t{1} << 40}) {
            Search big = small;
            big.channels = channels;
            // The lengths of all channel counts stay below the wrap.
            ASSERT_LT(static_cast<double>(big.windows) * static_cast<double>(channels) *
                          static_cast<double>(big.block + big.extra),
                      9.2e18)
                << big;
            EXPECT_EQ(search(big), want) << big;
        }
    }
}

// ------------------------------------------------------------ worked events
const std::string kExample =
    "00 01 00 02 00 03 | 00 0A 00 02 00 04 | 04 0A 00 06 00 08 | AA AA | 00 0C 00 0A 00 0C | 04 0C 00 0E 00 10 | "
    "BB BB | FF FF";
const std::string kSwapped =
    "00 01 00 02 00 03 | 04 0A 00 06 00 08 | 00 0A 00 02 00 04 | AA AA | 04 0C 00 0E 00 10 | 00 0C 00 0A 00 0C | "
    "BB BB | FF FF";

struct Worked {
    const char* what;
    std::string bytes;
    Params params;
    F data;
    L labels;
    L time;
};

TEST(Brindlexv3, WorkedEvents) {
    const auto small = make_params("brindlexv3", 2, 4, 2);
    const Worked cases[] = {
        {"two chunks of two blocks", kExample, small, {{1, 2, 5, 6}, {3, 4, 7, 8}}, {{5, 6}, {5, 6}},
         {{0, 1, 2, 3}, {0, 1, 2, 3}}},
        {"block order inside a chunk does not matter", kSwapped, small, {{1, 2, 5, 6}, {3, 4, 7, 8}},
         {{5, 6}, {5, 6}}, {{0, 1, 2, 3}, {0, 1, 2, 3}}},
        // 40 bytes, C = 5: one chunk of five blocks (channels 0, 1, 2, 3, 0).
        {"one chunk of five blocks",
         "00 00 00 00 00 00 | 00 02 00 02 00 04 | 04 02 00 06 00 08 | 08 02 00 0A 00 0C | 0C 02 00 0E 00 10 | "
         "00 04 00 12 00 14 | EE EE | FF FF",
         make_params("brindlexv3", 5, 5, 2), {{1, 2, 9, 10}, {3, 4}, {5, 6}, {7, 8}, {}},
         {{1, 2}, {1}, {1}, {1}, {}}, {{0, 1, 2, 3}, {0, 1}, {0, 1}, {0, 1}, {}}},
        // The table still selects (2, 2), but chunks are 8 words: one chunk,
        // two blocks, two words left unread.
        {"n_window_headers 2", kExample, make_params("brindlexv3", 2, 4, 2, {{"n_window_headers", u(2)}}),
         {{1, 2}, {3, 4}}, {{5}, {5}}, {{0, 1}, {0, 1}}},
        {"shifts modulo 16", kExample,
         make_params("brindlexv3", 2, 4, 2, {{"chan_shift", u(26)}, {"n_last_bits", u(17)}}),
         {{1, 2, 5, 6}, {3, 4, 7, 8}}, {{5, 6}, {5, 6}}, {{0, 1, 2, 3}, {0, 1, 2, 3}}},
        // With samples 0 a block is one word, so the chunk's closing word is
        // no longer below a block and is read as a further block header.
        {"closing word read as a block when blocks are one word", "00 00 00 00 00 00 | 00 02 | 04 02 | 04 04 | FF FF",
         make_params("brindlexv3", 2, 4, 0), {{}, {}}, {{1}, {1, 2}}, {{}, {}}},
        {"header labels wrap on the ring",
         "00 00 00 00 00 00 | 00 06 00 02 00 04 | 04 06 00 06 00 08 | 00 00 | 00 00 00 0A 00 0C | "
         "04 00 00 0E 00 10 | 00 00 | FF FF",
         small, {{1, 2, 5, 6}, {3, 4, 7, 8}}, {{3, 0}, {3, 0}}, {{0, 1, 2, 3}, {0, 1, 2, 3}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto r = decode(hex(c.bytes), c.params);
        ASSERT_TRUE(r.ok()) << error::message(r.error());
        EXPECT_EQ(r->data, c.data);
        EXPECT_EQ(r->window_labels, c.labels);
        EXPECT_EQ(r->time, c.time);
        EXPECT_EQ(r->header_code, 0u);
        EXPECT_EQ(r->header_byte, 0u);
    }
}

TEST(Brindlexv3, ErrorsInStepOrder) {
    struct Case {
        const char* what;
        Bytes bytes;
        Params params;
        ParsingError want;
    };
    const auto small = make_params("brindlexv3", 2, 4, 2);
    Bytes bad_second = hex(kExample);
    bad_second[2 * 10] = 0x08;  // second chunk, first block: channel 2
    Bytes bad_first = hex(kExample);
    bad_first[2 * 6] = 0x0C;  // first chunk, second block: channel 3
    const Case cases[] = {
        {"empty", {}, small, ParsingError::MissingData},
        {"odd", Bytes(7), small, ParsingError::UnexpectedLength},
        {"every window of the ring", Bytes(64), small, ParsingError::UnexpectedLength},
        {"windows below 2", hex(kExample), make_params("brindlexv3", 2, 1, 2), ParsingError::UnexpectedLength},
        {"no channels", hex(kExample), make_params("brindlexv3", 0, 4, 2), ParsingError::UnexpectedLength},
        {"channel 3 in the first chunk", bad_first, small, ParsingError::InvalidChannel},
        {"channel 2 in the second chunk", bad_second, small, ParsingError::InvalidChannel},
        // Keys that put the body, the first block headers or the chunk size
        // outside the event: a length that does not fit.
        {"no trailer word", hex(kExample), make_params("brindlexv3", 2, 4, 2, {{"n_footer_words", u(0)}}),
         ParsingError::UnexpectedLength},
        {"trailer longer than the event", hex(kExample),
         make_params("brindlexv3", 2, 4, 2, {{"n_footer_words", u(40)}}), ParsingError::UnexpectedLength},
        {"first chunk's headers beyond the body", hex(kExample),
         make_params("brindlexv3", 2, 4, 2, {{"n_footer_words", u(14)}}), ParsingError::UnexpectedLength},
        // samples 0 and no channel header: zero-word blocks in a one-word chunk.
        {"empty channel block", Bytes(10), make_params("brindlexv3", 2, 4, 0, {{"n_channel_headers", u(0)}}),
         ParsingError::UnexpectedLength},
        // block = 2^64 - 1 and one unread word: the chunk size wraps to 0.
        {"chunk size wraps to 0", Bytes(8), make_params("brindlexv3", 2, 4, kMax, {{"n_channel_headers", u(0)},
                                                                                    {"n_footer_words", u(1)}}),
         ParsingError::UnexpectedLength},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto r = decode(c.bytes, c.params);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error(), c.want);
    }
}

// Block headers carry 16-bit channel numbers: a count past 65536 slots is
// refused at the length table, the first step that reads it, after the empty
// and odd-length tests.
TEST(Brindlexv3, ChannelCountsNoEventCanFillAreRefused) {
    using testing::expect_slot_counts;
    // One chunk of one block whose header names channel 0xFFFF (14 bytes:
    // M = 1, W = 1 under windows 2 and samples 1).
    const Bytes top = testing::be_bytes({0x0000, 0x0000, 0x0000, 0xFFFF, 0x0002, 0xAAAA, 0xFFFF});
    expect_slot_counts<Brindlexv3Event>(
        top, make_params("brindlexv3", 0, 2, 1, {{"chanmask", u(0xFFFF)}, {"chan_shift", u(0)}}),
        {{65536, 65535},
         {65535, ParsingError::InvalidChannel},
         {65537, ParsingError::InvalidParameters},
         {10'000'000'000, ParsingError::InvalidParameters},
         {kMax - 1, ParsingError::InvalidParameters},
         {kMax, ParsingError::InvalidParameters}});
    expect_slot_counts<Brindlexv3Event>(hex(kExample), make_params("brindlexv3", 0, 4, 2),
                                        {{2, 1}, {65536, 1}, {65537, ParsingError::InvalidParameters}});
    const auto huge = make_params("brindlexv3", 10'000'000'000, 2, 4);
    EXPECT_EQ(decode({}, huge).error(), ParsingError::MissingData);
    EXPECT_EQ(decode(Bytes(21), huge).error(), ParsingError::UnexpectedLength);
    EXPECT_EQ(decode(Bytes(22), huge).error(), ParsingError::InvalidParameters);
}

TEST(Brindlexv3, UnusableKeysGiveDefaults) {
    testing::expect_keys_ignored<Brindlexv3Event>(
        hex(kExample), make_params("brindlexv3", 2, 4, 2),
        {"n_channel_headers", "chanmask", "chan_shift", "windmask", "datamask", "n_event_headers", "n_window_headers",
         "n_footer_words", "n_last_bits"},
        {testing::i(-1), YamlValue::floating(9.0), testing::s("9"), YamlValue::boolean(false), YamlValue::null(),
         YamlValue::sequence({})},
        {{"chanmask", u(0x30C00)}});
}

// ------------------------------------------------------------ round trip
struct Generated {
    Bytes raw;
    Brindlexv3Event want;
};

// An event of channels 0..m-1 (m <= 4) and w window chunks, blocks shuffled
// inside every chunk, labels running on from a random start around the ring,
// random 12-bit samples with noise in the bits the masks drop.
Generated generate(std::mt19937& rng, std::size_t m, std::size_t w, std::size_t ring, std::size_t samples) {
    Generated g;
    g.want.resize_channels(m);
    auto put = [&](std::uint64_t word) { testing::put_be16(g.raw, static_cast<std::uint16_t>(word)); };
    for (int i = 0; i < 3; ++i) put(rng());
    const std::size_t start = rng() % ring;
    std::vector<std::size_t> order(m);
    for (std::size_t i = 0; i < m; ++i) order[i] = i;
    for (std::size_t win = 0; win < w; ++win) {
        std::shuffle(order.begin(), order.end(), rng);
        const std::size_t label = (start + win) % ring;
        for (const std::size_t c : order) {
            put((c << 10) | (label << 1) | (rng() & 0xF001));
            g.want.window_labels[c].push_back(static_cast<std::uint16_t>(label));
            for (std::size_t s = 0; s < samples; ++s) {
                const std::uint64_t v = rng() & 0x0FFF;
                put((v << 1) | (rng() & 0xE001));
                g.want.data[c].push_back(static_cast<float>(v));
                g.want.time[c].push_back(static_cast<std::uint16_t>(win * samples + s));
            }
        }
        put(rng());  // the chunk's unread word
    }
    put(rng());
    return g;
}

TEST(Brindlexv3, RoundTrip) {
    std::mt19937 rng(777);
    for (const std::size_t m : {1u, 2u, 3u, 4u}) {
        for (const std::size_t ring : {4u, 16u, 512u}) {
            for (const std::size_t samples : {1u, 2u, 6u}) {
                for (const std::size_t w : {std::size_t{1}, std::size_t{2}, ring - 1}) {
                    SCOPED_TRACE("M " + std::to_string(m) + " W " + std::to_string(w) + " ring " +
                                 std::to_string(ring) + " S " + std::to_string(samples));
                    const auto g = generate(rng, m, w, ring, samples);
                    const auto r = decode(g.raw, make_params("brindlexv3", m, ring, samples));
                    ASSERT_TRUE(r.ok()) << error::message(r.error());
                    EXPECT_EQ(*r, g.want);
                }
            }
        }
    }
}

// ------------------------------------------------------------------ fuzz
Params random_params(std::mt19937& rng) {
    const std::size_t samples_pool[] = {0, 1, 2, 3, 8, kMax, kMax - 1, std::size_t{1} << 63};
    const std::size_t channels_pool[] = {0, 1, 2, 3, 4, 6, kMax};
    auto p = make_params("brindlexv3", channels_pool[rng() % 7], rng() % 40, samples_pool[rng() % 8]);
    testing::add_random_keys(p,
                             {"n_channel_headers", "chanmask", "chan_shift", "windmask", "datamask",
                              "n_event_headers", "n_window_headers", "n_footer_words", "n_last_bits"},
                             rng,
                             {testing::below(6), testing::any_value(), testing::u32_max_less(4),
                              testing::fixed(YamlValue::floating(1.0)), testing::absent()});
    return p;
}

TEST(Brindlexv3, FuzzEndsInRecordErrorOrFault) {
    std::mt19937 rng(4242);
    testing::FuzzTally tally;
    for (int it = 0; it < 4000; ++it) {
        Params p = random_params(rng);
        Bytes raw;
        if (it % 2 == 0) {
            raw = testing::random_bytes(rng, 120);
        } else {
            const std::size_t m = 1 + rng() % 4, samples = rng() % 4;
            raw = generate(rng, m, 1 + rng() % 5, 8, samples).raw;
            testing::mutate(raw, rng, testing::Mutation::XorThree);
            if (rng() % 2 == 0) p = make_params("brindlexv3", m, 8, samples);
        }
        (void)testing::decode_and_tally<Brindlexv3Event>(raw, p, tally, [&p](const Brindlexv3Event& r) {
            EXPECT_EQ(r.data.size(), p.channels);
            EXPECT_EQ(r.window_labels.size(), p.channels);
        });
    }
    EXPECT_GT(tally.records, 0u);
}

}  // namespace
}  // namespace vexoacq::parsing
