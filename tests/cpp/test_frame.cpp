// The decoding frame: word readers, tuning-key typing, the common time axis
// (appended, and written over reused lists by every kernel), the per-thread
// reused record and the model table.
#include <gtest/gtest.h>

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "parsing/parsing.hpp"
#include "parsing/reused_record.hpp"
#include "parsing/util.hpp"
#include "support/bounded_child.hpp"
#include "support/decoder_testing.hpp"

namespace vexoacq::parsing {
namespace {

using acquisition::YamlMapping;
using acquisition::YamlValue;
using testing::cat;
using testing::make_params;
using U16s = testing::Words;
using Lists = std::vector<U16s>;

// ------------------------------------------------------------------ words
struct WordCase {
    testing::Bytes bytes;
    U16s be;
    U16s le;
};

TEST(Words, WholePairsOnlyInBothByteOrders) {
    const WordCase cases[] = {
        {{0x12, 0x34, 0x56}, {0x1234}, {0x3412}},
        {{0x12, 0x34, 0x56, 0x78}, {0x1234, 0x5678}, {0x3412, 0x7856}},
        {{0xFF, 0x00}, {0xFF00}, {0x00FF}},
        {{0x12}, {}, {}},
        {{}, {}, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(be_words(c.bytes), c.be);
        EXPECT_EQ(le_words(c.bytes), c.le);
        for (std::size_t i = 0; i < c.be.size(); ++i) {
            EXPECT_EQ(read_be16(c.bytes.data() + 2 * i), c.be[i]);
            EXPECT_EQ(read_le16(c.bytes.data() + 2 * i), c.le[i]);
        }
    }
}

// ------------------------------------------------------------ tuning keys
struct KeyCase {
    const char* what;
    std::optional<YamlValue> value;  // nullopt: key absent
    std::uint16_t want16;
    std::uint32_t want32;
};

constexpr std::uint16_t kDef16 = 7;
constexpr std::uint32_t kDef32 = 11;

TEST(TuningKey, OnlyNonNegativeIntegersCountAndAreCutToWidth) {
    YamlMapping map;
    map.push_back(YamlValue::integer(1), YamlValue::integer(5));  // a non-text key is never found
    map.push_back(YamlValue::string("x"), YamlValue::integer(5));
    const KeyCase cases[] = {
        {"1536", testing::u(1536), 1536, 1536},
        {"0x0600 (an integer once read)", testing::u(0x0600), 0x0600, 0x0600},
        {"69120", testing::u(69120), 3584, 69120},
        {"0", testing::u(0), 0, 0},
        {"2^32 + 5", testing::u((std::uint64_t{1} << 32) + 5), 5, 5},
        {"2^64 - 1", testing::u(std::numeric_limits<std::uint64_t>::max()), 0xFFFF, 0xFFFFFFFF},
        {"non-negative signed", testing::i(42), 42, 42},
        {"-1", testing::i(-1), kDef16, kDef32},
        {"1536.0", YamlValue::floating(1536.0), kDef16, kDef32},
        {"3.0", YamlValue::floating(3.0), kDef16, kDef32},
        {"'1536'", testing::s("1536"), kDef16, kDef32},
        {"0600 as text", testing::s("0600"), kDef16, kDef32},
        {"true", YamlValue::boolean(true), kDef16, kDef32},
        {"null", YamlValue::null(), kDef16, kDef32},
        {"sequence", YamlValue::sequence({testing::u(1)}), kDef16, kDef32},
        {"mapping", YamlValue::mapping(map), kDef16, kDef32},
        {"tagged", YamlValue::tagged("!mask", testing::u(3)), kDef16, kDef32},
        {"absent", std::nullopt, kDef16, kDef32},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto p = make_params("zelkv3", 1, 1, 1, {{"other", testing::u(99)}});
        if (c.value) p.extra.push_back(YamlValue::string("chanmask"), *c.value);
        EXPECT_EQ(key_u16(p, "chanmask", kDef16), c.want16);
        EXPECT_EQ(key_u32(p, "chanmask", kDef32), c.want32);
    }
}

TEST(TuningKey, LookupIsByExactKeyText) {
    auto p = make_params("zelkv3", 1, 1, 1, {{"Chanmask", testing::u(1)}, {"chanmask ", testing::u(2)}});
    p.extra.push_back(YamlValue::integer(5), testing::u(3));
    p.extra.push_back(YamlValue::string("Chanmask"), testing::u(4));  // a later entry of the same text
    p.extra.push_back(YamlValue::tagged("chanmask", testing::s("x")), testing::u(6));
    EXPECT_EQ(key_u16(p, "chanmask", kDef16), kDef16);
    EXPECT_EQ(key_u16(p, "Chanmask", kDef16), 1);
    EXPECT_EQ(key_u16(p, "5", kDef16), kDef16);  // the integer key 5 is not the text "5"
    EXPECT_EQ(key_u16(p, "", kDef16), kDef16);
}

// "k12" and the like (built by appending: GCC 12 warns wrongly about
// "k" + std::to_string(k)).
std::string numbered(const char* stem, std::uint64_t k) {
    std::string out = stem;
    out += std::to_string(k);
    return out;
}

// Params are copied whole (the Python object and the export keep their own):
// a copy finds every key after the original is gone and is not changed by
// what is added to the original later; a moved-from one starts afresh.
TEST(TuningKey, CopiedParamsFindTheirKeys) {
    constexpr std::uint64_t n = 20000;
    auto original = std::make_unique<Params>(make_params("zelkv3", 1, 1, 1));
    for (std::uint64_t k = 0; k < n; ++k) original->extra.push_back(YamlValue::string(numbered("k", k)), testing::u(k));
    Params copy = *original;
    Params assigned;
    assigned = *original;
    original->extra.push_back(YamlValue::string("late"), testing::u(1));
    EXPECT_EQ(key_u32(*original, "late", 7), 1u);
    original.reset();
    // Moved from, a Params is empty and takes new keys like a new one.
    Params moved = std::move(assigned);
    assigned.extra.push_back(YamlValue::string("k1"), testing::u(5));
    EXPECT_EQ(assigned.extra.size(), 1u);
    EXPECT_EQ(key_u32(assigned, "k1", 7), 5u);
    EXPECT_EQ(key_u32(assigned, "k2", 7), 7u);
    for (const Params* p : {&copy, &moved}) {
        EXPECT_EQ(key_u32(*p, "late", 7), 7u);
        std::uint64_t found = 0;
        for (std::uint64_t k = 0; k < n; ++k) found += key_u32(*p, numbered("k", k), 0xFFFFFFFF) == k;
        EXPECT_EQ(found, n);
    }
}

// The least CPU time, over `readings` readings of `reps` decodes, of one
// decode of a four-channel zelkv3 event of one window under `p`.
double cpu_per_decode(const Params& p, int readings, int reps) {
    testing::Words words = {0, 0, 0};
    for (std::uint16_t c = 0; c < 4; ++c) {
        words.push_back(static_cast<std::uint16_t>((c << 9) | (1u << 1)));
        for (int sample = 0; sample < 4; ++sample) words.push_back(0x10);
    }
    words.push_back(0xFFFF);
    const testing::Bytes raw = testing::be_bytes(words);
    double least = HUGE_VAL;
    for (int r = 0; r < readings; ++r) {
        timespec start{}, end{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
        for (int i = 0; i < reps; ++i) {
            if (!parse_into<zelkv3::Zelkv3Event>(RawBytes(raw), p).ok()) return HUGE_VAL;
        }
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
        least = std::min(least, (static_cast<double>(end.tv_sec - start.tv_sec) +
                                 static_cast<double>(end.tv_nsec - start.tv_nsec) * 1e-9) / reps);
    }
    return least;
}

// A decoder looks its tuning keys up on every decode; `params` may hold any
// number of other keys (50000 of them are 1 MB of metadata.yml), and looking
// them up must not cost more for that.  The CPU time per decode with 50000
// other keys against 1000, side by side in one child, the least of several
// readings each: a lookup that passes over the keys makes it tens of times
// as long.
TEST(TuningKey, LookupCostDoesNotGrowWithOtherKeys) {
    const auto with_keys = [](std::size_t n) {
        auto p = make_params("zelkv3", 4, 256, 4);
        for (std::size_t k = 0; k < n; ++k) {
            p.extra.push_back(YamlValue::string(numbered("other_key_", k)), testing::u(k));
        }
        return p;
    };
    const Params few = with_keys(1000), many = with_keys(50000);
    const std::string outcome = vexoacq::testing::run_bounded(20, std::size_t{1} << 30, [&] {
        double least_few = HUGE_VAL, least_many = HUGE_VAL;
        for (int round = 0; round < 3; ++round) {
            least_few = std::min(least_few, cpu_per_decode(few, 3, 500));
            least_many = std::min(least_many, cpu_per_decode(many, 3, 500));
        }
        const double ratio = least_many / least_few;
        if (ratio >= 5.0) {
            std::fprintf(stderr, "CPU per decode: %.3g s at 1000 keys, %.3g s at 50000 keys\n", least_few, least_many);
        }
        return ratio < 5.0;
    });
    EXPECT_EQ(outcome, "passed");
}

// -------------------------------------------------------------- time axis
U16s iota16(std::uint32_t from, std::uint32_t count) {
    U16s v;
    for (std::uint32_t i = 0; i < count; ++i) v.push_back(static_cast<std::uint16_t>(from + i));
    return v;
}

struct AxisCase {
    const char* what;
    std::size_t samples;
    std::size_t windows;
    U16s labels;
    U16s want;
};

TEST(TimeAxis, WorkedExamples) {
    const AxisCase cases[] = {
        {"ring wrap", 4, 512, {510, 511, 0, 1}, iota16(0, 16)},
        {"gap", 4, 512, {5, 7}, {0, 1, 2, 3, 8, 9, 10, 11}},
        {"below first lies a turn later", 4, 512, {7, 5}, {0, 1, 2, 3, 2040, 2041, 2042, 2043}},
        {"positions wrap at 65536", 256, 512, {0, 300}, cat(iota16(0, 256), iota16(11264, 256))},
        {"labels 254 255 0", 2, 256, {254, 255, 0}, iota16(0, 6)},
        {"no samples", 0, 512, {3, 4}, {}},
        {"windows 0 wraps below first", 1, 0, {5, 3}, {0, 0xFFFE}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto p = make_params("zelkv3", 2, c.windows, c.samples);
        Lists time(2);
        const Lists labels{c.labels, {}};
        ASSERT_TRUE(util::set_time_axis(time, labels, p).ok());
        EXPECT_EQ(time[0], c.want);
        EXPECT_TRUE(time[1].empty());
        // Over lists that held other values (shorter, as long, longer), every
        // kernel writes the same lists as the rule on empty ones.
        for (const runtime::cpu::Kernel kernel : runtime::cpu::kAllKernels)
            for (const std::size_t held : {std::size_t{1}, c.want.size(), c.want.size() + 7}) {
                SCOPED_TRACE(std::string(runtime::cpu::name(kernel)) + " over " + std::to_string(held));
                Lists reused{U16s(held, 0xBEEF), U16s(held, 0xBEEF)};
                ASSERT_TRUE(util::replace_time_axis(reused, labels, p, kernel).ok());
                EXPECT_EQ(reused, time);
            }
    }
}

TEST(TimeAxis, ReplacingEmptiesChannelsWithoutLabelsAndBeyondParams) {
    const auto p = make_params("zelkv3", 2, 8, 2);
    Lists time{{9, 9}, {9}, {9, 9, 9}};
    const Lists labels{{1, 2}, {}, {1}};
    ASSERT_TRUE(util::replace_time_axis(time, labels, p, runtime::cpu::best()).ok());
    EXPECT_EQ(time, (Lists{{0, 1, 2, 3}, {}, {}}));
}

TEST(TimeAxis, AppendsAfterExistingValuesAndSkipsChannelsBeyondParams) {
    const auto p = make_params("zelkv3", 1, 8, 2);
    Lists time{{9}, {9}};
    const Lists labels{{1, 2}, {1, 2}};
    ASSERT_TRUE(util::set_time_axis(time, labels, p).ok());
    EXPECT_EQ(time[0], (U16s{9, 0, 1, 2, 3}));
    EXPECT_EQ(time[1], (U16s{9}));  // channel 1 is at Params.channels
}

TEST(TimeAxis, MissingLists) {
    {
        SCOPED_TRACE("three channels, two label lists");
        const auto p = make_params("zelkv3", 3, 512, 4);
        Lists time(3);
        const Lists labels{{1}, {2}};
        const auto r = util::set_time_axis(time, labels, p);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error(), ParsingError::MissingData);
        EXPECT_EQ(time[0], iota16(0, 4));  // the channels before the failure stay filled
    }
    {
        SCOPED_TRACE("empty channel without a time list is not noticed");
        const auto p = make_params("zelkv3", 2, 512, 4);
        Lists time(1);
        const Lists labels{{1}, {}};
        EXPECT_TRUE(util::set_time_axis(time, labels, p).ok());
    }
    {
        SCOPED_TRACE("labels but no time list");
        const auto p = make_params("zelkv3", 2, 512, 4);
        Lists time(1);
        const Lists labels{{1}, {1}};
        const auto r = util::set_time_axis(time, labels, p);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error(), ParsingError::MissingData);
    }
    {
        SCOPED_TRACE("replacing: the same outcomes");
        const struct {
            std::size_t channels;
            std::size_t time_lists;
            Lists labels;
            bool ok;
        } cases[] = {{3, 3, {{1}, {2}}, false}, {2, 1, {{1}, {}}, true}, {2, 1, {{1}, {1}}, false}};
        for (const auto& c : cases) {
            Lists time(c.time_lists, U16s{7});
            const auto r = util::replace_time_axis(time, c.labels, make_params("zelkv3", c.channels, 512, 4),
                                                   runtime::cpu::best());
            ASSERT_EQ(r.ok(), c.ok);
            if (!c.ok) {
                EXPECT_EQ(r.error(), ParsingError::MissingData);
            }
        }
    }
}

TEST(TimeAxis, SampleCountBeyondAnyListIsAnInternalFault) {
    const auto p = make_params("zelkv3", 1, 512, std::numeric_limits<std::size_t>::max());
    Lists time(1);
    const Lists labels{{1, 2}};
    EXPECT_THROW((void)util::set_time_axis(time, labels, p), InternalFault);
}

TEST(EventChannels, SlotCountBeyondAnyListIsAnInternalFault) {
    EventChannels ev;
    EXPECT_THROW(ev.resize_channels(std::numeric_limits<std::size_t>::max()), InternalFault);
    ev.resize_channels(3);
    EXPECT_EQ(ev.channel_slots(), 3u);
    EXPECT_EQ(ev.window_labels.size(), 3u);
    EXPECT_EQ(ev.time.size(), 3u);
}

// ------------------------------------------------------------ reused record
static_assert(DecodesInto<tolv96::Tolv96Event> && DecodesInto<ryk16::Ryk16Event>);
static_assert(!DecodesInto<zelkv3::Zelkv3Event> && !DecodesInto<mervyv1::Mervyv1Event>);

// Run on a thread of its own, so that the thread starts without a reused record.
template <class F>
void on_new_thread(F f) {
    std::thread t(f);
    t.join();
}

TEST(ReusedRecord, ReusesOneRecordPerThreadUpToItsCap) {
    using Reused = ReusedRecord<tolv96::Tolv96Event>;
    on_new_thread([] {
        EXPECT_FALSE(Reused::thread_has_one());
        const float* storage = nullptr;
        {
            Reused r;
            r.get().resize_channels(96);
            r.get().data[5].resize(4096, 1.0f);
            storage = r.get().data[5].data();
        }
        ASSERT_TRUE(Reused::thread_has_one());
        {
            Reused r;  // the same lists come back, storage and all
            EXPECT_FALSE(Reused::thread_has_one());
            EXPECT_EQ(r.get().data[5].data(), storage);
            {
                Reused nested;  // a borrow while the record is out gets a new one
                EXPECT_TRUE(nested.get().data.empty());
            }
            EXPECT_TRUE(Reused::thread_has_one());  // the nested one waits ...
        }
        {
            Reused r;  // ... and the outer one, given back second, was not
            EXPECT_TRUE(r.get().data.empty());
        }
        // A record grown past the cap in any of its lists is not reused.
        using Grow = void (*)(tolv96::Tolv96Event&);
        const Grow past_cap[] = {
            [](tolv96::Tolv96Event& e) {
                e.resize_channels(1);
                e.data[0].reserve(Reused::kMaxReusedBytes / sizeof(float) + 1);
            },
            [](tolv96::Tolv96Event& e) {
                e.resize_channels(3);
                e.time[2].reserve(Reused::kMaxReusedBytes / 2 + 1);
            },
            [](tolv96::Tolv96Event& e) { e.chip_ids.reserve(Reused::kMaxReusedBytes + 1); },
            [](tolv96::Tolv96Event& e) { e.window_labels.reserve(Reused::kMaxReusedBytes / sizeof(e.window_labels[0]) + 1); },
        };
        for (const Grow grow : past_cap) {
            {
                Reused r;
                grow(r.get());
            }
            EXPECT_FALSE(Reused::thread_has_one());
            { Reused refill; }  // an empty record waits again
            ASSERT_TRUE(Reused::thread_has_one());
        }
        on_new_thread([] { EXPECT_FALSE(Reused::thread_has_one()); });  // nothing shared between threads
    });
}

// ------------------------------------------------------------ model table
TEST(ModelTable, ExactStringsSelectTheirFamily) {
    const std::pair<const char*, Family> table[] = {
        {"zelkv3", Family::Zelkv3},           {"quopv2", Family::Quopv2},
        {"brindlexv3", Family::Brindlexv3},   {"zelkv3s", Family::Zelkv3s},
        {"ryk16", Family::Ryk16},             {"tolv96", Family::Tolv96},
        {"mervyv2_eval", Family::Mervyv1},    {"mervyv1_evalr2", Family::Mervyv1},
        {"mervyv2_evalr1", Family::Mervyv1},  {"mervyv2_evalr2", Family::Mervyv1},
        {"quopoc_quop", Family::Quopoc},      {"quopoc_zelk", Family::Quopoc},
        {"skarn", Family::Skarnv1},           {"hux-k12-4", Family::Skarnv1},
    };
    for (const auto& [model, family] : table) {
        SCOPED_TRACE(model);
        EXPECT_EQ(family_of(model), family);
    }
    for (const char* model : {"Zelkv3", "zelkv3 ", "zelkv", "", "ZELKV3", "mervyv1_eval", "skarnv1", "hux-k12-4\n"}) {
        SCOPED_TRACE(model);
        EXPECT_EQ(family_of(model), std::nullopt);
    }
    EXPECT_EQ(family_of(std::string_view("zelkv3\0", 7)), std::nullopt);
}

TEST(ModelTable, FamilyNamesItsRecordType) {
    const auto name = [](Family f) {
        return with_event_type(f, []<class E>(std::type_identity<E>) {
            if constexpr (std::is_same_v<E, Zelkv3Event>) return 0;
            else if constexpr (std::is_same_v<E, Quopv2Event>) return 1;
            else if constexpr (std::is_same_v<E, Zelkv3SEvent>) return 2;
            else if constexpr (HasTiming<E>) return 3;
            else if constexpr (HasEccErrors<E>) return 4;
            else return 5;
        });
    };
    EXPECT_EQ(name(Family::Zelkv3), 0);
    EXPECT_EQ(name(Family::Quopv2), 1);
    EXPECT_EQ(name(Family::Zelkv3s), 2);
    EXPECT_EQ(name(Family::Mervyv1), 3);
    EXPECT_EQ(name(Family::Tolv96), 4);
    EXPECT_EQ(name(Family::Skarnv1), 5);
}

}  // namespace
}  // namespace vexoacq::parsing
