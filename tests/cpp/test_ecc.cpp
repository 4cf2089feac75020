#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/task_arena.h>

#include "ecc/check.hpp"
#include "ecc/check_arena.hpp"
#include "ecc/tolv96.hpp"
#include "error.hpp"
#include "runtime/pool.hpp"
#include "support/bounded_child.hpp"
#include "support/ecc_events.hpp"

using namespace vexoacq;
using namespace vexoacq::ecc;
namespace pool = vexoacq::runtime::pool;
namespace events = vexoacq::testing::ecc_events;
using check::EccEntry;
using check::Kernel;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes zero_event(std::size_t size = check::kFullEventBytes) { return Bytes(size, 0); }

void put_word(Bytes& ev, std::size_t position, std::uint16_t w) {
    ev[position] = static_cast<std::uint8_t>(w & 0xFF);
    ev[position + 1] = static_cast<std::uint8_t>(w >> 8);
}

std::uint16_t get_word(const Bytes& ev, std::size_t position) {
    return static_cast<std::uint16_t>(ev[position] | (ev[position + 1] << 8));
}

std::vector<Kernel> available_kernels() {
    std::vector<Kernel> ks;
    for (Kernel k : runtime::cpu::kAllKernels) {
        if (runtime::cpu::available(k)) ks.push_back(k);
    }
    return ks;
}

// The check written straight from the per-word rule, word by word.
std::vector<EccEntry> reference_check(const Bytes& ev) {
    std::vector<EccEntry> all;
    const std::size_t channels = check::chip_count(ev.size()) * check::kChannelsPerChip;
    for (std::size_t ch = 0; ch < channels; ++ch) {
        const auto [start, end] = check::channel_offsets()[ch];
        for (std::size_t off = 0; off + 2 <= end - start; off += 2) {
            const std::uint16_t w = get_word(ev, start + off);
            const unsigned s = tolv96::syndrome_value(w);
            const std::uint8_t p = tolv96::global_parity(w);
            if (s == 0 && p == 0) continue;
            const std::uint8_t bit = s != 0 ? tolv96::SYNDROME_BITS[s - 1] : tolv96::kParityBit;
            all.push_back({off, start + off, w, p ? static_cast<std::uint16_t>(w ^ (1u << bit)) : w, bit, p});
        }
    }
    return all;
}

// A random code word (syndrome 0, even parity).
std::uint16_t random_clean_word(std::mt19937& rng) {
    std::uniform_int_distribution<unsigned> any(0, 0xFFFF);
    while (true) {
        const auto w = static_cast<std::uint16_t>(any(rng));
        if (tolv96::syndrome_value(w) == 0 && tolv96::global_parity(w) == 0) return w;
    }
}

// ------------------------------------------------------------- data-word code

// The syndrome bit rows as lists of data bits.
const std::vector<std::vector<unsigned>> kRows = {
    {0, 1, 3, 4, 6, 8, 10},
    {0, 2, 3, 5, 6, 9, 11},
    {1, 2, 3, 7, 8, 9, 12},
    {4, 5, 6, 7, 8, 9, 13},
};

TEST(Tolv96Code, SyndromeMatchesTheRowsOnEveryWord) {
    for (unsigned w = 0; w <= 0xFFFF; ++w) {
        std::array<std::uint8_t, 4> expected{};
        for (std::size_t i = 0; i < 4; ++i) {
            unsigned x = 0;
            for (unsigned b : kRows[i]) x ^= (w >> b) & 1u;
            expected[i] = static_cast<std::uint8_t>(x);
        }
        unsigned parity = 0;
        for (unsigned b = 0; b < 16; ++b) parity ^= (w >> b) & 1u;
        const auto word = static_cast<std::uint16_t>(w);
        ASSERT_EQ(tolv96::syndrome(word), expected) << "word " << w;
        ASSERT_EQ(tolv96::syndrome_value(word), expected[0] + 2u * expected[1] + 4u * expected[2] + 8u * expected[3]);
        ASSERT_EQ(tolv96::global_parity(word), parity) << "word " << w;
    }
}

TEST(Tolv96Code, SingleInversionTableBothWays) {
    // S of a clean word with bit k inverted, k = 0..15.
    const unsigned table[16] = {3, 5, 6, 7, 9, 10, 11, 12, 13, 14, 1, 2, 4, 8, 0, 0};
    for (unsigned k = 0; k < 16; ++k) {
        const auto w = static_cast<std::uint16_t>(1u << k);
        EXPECT_EQ(tolv96::syndrome_value(w), table[k]) << "bit " << k;
        const std::optional<std::uint8_t> back = tolv96::syndrome_to_index(tolv96::syndrome(w));
        if (k < 14) {
            ASSERT_TRUE(back.has_value()) << "bit " << k;
            EXPECT_EQ(*back, k);
            EXPECT_EQ(tolv96::SYNDROME_BITS[table[k] - 1], k);
        } else {
            EXPECT_FALSE(back.has_value()) << "bit " << k;
        }
    }
    EXPECT_EQ(tolv96::SYNDROME_BITS[14], 15);
}

TEST(Tolv96Code, SyndromeAndParityListedWords) {
    const struct {
        std::uint16_t word;
        std::array<std::uint8_t, 4> syndrome;
        std::uint8_t parity;
    } cases[] = {
        {0x0000, {0, 0, 0, 0}, 0}, {0x0001, {1, 1, 0, 0}, 1}, {0x0400, {1, 0, 0, 0}, 1},
        {0xFFFF, {1, 1, 1, 1}, 0}, {0xC000, {0, 0, 0, 0}, 0}, {0x8000, {0, 0, 0, 0}, 1},
        {0x7FFF, {1, 1, 1, 1}, 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tolv96::syndrome(c.word), c.syndrome) << c.word;
        EXPECT_EQ(tolv96::global_parity(c.word), c.parity) << c.word;
    }
}

TEST(Tolv96Code, SyndromeToIndexSumsByteValuesWithoutWrapping) {
    const struct {
        std::array<std::uint8_t, 4> s;
        std::optional<std::uint8_t> bit;
    } cases[] = {
        {{1, 1, 1, 1}, 15},          {{0, 0, 0, 0}, std::nullopt}, {{3, 0, 0, 0}, 0},
        {{0, 0, 0, 2}, std::nullopt}, {{255, 255, 255, 255}, std::nullopt},
        {{0, 1, 0, 0}, 11},          {{1, 0, 0, 0}, 10},           {{15, 0, 0, 0}, 15},
        {{16, 0, 0, 0}, std::nullopt}, {{0, 0, 0, 1}, 13},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tolv96::syndrome_to_index(c.s), c.bit)
            << int(c.s[0]) << "," << int(c.s[1]) << "," << int(c.s[2]) << "," << int(c.s[3]);
    }
}

// Every correctable finding with a syndrome other than 15 is corrected into
// a code word; that includes a word with syndrome 0 and odd parity, corrected
// at d15.  Syndrome 15 names no single inversion: such a word is still
// "corrected" at d15, which leaves its syndrome at 15.
TEST(Tolv96Code, CorrectionOfAnOddWordGivesACodeWord) {
    for (unsigned w = 0; w <= 0xFFFF; ++w) {
        EccEntry e{};
        const bool found = check::classify(static_cast<std::uint16_t>(w), 0, 0, &e);
        if (!found || e.correctable == 0) continue;
        if (tolv96::syndrome_value(e.word) == 15) {
            ASSERT_EQ(e.bit, 15);
            ASSERT_EQ(e.corrected, e.word ^ 0x8000);
            continue;
        }
        EccEntry again{};
        ASSERT_FALSE(check::classify(e.corrected, 0, 0, &again)) << "word " << w << " corrected to " << e.corrected;
    }
    EccEntry e{};
    ASSERT_TRUE(check::classify(0x4000, 0, 0, &e));
    EXPECT_EQ(e.bit, 15);
    EXPECT_EQ(e.corrected, 0xC000);
}

// ------------------------------------------------------------- channel table

TEST(ChannelTable, RowsAndSpacing) {
    const check::ChannelTable& t = check::channel_offsets();
    EXPECT_EQ(t[0], (check::ChannelRange{3, 8195}));
    EXPECT_EQ(t[1], (check::ChannelRange{8199, 16391}));
    EXPECT_EQ(t[15], (check::ChannelRange{122943, 131135}));
    EXPECT_EQ(t[16], (check::ChannelRange{131143, 139335}));
    EXPECT_EQ(t[95], (check::ChannelRange{778643, 786835}));
    EXPECT_EQ(&t, &check::channel_offsets());
}

// ------------------------------------------------------------- event check

struct Flip {
    std::size_t position;
    std::uint8_t value;
};

struct EventCase {
    const char* name;
    std::vector<Flip> bytes;
    std::vector<EccEntry> expected;
    std::vector<Flip> corrected;  // bytes of the corrected event that are not zero
};

class EventCheck : public ::testing::TestWithParam<EventCase> {};

TEST_P(EventCheck, FindingsAndCorrection) {
    const EventCase& c = GetParam();
    Bytes ev = zero_event();
    for (const Flip& f : c.bytes) ev[f.position] = f.value;
    const Bytes before = ev;
    for (Kernel k : available_kernels()) {
        EXPECT_EQ(events::check_event(ev, pool::arena(), k), c.expected) << "kernel " << int(k);
    }
    EXPECT_EQ(events::check_event(ev), c.expected);
    Bytes want = zero_event();
    for (const Flip& f : c.corrected) want[f.position] = f.value;
    EXPECT_EQ(events::correct_event(ev), want);
    EXPECT_EQ(ev, before);  // the input is never changed
}

INSTANTIATE_TEST_SUITE_P(
    ListedEvents, EventCheck,
    ::testing::Values(
        EventCase{"Clean", {}, {}, {}},
        EventCase{"LowBitOfChannel0", {{3, 0x01}}, {{0, 3, 1, 0, 0, 1}}, {}},
        EventCase{"D10OfChannel16", {{131144, 0x04}}, {{0, 131143, 1024, 0, 10, 1}}, {}},
        EventCase{"TwoBitsNotCorrectable", {{3, 0x03}}, {{0, 3, 3, 3, 2, 0}}, {{3, 0x03}}},
        EventCase{"ChannelOrderBeforeOffset",
                  {{8199, 0x01}, {103, 0x01}},
                  {{100, 103, 1, 0, 0, 1}, {0, 8199, 1, 0, 0, 1}},
                  {}},
        EventCase{"OffsetOrderInsideAChannel",
                  {{8193, 0x02}, {5, 0x01}},
                  {{2, 5, 1, 0, 0, 1}, {8190, 8193, 2, 0, 1, 1}},
                  {}},
        EventCase{"LastWordOfLastChannel", {{786834, 0x80}}, {{8190, 786833, 0x8000, 0, 15, 1}}, {}},
        EventCase{"D14WithOddParity", {{131144 + 8196 * 3, 0x40}}, {{0, 131143 + 8196 * 3, 0x4000, 0xC000, 15, 1}},
                  {{131144 + 8196 * 3, 0xC0}}},
        EventCase{"ChipHeaderIgnored", {{0, 0xFF}}, {}, {{0, 0xFF}}},
        EventCase{"ChannelHeaderIgnored", {{1, 0xFF}, {2, 0xFF}}, {}, {{1, 0xFF}, {2, 0xFF}}},
        EventCase{"ChannelFooterIgnored", {{8195, 0xFF}, {8196, 0xFF}}, {}, {{8195, 0xFF}, {8196, 0xFF}}},
        EventCase{"ChipFooterIgnored",
                  {{131137, 0xFF}, {131138, 0xFF}, {131139, 0xFF}},
                  {},
                  {{131137, 0xFF}, {131138, 0xFF}, {131139, 0xFF}}},
        EventCase{"EventFooterIgnored", {{786840, 0xFF}, {786841, 0xFF}}, {}, {{786840, 0xFF}, {786841, 0xFF}}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(EventCheckWhole, AllOnesGivesEveryWordAtBit15) {
    const Bytes ev(check::kFullEventBytes, 0xFF);
    const std::vector<EccEntry> found = events::check_event(ev);
    ASSERT_EQ(found.size(), 393216u);
    for (std::size_t i = 0; i < found.size(); ++i) {
        const EccEntry& e = found[i];
        const auto [start, end] = check::channel_offsets()[i / 4096];
        ASSERT_EQ(e, (EccEntry{(i % 4096) * 2, start + (i % 4096) * 2, 0xFFFF, 0xFFFF, 15, 0})) << i;
    }
    EXPECT_EQ(events::correct_event(ev), ev);
}

// One chip block whose 16 channels hold all 65536 words between them: every
// kernel must agree with the word-by-word rule on each of them.
TEST(EventCheckWhole, EveryWordValueInEveryKernel) {
    Bytes ev = zero_event(check::kChipBlockBytes + 2);
    for (unsigned w = 0; w <= 0xFFFF; ++w) {
        const auto [start, end] = check::channel_offsets()[w / 4096];
        put_word(ev, start + 2 * (w % 4096), static_cast<std::uint16_t>(w));
    }
    const std::vector<EccEntry> expected = reference_check(ev);
    ASSERT_EQ(expected.size(), 65536u - 65536u / 32);
    for (Kernel k : available_kernels()) {
        EXPECT_EQ(events::check_event_serial(ev, k), expected) << "kernel " << int(k);
        EXPECT_EQ(events::check_event(ev, pool::arena(), k), expected) << "kernel " << int(k);
    }
}

TEST(EventCheckWhole, TwoBytesAndShortChipBlocks) {
    EXPECT_TRUE(events::check_event(Bytes(2, 0xFF)).empty());
    EXPECT_EQ(events::correct_event(Bytes{0x01, 0x03}), (Bytes{0x01, 0x03}));
    // 131142 bytes (one block and the footer) and 131135 (the shortest that
    // holds all 16 data ranges) check channels 0 to 15.
    for (std::size_t size : {std::size_t{131142}, std::size_t{131135}}) {
        Bytes ev(size, 0);
        ev[3] = 0x01;
        ev[131134] = 0x80;  // high byte of channel 15's last word
        const std::vector<EccEntry> expected = {{0, 3, 1, 0, 0, 1}, {8190, 131133, 0x8000, 0, 15, 1}};
        EXPECT_EQ(events::check_event(ev), expected) << size;
        Bytes want(size, 0);
        EXPECT_EQ(events::correct_event(ev), want) << size;
    }
}

// ----------------------------------------------------------------- limits

std::string fault_of(const Bytes& ev, tbb::task_arena& arena, const check::Schedule& schedule = {}) {
    try {
        (void)events::check_event(ev, arena, runtime::cpu::best(), schedule);
    } catch (const InternalFault& f) {
        return f.what();
    }
    return "";
}

TEST(EventCheckLimits, SizesOutsideTheGeometryAreInternalFaults) {
    tbb::task_arena eight(8);
    const std::string too_short = "raw tolv96 event is shorter than its 2-byte footer";
    const std::string past_end = "tolv96 channel data range lies past the end of the raw event";
    const std::string too_many = "raw tolv96 event holds more than six chip blocks";
    // The same limits whether the caller or a pool thread meets them.
    for (const check::Schedule& on : {check::Schedule{}, check::Schedule{std::chrono::nanoseconds(0), true}}) {
        const std::string who = on.helpers_only ? "helpers only" : "default schedule";
        EXPECT_EQ(fault_of(Bytes{}, eight, on), too_short) << who;
        EXPECT_EQ(fault_of(Bytes(1), eight, on), too_short) << who;
        for (std::size_t n = 1; n <= 6; ++n) {
            const std::size_t full = check::kChipBlockBytes * n + 2;
            EXPECT_EQ(fault_of(Bytes(full - 8), eight, on), past_end) << n << who;  // 131140 n - 6
            EXPECT_EQ(fault_of(Bytes(full - 7), eight, on), "") << n << who;       // 131140 n - 5
            EXPECT_EQ(fault_of(Bytes(full), eight, on), "") << n << who;
            EXPECT_EQ(fault_of(Bytes(full + 1), eight, on), n < 6 ? past_end : too_many) << n << who;
        }
        EXPECT_EQ(fault_of(Bytes(check::kFullEventBytes + check::kChipBlockBytes), eight, on), too_many) << who;
    }
    EXPECT_THROW((void)events::correct_event(Bytes(131134)), InternalFault);
}

// A fault met by a pool task ends the call on the calling thread; the pool
// and the channel table serve the next call as before.
TEST(EventCheckLimits, PoolStaysUsableAfterAFault) {
    Bytes good = zero_event();
    good[103] = 0x01;
    const std::vector<EccEntry> expected = {{100, 103, 1, 0, 0, 1}};
    for (int round = 0; round < 3; ++round) {
        EXPECT_THROW((void)events::check_event(Bytes(check::kChipBlockBytes * 6 - 10)), InternalFault);
        EXPECT_EQ(events::check_event(good), expected);
    }
    EXPECT_EQ(check::channel_offsets()[95], (check::ChannelRange{778643, 786835}));
}

// ------------------------------------------------------- thread invariance

TEST(EventCheckThreads, SameFindingsForAnyThreadCountAndKernel) {
    std::mt19937 rng(96);
    Bytes ev(check::kFullEventBytes);
    for (auto& b : ev) b = static_cast<std::uint8_t>(rng() & 0xFF);
    // Long clean stretches with scattered findings.
    std::bernoulli_distribution keep(0.01);
    for (std::size_t ch = 0; ch < check::kChannels; ++ch) {
        const auto [start, end] = check::channel_offsets()[ch];
        for (std::size_t p = start; p < end; p += 2) {
            if (!keep(rng)) put_word(ev, p, random_clean_word(rng));
        }
    }
    const std::vector<EccEntry> expected = reference_check(ev);
    ASSERT_GT(expected.size(), 3000u);
    tbb::task_arena one(1);
    tbb::task_arena eight(8);
    for (Kernel k : available_kernels()) {
        EXPECT_EQ(events::check_event(ev, one, k), expected) << "kernel " << int(k);
        EXPECT_EQ(events::check_event(ev, eight, k), expected) << "kernel " << int(k);
    }
    EXPECT_EQ(events::check_event(ev), expected);
}

// ------------------------------------------------------------- schedules

// The previous shape of the check, written against check_channel: every
// channel on the calling thread into a list of its own, joined in order.
std::vector<EccEntry> per_channel_lists(const Bytes& ev, Kernel k) {
    const std::size_t channels = check::chip_count(ev.size()) * check::kChannelsPerChip;
    std::vector<std::vector<EccEntry>> lists(channels);
    for (std::size_t ch = 0; ch < channels; ++ch) check::check_channel(ev, ch, k, lists[ch]);
    std::vector<EccEntry> all;
    for (const auto& l : lists) all.insert(all.end(), l.begin(), l.end());
    return all;
}

struct NamedSchedule {
    const char* name;
    check::Schedule schedule;
};

// Helpers only when worth it; a helper woken after the first channel while
// the caller goes on; every channel on pool threads.
const NamedSchedule kSchedules[] = {
    {"default", {}},
    {"wake at once", {std::chrono::nanoseconds(0), false}},
    {"helpers only", {std::chrono::nanoseconds(0), true}},
};

// Random code words in the data ranges (random bytes elsewhere), then
// `fraction` of the data words spoilt: one inverted bit, two, or a random
// word, so that every row of the per-word rule occurs.
Bytes flipped_event(std::size_t size, double fraction, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes ev(size);
    for (auto& b : ev) b = static_cast<std::uint8_t>(rng() & 0xFF);
    std::bernoulli_distribution spoil(fraction);
    std::uniform_int_distribution<unsigned> bit(0, 15);
    const std::size_t channels = check::chip_count(size) * check::kChannelsPerChip;
    for (std::size_t ch = 0; ch < channels; ++ch) {
        const auto [start, end] = check::channel_offsets()[ch];
        for (std::size_t p = start; p < end; p += 2) {
            std::uint16_t w = random_clean_word(rng);
            if (spoil(rng)) {
                switch (rng() % 3) {
                case 0: w = static_cast<std::uint16_t>(w ^ (1u << bit(rng))); break;
                case 1: w = static_cast<std::uint16_t>(w ^ (1u << bit(rng)) ^ (1u << ((bit(rng) % 15) + 1))); break;
                default: w = static_cast<std::uint16_t>(rng()); break;
                }
            }
            put_word(ev, p, w);
        }
    }
    return ev;
}

struct FlipCase {
    const char* name;
    std::size_t size;
    double fraction;
    std::uint32_t seed;
};

class CheckDifferential : public ::testing::TestWithParam<FlipCase> {};

// Same findings, in the same order, from the word-by-word rule, from the
// previous per-channel lists, and from check_channels on every arena size,
// schedule and kernel.  The cases run one after the other on one thread, so
// a clean event follows a dirty one: lists cached from a call must come back
// empty.
TEST_P(CheckDifferential, SameFindingsEverywhere) {
    const FlipCase& c = GetParam();
    const Bytes ev = flipped_event(c.size, c.fraction, c.seed);
    const std::vector<EccEntry> expected = reference_check(ev);
    if (c.fraction == 0) {
        ASSERT_TRUE(expected.empty());
    } else {
        ASSERT_FALSE(expected.empty());
    }
    const std::size_t channels = check::chip_count(ev.size()) * check::kChannelsPerChip;
    Bytes corrected = ev;
    check::apply_corrections(corrected, std::span<const EccEntry>(expected));

    static tbb::task_arena one(1);
    static tbb::task_arena two(2);
    static tbb::task_arena eight(8);
    for (Kernel k : available_kernels()) {
        EXPECT_EQ(per_channel_lists(ev, k), expected) << "kernel " << int(k);
        EXPECT_EQ(events::check_event_serial(ev, k), expected) << "kernel " << int(k);
        for (tbb::task_arena* arena : {&one, &two, &eight}) {
            for (const NamedSchedule& s : kSchedules) {
                const auto where = ::testing::Message() << "kernel " << int(k) << ", " << arena->max_concurrency()
                                                        << " threads, " << s.name;
                const check::ChannelFindings found = check::check_channels(ev, *arena, k, s.schedule);
                ASSERT_EQ(found.channels(), channels) << where;
                EXPECT_EQ(events::joined(found), expected) << where;
                EXPECT_EQ(found.total(), expected.size()) << where;
                if (s.schedule.helpers_only && arena->max_concurrency() > 1) {
                    EXPECT_EQ(found.helper_channels(), channels) << where;
                }
                if (arena == &one) {
                    EXPECT_EQ(found.helper_channels(), 0u) << where;
                }
                Bytes fixed = ev;
                check::apply_corrections(fixed, found);
                EXPECT_EQ(fixed, corrected) << where;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    RandomFlips, CheckDifferential,
    ::testing::Values(FlipCase{"FullClean", check::kFullEventBytes, 0.0, 1},
                      FlipCase{"FullOnePerMille", check::kFullEventBytes, 0.001, 2},
                      FlipCase{"FullTenPercent", check::kFullEventBytes, 0.1, 3},
                      FlipCase{"FullCleanAfterDirty", check::kFullEventBytes, 0.0, 4},
                      FlipCase{"FullEveryWord", check::kFullEventBytes, 1.0, 5},
                      FlipCase{"OneChipHalf", check::kChipBlockBytes + 2, 0.5, 6},
                      FlipCase{"ThreeChipsShortestOnePercent", 3 * check::kChipBlockBytes - 5, 0.01, 7},
                      FlipCase{"TwoBytes", 2, 0.0, 8}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// A list cached from a call with findings everywhere serves the next call
// empty, on the caller and on pool threads alike.
TEST(CheckSchedule, CachedListsComeBackEmpty) {
    tbb::task_arena eight(8);
    const Bytes dirty(check::kFullEventBytes, 0xFF);
    Bytes one_finding = zero_event();
    one_finding[131144] = 0x04;
    const std::vector<EccEntry> expected = {{0, 131143, 1024, 0, 10, 1}};
    for (const NamedSchedule& s : kSchedules) {
        for (int round = 0; round < 3; ++round) {
            EXPECT_EQ(check::check_channels(dirty, eight, runtime::cpu::best(), s.schedule).total(), 393216u);
            EXPECT_EQ(events::check_event(one_finding, eight, runtime::cpu::best(), s.schedule), expected) << s.name;
            EXPECT_TRUE(events::check_event(zero_event(), eight, runtime::cpu::best(), s.schedule).empty()) << s.name;
        }
    }
}

// With a vector kernel a clean event (or one with few findings) is checked
// faster than a helper can be woken: the caller never wakes one, whatever
// the timing.
TEST(CheckSchedule, CleanEventStaysOnTheCaller) {
    tbb::task_arena eight(8);
    const Bytes clean = flipped_event(check::kFullEventBytes, 0.0, 11);
    const Bytes few = flipped_event(check::kFullEventBytes, 0.001, 12);
    for (Kernel k : {Kernel::Avx2, Kernel::Avx512Gfni}) {
        if (!runtime::cpu::available(k)) continue;
        for (int round = 0; round < 20; ++round) {
            EXPECT_EQ(check::check_channels(clean, eight, k).helper_channels(), 0u) << "kernel " << int(k);
            EXPECT_EQ(check::check_channels(few, eight, k).helper_channels(), 0u) << "kernel " << int(k);
        }
    }
}

// A broken invariant met on a pool thread ends the call on the caller with
// the same fault; the arena and the channel table serve the next calls, on
// pool threads again.
TEST(CheckSchedule, FaultOnAPoolThreadReachesTheCaller) {
    tbb::task_arena eight(8);
    const check::Schedule on_pool{std::chrono::nanoseconds(0), true};
    Bytes good = zero_event();
    good[103] = 0x01;
    const std::vector<EccEntry> expected = {{100, 103, 1, 0, 0, 1}};
    for (int round = 0; round < 5; ++round) {
        EXPECT_EQ(fault_of(Bytes(check::kFullEventBytes - 8), eight, on_pool),
                  "tolv96 channel data range lies past the end of the raw event");
        const check::ChannelFindings found = check::check_channels(good, eight, runtime::cpu::best(), on_pool);
        EXPECT_EQ(events::joined(found), expected);
        EXPECT_EQ(found.helper_channels(), check::kChannels);
    }
    EXPECT_EQ(check::channel_offsets()[95], (check::ChannelRange{778643, 786835}));
}

// The arena a caller hands in may be destroyed as soon as the call has
// returned: by then no pool thread of the call may use it any more (to wake
// a helper on it, say).  Every channel goes to helpers, on arenas of more
// threads than there are channels, so that the first helper would still be
// waking others after the last channel was done; a sanitizer build reports
// a use of a destroyed arena.
TEST(CheckSchedule, ArenaMayBeDestroyedRightAfterTheCall) {
    const Bytes clean = zero_event(check::kChipBlockBytes + 2);
    const check::Schedule on_pool{std::chrono::nanoseconds(0), true};
    for (int round = 0; round < 5; ++round) {
        const tbb::global_control wide(tbb::global_control::max_allowed_parallelism, 32);
        for (int call = 0; call < 400; ++call) {
            auto arena = std::make_unique<tbb::task_arena>(32);
            const check::ChannelFindings found = check::check_channels(clean, *arena, runtime::cpu::best(), on_pool);
            arena.reset();
            ASSERT_EQ(found.channels(), check::kChannelsPerChip) << "round " << round << ", call " << call;
            ASSERT_EQ(found.total(), 0u) << "round " << round << ", call " << call;
            ASSERT_EQ(found.helper_channels(), check::kChannelsPerChip) << "round " << round << ", call " << call;
        }
    }
}

// Several threads checking their own events on the shared pool at once,
// under every schedule: small dense events, so that calls begin and end
// (and hand cached lists around) often.
TEST(CheckSchedule, ConcurrentCallersShareThePool) {
    constexpr int kCallers = 6;
    constexpr int kRounds = 300;
    std::vector<Bytes> events;
    std::vector<std::vector<EccEntry>> expected;
    for (int i = 0; i < kCallers; ++i) {
        events.push_back(flipped_event(i == 0 ? check::kFullEventBytes : check::kChipBlockBytes + 2,
                                       i % 2 == 0 ? 0.1 : 0.02, 100 + static_cast<std::uint32_t>(i)));
        expected.push_back(reference_check(events.back()));
    }
    std::atomic<int> mismatches{0};
    std::atomic<int> calls{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < kCallers; ++i) {
        callers.emplace_back([&, i] {
            for (int round = 0; round < kRounds; ++round) {
                const NamedSchedule& s = kSchedules[(i + round) % 3];
                const int which = round % 7 == 0 ? 0 : i;
                if (events::check_event(events[which], pool::arena(), runtime::cpu::best(), s.schedule) !=
                    expected[which]) {
                    ++mismatches;
                }
                ++calls;
            }
        });
    }
    for (std::thread& t : callers) t.join();
    EXPECT_EQ(calls.load(), kCallers * kRounds);
    EXPECT_EQ(mismatches.load(), 0);
}

// ------------------------------------------------------------ property test

TEST(EventCorrection, SingleFlipsRestoredDoubleFlipsLeftAndFlagged) {
    std::mt19937 rng(2024);
    for (int round = 0; round < 4; ++round) {
        Bytes original(check::kFullEventBytes);
        for (auto& b : original) b = static_cast<std::uint8_t>(rng() & 0xFF);
        for (const auto& [start, end] : check::channel_offsets()) {
            for (std::size_t p = start; p < end; p += 2) put_word(original, p, random_clean_word(rng));
        }
        ASSERT_TRUE(events::check_event(original).empty());

        Bytes single = original;
        Bytes twice = original;
        std::vector<std::size_t> single_at;
        std::vector<std::size_t> twice_at;
        std::uniform_int_distribution<unsigned> data_bit(0, 13);
        std::bernoulli_distribution hit(0.005);
        for (const auto& [start, end] : check::channel_offsets()) {
            for (std::size_t p = start; p < end; p += 2) {
                if (hit(rng)) {
                    put_word(single, p, static_cast<std::uint16_t>(get_word(single, p) ^ (1u << data_bit(rng))));
                    single_at.push_back(p);
                }
                if (hit(rng)) {
                    const unsigned a = data_bit(rng);
                    unsigned b = data_bit(rng);
                    while (b == a) b = data_bit(rng);
                    put_word(twice, p, static_cast<std::uint16_t>(get_word(twice, p) ^ (1u << a) ^ (1u << b)));
                    twice_at.push_back(p);
                }
            }
        }
        const std::vector<EccEntry> single_found = events::check_event(single);
        ASSERT_EQ(single_found.size(), single_at.size());
        for (std::size_t i = 0; i < single_found.size(); ++i) {
            EXPECT_EQ(single_found[i].position, single_at[i]);
            EXPECT_EQ(single_found[i].correctable, 1);
            EXPECT_EQ(single_found[i].corrected, get_word(original, single_at[i]));
        }
        EXPECT_EQ(events::correct_event(single), original);

        const std::vector<EccEntry> twice_found = events::check_event(twice);
        ASSERT_EQ(twice_found.size(), twice_at.size());  // two inversions never give S = 0
        for (std::size_t i = 0; i < twice_found.size(); ++i) {
            EXPECT_EQ(twice_found[i].position, twice_at[i]);
            EXPECT_EQ(twice_found[i].correctable, 0);
            EXPECT_EQ(twice_found[i].corrected, twice_found[i].word);
        }
        EXPECT_EQ(events::correct_event(twice), twice);
    }
}

// ------------------------------------------------------------------- pool

TEST(PoolSize, EnvironmentRules) {
    const struct {
        const char* num_threads;
        const char* rs_num_cpus;
        std::size_t expected;
    } cases[] = {
        {nullptr, nullptr, 8},  {"3", nullptr, 3},   {"+3", "5", 3},   {"0", "5", 8},
        {"x", "5", 5},          {"", "5", 5},        {" 3", "5", 5},   {"-1", "5", 5},
        {"3.0", nullptr, 8},    {nullptr, "0", 8},   {nullptr, "2", 2}, {"99999999999999999999999", "4", 4},
        {"5000", nullptr, pool::kMaxThreads},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pool::thread_count(c.num_threads, c.rs_num_cpus, 8), c.expected)
            << (c.num_threads ? c.num_threads : "unset") << " / " << (c.rs_num_cpus ? c.rs_num_cpus : "unset");
    }
    EXPECT_EQ(pool::thread_count(nullptr, nullptr, 0), 1u);
}

TEST(PoolSize, CgroupQuotaTexts) {
    EXPECT_EQ(pool::cgroup_v2_limit("max 100000\n"), std::nullopt);
    EXPECT_EQ(pool::cgroup_v2_limit("200000 100000\n"), 2u);
    EXPECT_EQ(pool::cgroup_v2_limit("250000 100000"), 2u);
    EXPECT_EQ(pool::cgroup_v2_limit("50000 100000"), 1u);
    EXPECT_EQ(pool::cgroup_v2_limit("garbage"), std::nullopt);
    EXPECT_EQ(pool::cgroup_v1_limit("-1\n", "100000\n"), std::nullopt);
    EXPECT_EQ(pool::cgroup_v1_limit("400000\n", "100000\n"), 4u);
    EXPECT_EQ(pool::cgroup_v1_limit("400000", "0"), std::nullopt);
}

TEST(PoolSize, ProcessPoolMatchesItsEnvironment) {
    const std::size_t expected =
        pool::thread_count(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                           pool::available_processors());
    EXPECT_EQ(pool::size(), expected);
    EXPECT_EQ(static_cast<std::size_t>(pool::arena().max_concurrency()), expected);
    EXPECT_GE(pool::available_processors(), 1u);
}

// A process forked from one whose pool runs (a thread of the parent is
// inside a check at the fork) has the calling thread alone: the check never
// hands a channel to the inherited arena, which has no workers, even when
// the schedule asks for helpers only, and gives the parent's findings; so
// does a process forked from that one.  The time limit ends a check that
// waits for a helper that cannot come.
TEST(PoolFork, ForkedChildChecksOnTheCallerAlone) {
    const Bytes dense = flipped_event(check::kFullEventBytes, 0.1, 31);
    const std::vector<EccEntry> expected = reference_check(dense);
    const check::Schedule on_pool{std::chrono::nanoseconds(0), true};
    ASSERT_EQ(events::check_event(dense, pool::arena(), runtime::cpu::best(), on_pool), expected);
    const auto caller_alone = [&] {
        if (pool::size() != 1 || pool::arena().max_concurrency() != 1) return false;
        for (int round = 0; round < 20; ++round) {
            for (const NamedSchedule& s : kSchedules) {
                const check::ChannelFindings found =
                    check::check_channels(dense, pool::arena(), runtime::cpu::best(), s.schedule);
                if (found.helper_channels() != 0 || events::joined(found) != expected) return false;
            }
        }
        return events::check_event(dense) == expected && events::correct_event(dense) != dense;
    };
    std::atomic<bool> stop{false};
    std::atomic<int> busy_calls{0};
    std::thread busy([&] {
        while (!stop.load()) {
            (void)events::check_event(dense, pool::arena(), runtime::cpu::best(), on_pool);
            ++busy_calls;
        }
    });
    while (busy_calls.load() < 2) std::this_thread::yield();
    const std::string outcome = vexoacq::testing::run_bounded(120, std::size_t{4} << 30, [&] {
        return caller_alone() &&
               vexoacq::testing::run_bounded(120, std::size_t{4} << 30, caller_alone) == "passed";
    });
    stop.store(true);
    busy.join();
    EXPECT_EQ(outcome, "passed");
    EXPECT_EQ(pool::size(), static_cast<std::size_t>(pool::arena().max_concurrency()));
    EXPECT_EQ(events::check_event(dense, pool::arena(), runtime::cpu::best(), on_pool), expected);
}

}  // namespace
