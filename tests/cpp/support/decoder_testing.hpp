// Test helper for the decoder tests: byte and word builders, records and
// their time axis, the worked-case check, and the pieces of the bounded fuzz
// loops (random and mutated bytes, random tuning keys, the tally of endings).
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <sstream>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "error.hpp"
#include "parsing/block_kernels.hpp"
#include "parsing/frame.hpp"
#include "support/params.hpp"

namespace vexoacq::testing {

using Bytes = std::vector<std::uint8_t>;
using Words = std::vector<std::uint16_t>;
using Extra = std::vector<std::pair<const char*, YamlValue>>;
using Floats = std::vector<std::vector<float>>;
using Shorts = std::vector<std::vector<std::uint16_t>>;

// ------------------------------------------------------------ bytes and words

// "01 02 | 0a" -> bytes; '|' only separates groups for the reader.
inline Bytes hex(const std::string& text) {
    Bytes out;
    std::istringstream in(text);
    std::string tok;
    while (in >> tok)
        if (tok != "|") out.push_back(static_cast<std::uint8_t>(std::stoul(tok, nullptr, 16)));
    return out;
}

inline void put_be16(Bytes& out, std::uint16_t w) {
    out.push_back(static_cast<std::uint8_t>(w >> 8));
    out.push_back(static_cast<std::uint8_t>(w & 0xFF));
}

inline void put_le16(Bytes& out, std::uint16_t w) {
    out.push_back(static_cast<std::uint8_t>(w & 0xFF));
    out.push_back(static_cast<std::uint8_t>(w >> 8));
}

// Words as big-endian bytes.
inline Bytes be_bytes(const Words& words) {
    Bytes out;
    for (const std::uint16_t w : words) put_be16(out, w);
    return out;
}

// A copy of v with element `at` replaced.
template <class V>
V with(V v, std::size_t at, typename V::value_type x) {
    v.at(at) = x;
    return v;
}

// a followed by b.
template <class V>
V cat(V a, const V& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// ------------------------------------------------------------ params and records

inline Params params_with(std::string model, std::size_t channels, std::size_t windows, std::size_t samples,
                          const Extra& extra) {
    Params p = make_params(std::move(model), channels, windows, samples);
    for (const auto& [k, v] : extra) p.extra.push_back(YamlValue::string(k), v);
    return p;
}

template <class E>
E channels_record(Floats data, Shorts labels, Shorts time) {
    E e;
    e.data = std::move(data);
    e.window_labels = std::move(labels);
    e.time = std::move(time);
    return e;
}

// The common time axis of the first `channels` slots: each window label is
// placed by its distance around the ring from the slot's first label.
template <class E>
void add_time_axis(E& e, std::size_t channels, std::size_t windows, std::size_t samples) {
    for (std::size_t c = 0; c < channels; ++c) {
        const auto& labels = e.window_labels[c];
        for (const std::uint16_t w : labels) {
            const std::size_t rel = (w + windows - labels.front()) % windows;
            for (std::size_t sm = 0; sm < samples; ++sm)
                e.time[c].push_back(static_cast<std::uint16_t>((rel * samples + sm) % 65536));
        }
    }
}

// A worked case: the bytes decode into the record, or fail with the error.
template <class E>
void expect_decodes_or_fails(const Bytes& raw, const Params& p,
                             const std::variant<E, error::ParsingError>& expected) {
    const auto got = parsing::parse_into<E>(raw, p);
    if (const auto* want = std::get_if<E>(&expected)) {
        ASSERT_TRUE(got.ok()) << error::message(got.error());
        EXPECT_EQ(*got, *want);
    } else {
        ASSERT_FALSE(got.ok());
        EXPECT_EQ(got.error(), std::get<error::ParsingError>(expected));
    }
}

// Every value of `junk` under every key, and then each key of `same` alone,
// leave the record of the bytes under `defaults` as it is.
template <class E>
void expect_keys_ignored(const Bytes& raw, const Params& defaults, std::initializer_list<const char*> keys,
                         std::initializer_list<YamlValue> junk, const Extra& same) {
    const auto with_key = [&defaults](const char* key, const YamlValue& v) {
        Params p = defaults;
        p.extra.push_back(YamlValue::string(key), v);
        return p;
    };
    const auto want = parsing::parse_into<E>(raw, defaults);
    ASSERT_TRUE(want.ok());
    for (const char* key : keys) {
        for (const auto& v : junk) {
            SCOPED_TRACE(key);
            const auto r = parsing::parse_into<E>(raw, with_key(key, v));
            ASSERT_TRUE(r.ok());
            EXPECT_EQ(*r, *want);
        }
    }
    for (const auto& [key, v] : same) {
        const auto r = parsing::parse_into<E>(raw, with_key(key, v));
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(*r, *want);
    }
}

// ------------------------------------------------------------ slot bounds

// One channel count tried on a fixture: accepted, with a record of that many
// slots in which slot `filled` carries the fixture's window, or refused with
// an error.
struct SlotCount {
    std::size_t channels;
    std::variant<std::size_t, error::ParsingError> want;

    SlotCount(std::size_t count, std::size_t filled) : channels(count), want(filled) {}
    SlotCount(std::size_t count, error::ParsingError err) : channels(count), want(err) {}
};

inline void PrintTo(const SlotCount& c, std::ostream* os) { *os << "channels=" << c.channels; }

template <class E>
void expect_slot_counts(const Bytes& raw, Params params, std::initializer_list<SlotCount> counts) {
    for (const SlotCount& c : counts) {
        SCOPED_TRACE(::testing::PrintToString(c));
        params.channels = c.channels;
        const auto got = parsing::parse_into<E>(raw, params);
        if (const auto* err = std::get_if<error::ParsingError>(&c.want)) {
            ASSERT_FALSE(got.ok());
            EXPECT_EQ(got.error(), *err) << error::message(got.error());
            continue;
        }
        ASSERT_TRUE(got.ok()) << error::message(got.error());
        const std::size_t filled = std::get<std::size_t>(c.want);
        ASSERT_EQ(got->window_labels.size(), c.channels);
        EXPECT_EQ(got->data.size(), c.channels);
        EXPECT_FALSE(got->window_labels[filled].empty());
    }
}

// Test names of parameterised cases with a `name` member.
template <class C>
std::string case_name(const ::testing::TestParamInfo<C>& p) {
    return p.param.name;
}

// ------------------------------------------------------------ fuzz loops

// How the calls of a fuzz loop ended.
struct FuzzTally {
    std::size_t records = 0;
    std::size_t errors = 0;
    std::size_t faults = 0;

    // The loop must have reached all three endings to mean anything.
    void expect_all_endings() const {
        EXPECT_GT(records, 0u);
        EXPECT_GT(errors, 0u);
        EXPECT_GT(faults, 0u);
    }
};

enum class Ending { Record, Error, Fault };

// Decodes under try/catch and counts the ending; `check` sees every record.
template <class E, class Check>
Ending decode_and_tally(const Bytes& raw, const Params& p, FuzzTally& tally, Check check) {
    try {
        const auto got = parsing::parse_into<E>(raw, p);
        if (!got.ok()) {
            ++tally.errors;
            return Ending::Error;
        }
        ++tally.records;
        check(*got);
        return Ending::Record;
    } catch (const InternalFault&) {
        ++tally.faults;
        return Ending::Fault;
    }
}

template <class E>
Ending decode_and_tally(const Bytes& raw, const Params& p, FuzzTally& tally) {
    return decode_and_tally<E>(raw, p, tally, [](const E&) {});
}

// Up to below - 1 bytes, each drawn by byte().
template <class Rng, class Byte>
Bytes random_bytes(Rng& rng, std::size_t below, Byte byte) {
    Bytes raw(rng() % below);
    for (auto& b : raw) b = byte();
    return raw;
}

template <class Rng>
Bytes random_bytes(Rng& rng, std::size_t below) {
    return random_bytes(rng, below, [&rng] { return static_cast<std::uint8_t>(rng()); });
}

// A byte drawer: `value` one time in `one_in`, else a random byte.
template <class Rng>
auto often(Rng& rng, unsigned one_in, std::uint8_t value) {
    return [&rng, one_in, value] { return static_cast<std::uint8_t>(rng() % one_in == 0 ? value : rng()); };
}

enum class Mutation {
    Overwrite,  // up to two bytes replaced, one time in 4 cut to at most its length
    XorThree,   // three bytes XOR-ed, one time in 3 cut or grown by up to 3 zero bytes
};

template <class Rng>
void mutate(Bytes& raw, Rng& rng, Mutation how = Mutation::Overwrite) {
    if (how == Mutation::XorThree) {
        for (int m = 0; m < 3 && !raw.empty(); ++m) raw[rng() % raw.size()] ^= static_cast<std::uint8_t>(rng());
        if (rng() % 3 == 0) raw.resize(rng() % (raw.size() + 4));
        return;
    }
    const std::size_t flips = rng() % 3;
    for (std::size_t f = 0; f < flips && !raw.empty(); ++f) raw[rng() % raw.size()] = static_cast<std::uint8_t>(rng());
    if (rng() % 4 == 0) raw.resize(rng() % (raw.size() + 1));
}

// One way of drawing a tuning key's value.
struct KeyDraw {
    enum class Kind { Absent, Below, Any, U32MaxLess, Fixed };
    Kind kind = Kind::Absent;
    std::uint64_t n = 0;
    YamlValue value{};
};

inline KeyDraw absent() { return {}; }
// A value below n.
inline KeyDraw below(std::uint64_t n) { return {KeyDraw::Kind::Below, n, {}}; }
// Any value of the generator.
inline KeyDraw any_value() { return {KeyDraw::Kind::Any, 0, {}}; }
// 2^32 - 1 less a value below n.
inline KeyDraw u32_max_less(std::uint64_t n) { return {KeyDraw::Kind::U32MaxLess, n, {}}; }
inline KeyDraw fixed(YamlValue v) { return {KeyDraw::Kind::Fixed, 0, std::move(v)}; }

// For every key, one of `draws` picked at random.
template <class Keys, class Rng>
void add_random_keys(Params& p, const Keys& keys, Rng& rng, std::initializer_list<KeyDraw> draws) {
    for (const char* key : keys) {
        const KeyDraw& d = draws.begin()[rng() % draws.size()];
        switch (d.kind) {
            case KeyDraw::Kind::Absent: break;
            case KeyDraw::Kind::Below: p.extra.push_back(YamlValue::string(key), u(rng() % d.n)); break;
            case KeyDraw::Kind::Any: p.extra.push_back(YamlValue::string(key), u(rng())); break;
            case KeyDraw::Kind::U32MaxLess:
                p.extra.push_back(YamlValue::string(key), u(0xFFFFFFFFu - rng() % d.n));
                break;
            case KeyDraw::Kind::Fixed: p.extra.push_back(YamlValue::string(key), d.value); break;
        }
    }
}

template <class Rng>
void add_random_keys(Params& p, std::initializer_list<const char*> keys, Rng& rng,
                     std::initializer_list<KeyDraw> draws) {
    add_random_keys<std::initializer_list<const char*>, Rng>(p, keys, rng, draws);
}

// Decodes `raw` with the plain loop into `want`, then with every kernel into
// that kernel's record of `reused` (records that held earlier events): each
// must give `want`, or the same error.  Returns the plain decode's result;
// a mismatch is a fatal failure (check HasFatalFailure()).
template <class E>
Result<void, error::ParsingError> decode_with_every_kernel(const Bytes& raw, const acquisition::Params& p, E& want,
                                                           E (&reused)[3], int round) {
    namespace k = runtime::cpu;  // its first three levels: one per decoder body
    const auto want_r = decode_into(raw, p, want, k::Kernel::Scalar);
    for (int kernel = 0; kernel < 3; ++kernel) {
        const auto got_r = decode_into(raw, p, reused[kernel], k::kAllKernels[kernel]);
        [&] {
            ASSERT_EQ(got_r.ok(), want_r.ok()) << "round " << round << " kernel " << kernel;
            if (want_r.ok()) {
                ASSERT_EQ(reused[kernel], want) << "round " << round << " kernel " << kernel;
            } else {
                ASSERT_EQ(got_r.error(), want_r.error()) << "round " << round << " kernel " << kernel;
            }
        }();
        if (::testing::Test::HasFatalFailure()) break;
    }
    return want_r;
}

// The names every decoder test uses, for `using namespace` in a test file.
namespace decoder_names {
using vexoacq::InternalFault;
using vexoacq::acquisition::Params;
using vexoacq::acquisition::YamlValue;
using vexoacq::error::ParsingError;
using vexoacq::parsing::parse_into;
using vexoacq::testing::Bytes;
using vexoacq::testing::cat;
using vexoacq::testing::Extra;
using vexoacq::testing::Floats;
using vexoacq::testing::i;
using vexoacq::testing::make_params;
using vexoacq::testing::put_le16;
using vexoacq::testing::s;
using vexoacq::testing::Shorts;
using vexoacq::testing::u;
using vexoacq::testing::with;
using vexoacq::testing::Words;
}  // namespace decoder_names

}  // namespace vexoacq::testing
