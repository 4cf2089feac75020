// zelkv3 and quopv2 decoding: worked events, error order, key typing, a
// generated round trip and a bounded fuzz loop.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "parsing/quopv2.hpp"
#include "parsing/zelkv3.hpp"
#include "support/decoder_testing.hpp"

namespace vexoacq::parsing {
namespace {

using acquisition::YamlValue;
using testing::Bytes;
using testing::hex;
using testing::make_params;
using testing::u;
using zelkv3::Zelkv3Event;
using F = testing::Floats;
using L = testing::Shorts;

Result<Zelkv3Event, ParsingError> decode(const Bytes& b, const Params& p) { return parse_into<Zelkv3Event>(b, p); }

const std::string kExample =
    "01 02 03 00 00 00 | 00 14 00 02 00 04 | 02 14 00 06 00 08 | 00 16 00 0A 00 0C | 02 16 00 0E 00 10 | FF FF";

struct Worked {
    const char* what;
    std::string bytes;
    Params params;
    F data;
    L labels;
    L time;
    std::uint32_t header_code;
    std::uint16_t header_byte;
};

TEST(Zelkv3, WorkedEvents) {
    const auto defaults = make_params("zelkv3", 2, 256, 2);
    const Worked cases[] = {
        {"two channels, two windows each", kExample, defaults, {{1, 2, 5, 6}, {3, 4, 7, 8}}, {{10, 11}, {10, 11}},
         {{0, 1, 2, 3}, {0, 1, 2, 3}}, 0x10023, 3},
        {"windows belong to channels by position",
         "01 02 03 00 00 00 | 02 14 00 06 00 08 | 00 14 00 02 00 04 | 00 16 00 0A 00 0C | 02 16 00 0E 00 10 | FF FF",
         defaults, {{3, 4, 5, 6}, {1, 2, 7, 8}}, {{10, 11}, {10, 11}}, {{0, 1, 2, 3}, {0, 1, 2, 3}}, 0x10023, 3},
        {"later header channel is never looked at",
         "01 02 03 00 00 00 | 00 14 00 02 00 04 | 02 14 00 06 00 08 | 06 16 00 0A 00 0C | 02 16 00 0E 00 10 | FF FF",
         defaults, {{1, 2, 5, 6}, {3, 4, 7, 8}}, {{10, 11}, {10, 11}}, {{0, 1, 2, 3}, {0, 1, 2, 3}}, 0x10023, 3},
        {"no window, 0xFF header byte counts as 0", "AB CD FF 00 00 00 FF FF", defaults, {{}, {}}, {{}, {}},
         {{}, {}}, 0xAB0CD0, 255},
        {"header terms are added, not OR-ed", "00 FF 10 00 00 00 FF FF", defaults, {{}, {}}, {{}, {}}, {{}, {}},
         0xFF0 + 0x10, 0x10},
        {"labels 254 255 0 wrap on the ring",
         "00 00 00 00 00 00 | 01 FC 00 02 00 04 | 01 FE 00 06 00 08 | 00 00 00 0A 00 0C | FF FF",
         make_params("zelkv3", 1, 256, 2), {{1, 2, 3, 4, 5, 6}}, {{254, 255, 0}}, {{0, 1, 2, 3, 4, 5}}, 0, 0},
        {"one channel of two present: it owns every window",
         "00 00 00 00 00 00 | 02 14 00 02 00 04 | 02 16 00 06 00 08 | FF FF", make_params("zelkv3", 3, 256, 2),
         {{}, {1, 2, 3, 4}, {}}, {{}, {10, 11}, {}}, {{}, {0, 1, 2, 3}, {}}, 0, 0},
        // t = S + 2: the second header word is read as the first sample; the
        // time axis still gives each window S positions.
        {"n_window_headers 2",
         "00 00 00 00 00 00 | 00 14 00 64 00 02 00 04 | 02 14 00 C8 00 06 00 08 | 00 16 01 2C 00 0A 00 0C | FF FF",
         make_params("zelkv3", 2, 256, 2, {{"n_window_headers", u(2)}}), {{50, 1, 2, 150, 5, 6}, {100, 3, 4}},
         {{10, 11}, {10}}, {{0, 1, 2, 3}, {0, 1}}, 0, 0},
        // chan_shift and n_last_bits are taken modulo 16.
        {"shifts modulo 16", kExample,
         make_params("zelkv3", 2, 256, 2, {{"chan_shift", u(25)}, {"n_last_bits", u(17)}}),
         {{1, 2, 5, 6}, {3, 4, 7, 8}}, {{10, 11}, {10, 11}}, {{0, 1, 2, 3}, {0, 1, 2, 3}}, 0x10023, 3},
        // Other masks: channel in bits 1..0, label and data in bits 7..2 (>> 2);
        // the first header names channel 1, but position 0 belongs to channel 0.
        {"tuned masks", "00 00 00 00 00 00 | 00 15 00 0F 00 F1 | 00 14 FF 04 00 08 | FF FF",
         make_params("zelkv3", 2, 64, 2,
                     {{"chanmask", u(0x0003)}, {"chan_shift", u(0)}, {"windmask", u(0x00FC)},
                      {"databitmask", u(0x00FC)}, {"n_last_bits", u(2)}}),
         {{3, 60}, {1, 2}}, {{5}, {5}}, {{0, 1}, {0, 1}}, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes raw = hex(c.bytes);
        const auto r = decode(raw, c.params);
        ASSERT_TRUE(r.ok()) << error::message(r.error());
        EXPECT_EQ(r->data, c.data);
        EXPECT_EQ(r->window_labels, c.labels);
        EXPECT_EQ(r->time, c.time);
        EXPECT_EQ(r->header_code, c.header_code);
        EXPECT_EQ(r->header_byte, c.header_byte);

        const auto q = parse_into<quopv2::Quopv2Event>(raw, c.params);
        ASSERT_TRUE(q.ok());
        EXPECT_EQ(static_cast<const EventChannels&>(*q), static_cast<const EventChannels&>(*r));
        EXPECT_EQ(q->header_code, c.header_code);
        EXPECT_EQ(q->header_byte, c.header_byte);
    }
}

struct Failing {
    const char* what;
    Bytes bytes;
    Params params;
    std::optional<ParsingError> want;  // nullopt: decodes into zero slots
};

Bytes zeros(std::size_t n) { return Bytes(n, 0); }

TEST(Zelkv3, ErrorsInStepOrder) {
    const auto defaults = make_params("zelkv3", 2, 256, 2);
    const std::size_t max = std::numeric_limits<std::size_t>::max();
    const Failing cases[] = {
        {"empty", {}, defaults, ParsingError::MissingData},
        {"empty beats absurd keys", {}, make_params("zelkv3", 2, 256, max), ParsingError::MissingData},
        {"odd length", zeros(7), defaults, ParsingError::UnexpectedLength},
        {"first length test", zeros(10), defaults, ParsingError::UnexpectedLength},
        // n = 13: (13 - 4) % 3 == 0 but D = 9 is not a multiple of t = 4.
        {"second length test only", zeros(26), make_params("zelkv3", 2, 256, 2, {{"n_window_headers", u(2)}}),
         ParsingError::UnexpectedLength},
        {"samples + 1 wraps to 0", zeros(8), make_params("zelkv3", 2, 256, max), ParsingError::UnexpectedLength},
        {"window length wraps to 0", zeros(8),
         make_params("zelkv3", 2, 256, max - 1, {{"n_window_headers", u(2)}}), ParsingError::UnexpectedLength},
        // Under wrapping counts a 4-byte event passes both tests with S = 1,
        // but its body would start after its end.
        {"short event with no body", zeros(4), make_params("zelkv3", 2, 256, 1), ParsingError::UnexpectedLength},
        {"two-byte event", zeros(2), make_params("zelkv3", 2, 256, 0), ParsingError::UnexpectedLength},
        {"no footer word", zeros(16), make_params("zelkv3", 2, 256, 1, {{"n_footers", u(0)}}),
         ParsingError::UnexpectedLength},
        {"header longer than the event", zeros(16),
         make_params("zelkv3", 2, 256, 0, {{"n_event_headers", u(100)}}), ParsingError::UnexpectedLength},
        {"channel 2 in the first C headers",
         hex("00 00 00 00 00 00 | 04 14 00 02 00 04 | 02 14 00 06 00 08 | FF FF"), defaults,
         ParsingError::InvalidChannel},
        {"channel 3 in the second header", hex("00 00 00 00 00 00 | 00 14 00 02 00 04 | 06 14 00 06 00 08 | FF FF"),
         defaults, ParsingError::InvalidChannel},
        // C = 0: no header is probed, so no channel number is ever checked.
        {"C = 0 probes no header", hex("00 00 00 00 00 00 | 06 14 00 02 00 04 | FF FF"),
         make_params("zelkv3", 0, 256, 2), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto r = decode(c.bytes, c.params);
        const auto q = parse_into<quopv2::Quopv2Event>(c.bytes, c.params);
        if (!c.want) {
            ASSERT_TRUE(r.ok());
            EXPECT_EQ(r->channel_slots(), 0u);
            EXPECT_TRUE(q.ok());
            continue;
        }
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error(), *c.want);
        ASSERT_FALSE(q.ok());
        EXPECT_EQ(q.error(), *c.want);
    }
}

// Window headers carry 16-bit channel numbers: a count past 65536 slots is
// refused where the record is made, after the first length test, so a short
// event no longer asks for one slot per counted channel.
TEST(Zelkv3, ChannelCountsNoEventCanFillAreRefused) {
    using testing::expect_slot_counts;
    constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
    // One window whose header names channel 0xFFFF under a full mask.
    const Bytes top = testing::be_bytes({0x0000, 0x0000, 0x0000, 0xFFFF, 0x0002, 0xFFFF});
    expect_slot_counts<Zelkv3Event>(top, make_params("zelkv3", 0, 256, 1, {{"chanmask", u(0xFFFF)}, {"chan_shift", u(0)}}),
                                    {{65536, 65535},
                                     {65535, ParsingError::InvalidChannel},
                                     {65537, ParsingError::InvalidParameters},
                                     {100'000'000, ParsingError::InvalidParameters},
                                     {std::size_t{1} << 61, ParsingError::InvalidParameters},
                                     {kMax, ParsingError::InvalidParameters}});
    const auto huge = make_params("zelkv3", 100'000'000, 256, 1);
    const auto hugep = [&](std::size_t n) { return decode(Bytes(n), huge); };
    EXPECT_EQ(hugep(0).error(), ParsingError::MissingData);
    EXPECT_EQ(hugep(7).error(), ParsingError::UnexpectedLength);
    EXPECT_EQ(hugep(14).error(), ParsingError::UnexpectedLength);  // first length test
    EXPECT_EQ(hugep(12).error(), ParsingError::InvalidParameters);
    EXPECT_EQ(parse_into<quopv2::Quopv2Event>(Bytes(12), huge).error(), ParsingError::InvalidParameters);
}

TEST(Zelkv3, LengthRules) {
    // Defaults: every 8-byte event has no window; both tests ask n - 4 ≡ 0 (mod S + 1).
    const auto defaults = make_params("zelkv3", 3, 256, 4);
    std::mt19937 rng(7);
    for (int i = 0; i < 20; ++i) {
        Bytes raw(8);
        for (auto& b : raw) b = static_cast<std::uint8_t>(rng());
        const auto r = decode(raw, defaults);
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(r->data, F(3));
        EXPECT_EQ(r->window_labels, L(3));
        EXPECT_EQ(r->time, L(3));
    }
    for (std::size_t len = 2; len < 80; len += 2) {
        SCOPED_TRACE(len);
        const auto r = decode(zeros(len), defaults);
        EXPECT_EQ(r.ok(), (len / 2 - 4) % 5 == 0 && len >= 8);
        // With n_footers 3 and S >= 1 the two tests never both pass.
        const auto r3 = decode(zeros(len), make_params("zelkv3", 3, 256, 4, {{"n_footers", u(3)}}));
        ASSERT_FALSE(r3.ok());
        EXPECT_EQ(r3.error(), ParsingError::UnexpectedLength);
    }
}

TEST(Zelkv3, UnusableKeysGiveDefaults) {
    testing::expect_keys_ignored<Zelkv3Event>(
        hex(kExample), make_params("zelkv3", 2, 256, 2),
        {"databitmask", "chanmask", "chan_shift", "windmask", "n_event_headers", "n_window_headers", "n_footers",
         "n_last_bits"},
        {testing::i(-1), YamlValue::floating(9.0), testing::s("9"), YamlValue::boolean(true), YamlValue::null()},
        // 16-bit keys are cut: 0x10600 is chanmask 0x0600.
        {{"chanmask", u(0x10600)}});
}

// ------------------------------------------------------------ round trip
struct Generated {
    Bytes raw;
    Zelkv3Event want;
};

// An event of the channels `present` (ascending, each < 4), `per_channel`
// windows each in round-robin order, labels running on from a random start
// around a ring of `ring` windows, random 12-bit samples with noise in the
// bits the masks drop.
Generated generate(std::mt19937& rng, std::size_t channels, const std::vector<std::size_t>& present,
                   std::size_t per_channel, std::size_t ring, std::size_t samples) {
    Generated g;
    g.want.resize_channels(channels);
    auto put = [&](std::uint16_t w) { testing::put_be16(g.raw, w); };
    const auto b0 = static_cast<std::uint8_t>(rng()), b1 = static_cast<std::uint8_t>(rng()),
               b2 = static_cast<std::uint8_t>(rng());
    g.raw = {b0, b1, b2};
    g.raw.push_back(static_cast<std::uint8_t>(rng()));  // header: 3 words
    put(static_cast<std::uint16_t>(rng()));
    g.want.header_code = b0 * 65536u + b1 * 16u + (b2 == 0xFF ? 0u : b2);
    g.want.header_byte = b2;
    std::vector<std::size_t> start(present.size());
    for (auto& s : start) s = rng() % ring;
    for (std::size_t r = 0; r < per_channel; ++r) {
        for (std::size_t i = 0; i < present.size(); ++i) {
            const std::size_t c = present[i];
            const auto label = static_cast<std::uint16_t>((start[i] + r) % ring);
            put(static_cast<std::uint16_t>((c << 9) | (label << 1) | (rng() & 0xF801)));
            g.want.window_labels[c].push_back(label);
            for (std::size_t s = 0; s < samples; ++s) {
                const auto v = static_cast<std::uint16_t>(rng() & 0x0FFF);
                put(static_cast<std::uint16_t>((v << 1) | (rng() & 0xE001)));
                g.want.data[c].push_back(v);
            }
            for (std::size_t s = 0; s < samples; ++s)
                g.want.time[c].push_back(static_cast<std::uint16_t>((r % ring) * samples + s));
        }
    }
    put(static_cast<std::uint16_t>(rng()));
    return g;
}

TEST(Zelkv3, RoundTrip) {
    std::mt19937 rng(12345);
    const std::vector<std::vector<std::size_t>> sets = {{0}, {1}, {0, 1}, {1, 3}, {0, 1, 2}, {0, 1, 2, 3}};
    for (const auto& present : sets) {
        for (const std::size_t per_channel : {0u, 1u, 3u, 17u}) {
            for (const std::size_t ring : {16u, 256u}) {
                for (const std::size_t samples : {0u, 1u, 2u, 7u}) {
                    const std::size_t channels = present.back() + 1 + rng() % 2;
                    SCOPED_TRACE(::testing::PrintToString(present) + " x" + std::to_string(per_channel) + " ring " +
                                 std::to_string(ring) + " S " + std::to_string(samples));
                    const auto g = generate(rng, channels, present, per_channel, ring, samples);
                    const auto r = decode(g.raw, make_params("zelkv3", channels, ring, samples));
                    ASSERT_TRUE(r.ok()) << error::message(r.error()) << " " << ::testing::PrintToString(g.raw);
                    EXPECT_EQ(*r, g.want);
                }
            }
        }
    }
}

// ------------------------------------------------------------------ fuzz
Params random_params(std::mt19937& rng) {
    const std::size_t max = std::numeric_limits<std::size_t>::max();
    const std::size_t samples_pool[] = {0, 1, 2, 3, 8, max, max - 1, std::size_t{1} << 63};
    const std::size_t channels_pool[] = {0, 1, 2, 3, 4, 7, max};
    auto p = make_params("zelkv3", channels_pool[rng() % 7], rng() % 600, samples_pool[rng() % 8]);
    const char* keys[] = {"databitmask", "chanmask", "chan_shift", "windmask",
                          "n_event_headers", "n_window_headers", "n_footers", "n_last_bits"};
    testing::add_random_keys(p, keys, rng,
                             {testing::below(6), testing::any_value(), testing::u32_max_less(4),
                              testing::fixed(testing::i(-3)), testing::absent()});
    return p;
}

TEST(Zelkv3, FuzzEndsInRecordErrorOrFault) {
    std::mt19937 rng(2024);
    testing::FuzzTally tally, quopv2_tally;
    for (int it = 0; it < 4000; ++it) {
        Params p = random_params(rng);
        Bytes raw;
        if (it % 2 == 0) {
            raw = testing::random_bytes(rng, 120);
        } else {
            raw = generate(rng, 4, {0, 1, 2, 3}, rng() % 4, 256, rng() % 4).raw;
            testing::mutate(raw, rng, testing::Mutation::XorThree);
            if (rng() % 2 == 0) p = make_params("zelkv3", 4, 256, rng() % 4);
        }
        const auto ending = testing::decode_and_tally<Zelkv3Event>(raw, p, tally, [](const Zelkv3Event& r) {
            EXPECT_EQ(r.data.size(), r.window_labels.size());
            EXPECT_EQ(r.time.size(), r.window_labels.size());
        });
        // quopv2 reads the same layout; it runs unless zelkv3 ended in a fault.
        if (ending != testing::Ending::Fault)
            (void)testing::decode_and_tally<quopv2::Quopv2Event>(raw, p, quopv2_tally);
    }
    EXPECT_GT(tally.records, 0u);
}

}  // namespace
}  // namespace vexoacq::parsing
