// Typing "metadata.yml": accepted texts with their Params and registers, and
// one table of rejected texts; then the nesting and alias-expansion limits.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "acquisition/metadata.hpp"
#include "support/bounded_child.hpp"

// Bytes allocated through operator new, so that a test can count the work a
// reading does: the typed tree is what grows if a node is typed again.
// None of them is inlined: where the compiler sees malloc() or free() behind
// new or delete it reports a mismatch.
static std::atomic<std::size_t> g_allocated{0};

[[gnu::noinline]] void* operator new(std::size_t n) {
    g_allocated.fetch_add(n, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

using namespace vexoacq;
using namespace vexoacq::acquisition;

namespace {

using V = YamlValue;
using Entries = std::vector<std::pair<V, V>>;

V u(std::uint64_t x) { return V::unsigned_integer(x); }
V i(std::int64_t x) { return V::integer(x); }
V s(std::string x) { return V::string(std::move(x)); }
V f(double x) { return V::floating(x); }
V seq(std::vector<V> items) { return V::sequence(std::move(items)); }
YamlMapping map(const Entries& entries) {
    YamlMapping m;
    for (const auto& [k, v] : entries) m.push_back(k, v);
    return m;
}

// A seeded xorshift generator for the randomised cases.
struct XorShift {
    std::uint64_t state;
    std::uint64_t operator()() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
};

const std::string kCounts = "  channels: 8\n  windows: 4\n  samples: 32\n";
// A full document around extra `params` lines.
std::string with_params(const std::string& lines) {
    return "params:\n  model: zelkv3\n" + kCounts + lines + "registers:\n";
}
std::string with_registers(const std::string& value) {
    return "params:\n  model: zelkv3\n" + kCounts + "registers: " + value + "\n";
}

struct Accepted {
    const char* name;
    std::string text;
    std::string model;
    std::size_t channels, windows, samples;
    Entries extra;
    Entries registers;
};

class MetadataAccepted : public ::testing::TestWithParam<Accepted> {};

TEST_P(MetadataAccepted, Typed) {
    const Accepted& c = GetParam();
    const auto md = parse_metadata(c.text);
    ASSERT_TRUE(md.ok()) << md.error().yaml->reason << " at line " << md.error().yaml->line;
    EXPECT_EQ(md->params.model, c.model);
    EXPECT_EQ(md->params.channels, c.channels);
    EXPECT_EQ(md->params.windows, c.windows);
    EXPECT_EQ(md->params.samples, c.samples);
    EXPECT_EQ(md->params.extra, map(c.extra));
    EXPECT_EQ(md->registers, map(c.registers));
}

const std::size_t kMax = SIZE_MAX;

INSTANTIATE_TEST_SUITE_P(
    Texts, MetadataAccepted,
    ::testing::Values(
        Accepted{"minimal", with_params(""), "zelkv3", 8, 4, 32, {}, {}},
        Accepted{"count_forms",
                 "params:\n  model: m\n  channels: 0x10\n  windows: +8\n  samples: 0o17\nregisters: {}\n",
                 "m", 16, 8, 15, {}, {}},
        Accepted{"count_forms_2",
                 "params:\n  model: m\n  channels: 0b101\n  windows: 0\n  samples: 18446744073709551615\n"
                 "registers:\n",
                 "m", 5, 0, kMax, {}, {}},
        Accepted{"count_tags_and_aliases",
                 "x: &n 7\nparams:\n  model: m\n  channels: !!str 3\n  windows: !!int |-\n    12\n"
                 "  samples: *n\nregisters:\n",
                 "m", 3, 12, 7, {}, {}},
        Accepted{"model_123", "params:\n  model: 123\n" + kCounts + "registers:\n", "123", 8, 4, 32, {}, {}},
        Accepted{"model_true", "params:\n  model: true\n" + kCounts + "registers:\n", "true", 8, 4, 32, {}, {}},
        Accepted{"model_empty", "params:\n  model:\n" + kCounts + "registers:\n", "", 8, 4, 32, {}, {}},
        Accepted{"model_tilde_quoted_tagged",
                 "params:\n  model: !board 'a b'\n" + kCounts + "registers:\n", "a b", 8, 4, 32, {}, {}},
        Accepted{"model_null_text", "params:\n  model: ~\n" + kCounts + "registers:\n", "~", 8, 4, 32, {}, {}},
        Accepted{"extra_keep_document_order",
                 "params:\n  model: m\n  a: 1\n  channels: 1\n  b: 2\n  windows: 1\n  samples: 1\n  c: 3\n"
                 "registers:\n",
                 "m", 1, 1, 1, {{s("a"), u(1)}, {s("b"), u(2)}, {s("c"), u(3)}}, {}},
        Accepted{"integer_forms",
                 with_params("  m1: 0x0600\n  m2: '0x0600'\n  m3: 0600\n  m4: -5\n  m5: -0x10\n"
                             "  m6: -9223372036854775808\n  m7: 18446744073709551615\n  m8: +0b11\n  m9: -0\n"
                             "  m10: 0X10\n  m11: 1_000\n  m12: 0x\n"),
                 "zelkv3", 8, 4, 32,
                 {{s("m1"), u(1536)}, {s("m2"), s("0x0600")}, {s("m3"), s("0600")}, {s("m4"), i(-5)},
                  {s("m5"), i(-16)}, {s("m6"), i(INT64_MIN)}, {s("m7"), u(UINT64_MAX)}, {s("m8"), u(3)},
                  {s("m9"), u(0)}, {s("m10"), s("0X10")}, {s("m11"), s("1_000")}, {s("m12"), s("0x")}},
                 {}},
        Accepted{"beyond_64_bits",
                 with_params("  big: 18446744073709551616\n  small: -9223372036854775809\n"
                             "  hex: 0x10000000000000000\n"),
                 "zelkv3", 8, 4, 32,
                 {{s("big"), f(18446744073709551616.0)}, {s("small"), f(-9223372036854775809.0)},
                  {s("hex"), s("0x10000000000000000")}},
                 {}},
        Accepted{"float_null_bool_string_forms",
                 with_params("  a: 1.5\n  b: -1e3\n  c: .5\n  d: 2.\n  e: 0600.5\n  f: .inf\n  g: -.Inf\n  h: 1e400\n"
                             "  n1: ~\n  n2:\n  n3: Null\n  t1: True\n  t2: FALSE\n  t3: yes\n  t4: 'true'\n"
                             "  q: \"x\"\n  r: |\n    lit\n"),
                 "zelkv3", 8, 4, 32,
                 {{s("a"), f(1.5)}, {s("b"), f(-1000.0)}, {s("c"), f(0.5)}, {s("d"), f(2.0)}, {s("e"), f(600.5)},
                  {s("f"), f(HUGE_VAL)}, {s("g"), f(-HUGE_VAL)}, {s("h"), s("1e400")},
                  {s("n1"), V::null()}, {s("n2"), V::null()}, {s("n3"), V::null()},
                  {s("t1"), V::boolean(true)}, {s("t2"), V::boolean(false)}, {s("t3"), s("yes")},
                  {s("t4"), s("true")}, {s("q"), s("x")}, {s("r"), s("lit\n")}},
                 {}},
        Accepted{"standard_tags",
                 with_params("  a: !!str 5\n  b: !!int '7'\n  c: !!float 1\n  d: !!bool true\n  e: !!null ''\n"
                             "  f: !!seq [1]\n  g: !!map {k: v}\n"),
                 "zelkv3", 8, 4, 32,
                 {{s("a"), s("5")}, {s("b"), u(7)}, {s("c"), f(1.0)}, {s("d"), V::boolean(true)},
                  {s("e"), V::null()}, {s("f"), seq({u(1)})}, {s("g"), V::mapping(map({{s("k"), s("v")}}))}},
                 {}},
        Accepted{"keys_are_texts_values_nest",
                 with_params("  5: five\n  \"q\": [1, [a, ~], {1: x, '1': y}]\n  ? |\n    block\n  : z\n"),
                 "zelkv3", 8, 4, 32,
                 {{s("5"), s("five")},
                  {s("q"), seq({u(1), seq({s("a"), V::null()}),
                                V::mapping(map({{u(1), s("x")}, {s("1"), s("y")}}))})},
                  {s("block\n"), s("z")}},
                 {}},
        Accepted{"aliases_are_followed",
                 "defs: &d {x: 1}\nparams:\n  model: &m zelkv3\n" + kCounts +
                     "  copy: *d\n  again: *m\n  list: [&e 2, *e]\nregisters: *d\n",
                 "zelkv3", 8, 4, 32,
                 {{s("copy"), V::mapping(map({{s("x"), u(1)}}))}, {s("again"), s("zelkv3")},
                  {s("list"), seq({u(2), u(2)})}},
                 {{s("x"), u(1)}}},
        Accepted{"registers_keep_local_tags",
                 with_registers("{a: !mask 0x10, !k b: !!int 3, c: !t [1, 'x'], d: {e: !f ~}}"),
                 "zelkv3", 8, 4, 32, {},
                 {{s("a"), V::tagged("!mask", u(16))}, {V::tagged("!k", s("b")), u(3)},
                  {s("c"), V::tagged("!t", seq({u(1), s("x")}))},
                  {s("d"), V::mapping(map({{s("e"), V::tagged("!f", V::null())}}))}}},
        Accepted{"ignored_top_level_keys",
                 "other: &x !local {a: [1, 2]}\nother: again\nparams:\n  model: m\n" + kCounts +
                     "x: !!int notanint\nregisters:\n  r: 1\nlast: [*x, *x]\n",
                 "m", 8, 4, 32, {}, {{s("r"), u(1)}}},
        Accepted{"collection_keys_that_differ",
                 "s: &s [1, 2]\n" + with_registers("{[1]: a, [1, 2, 3]: b, !t [1]: c, !u [1]: d, {1: 2}: e, {2: 1}: f, "
                                                   "[[1]]: g, [0.0]: h, *s : j}"),
                 "zelkv3", 8, 4, 32, {},
                 {{seq({u(1)}), s("a")}, {seq({u(1), u(2), u(3)}), s("b")}, {V::tagged("!t", seq({u(1)})), s("c")},
                  {V::tagged("!u", seq({u(1)})), s("d")}, {V::mapping(map({{u(1), u(2)}})), s("e")},
                  {V::mapping(map({{u(2), u(1)}})), s("f")}, {seq({seq({u(1)})}), s("g")}, {seq({f(0.0)}), s("h")},
                  {seq({u(1), u(2)}), s("j")}}},
        Accepted{"named_scalar_keys",
                 "k: &k key\nn: &n 5\n*k : ignored\nparams:\n  model: m\n" + kCounts +
                     "  *k : 1\n  *n : 2\n  m: [{*k : 1}, {*k : 2, key2: 3}, {*n : a, '5': b}]\n"
                     "registers: {*k : 1, r: {*k : 2}, *n : 3, s: {*n : 4}}\n",
                 "m", 8, 4, 32,
                 {{s("key"), u(1)}, {s("5"), u(2)},
                  {s("m"), seq({V::mapping(map({{s("key"), u(1)}})), V::mapping(map({{s("key"), u(2)}, {s("key2"), u(3)}})),
                                V::mapping(map({{u(5), s("a")}, {s("5"), s("b")}}))})}},
                 {{s("key"), u(1)}, {s("r"), V::mapping(map({{s("key"), u(2)}}))}, {u(5), u(3)},
                  {s("s"), V::mapping(map({{u(5), u(4)}}))}}},
        Accepted{"explicit_document_markers", "%YAML 1.1\n---\n" + with_params("") + "...\n", "zelkv3", 8, 4, 32,
                 {}, {}}),
    [](const ::testing::TestParamInfo<Accepted>& p) { return std::string(p.param.name); });

TEST(MetadataAccepted, NanAndNegativeZero) {
    const auto md = parse_metadata(with_params("  a: .nan\n  b: -0.0\n  c: !!float .NaN\n"));
    ASSERT_TRUE(md.ok());
    EXPECT_TRUE(std::isnan(md->params.extra.get("a")->as_float()));
    EXPECT_TRUE(std::signbit(md->params.extra.get("b")->as_float()));
    EXPECT_TRUE(std::isnan(md->params.extra.get("c")->as_float()));
}

struct Rejected {
    const char* name;
    std::string text;
};

class MetadataRejected : public ::testing::TestWithParam<Rejected> {};

TEST_P(MetadataRejected, Serialization) {
    const auto md = parse_metadata(GetParam().text);
    ASSERT_FALSE(md.ok());
    EXPECT_EQ(md.error().kind, error::MetadataErrorKind::Serialization);
    ASSERT_NE(md.error().yaml, nullptr);
    EXPECT_FALSE(md.error().yaml->reason.empty());
    EXPECT_EQ(error::message(md.error()), "failed to serialized");
}

// A default string_view has no buffer at all; it reads as the empty text
// (libyaml would assert on the null pointer).
TEST(MetadataRejected, ViewWithoutBufferIsTheEmptyText) {
    const auto md = parse_metadata(std::string_view{});
    ASSERT_FALSE(md.ok());
    EXPECT_EQ(md.error().kind, error::MetadataErrorKind::Serialization);
    const auto empty = parse_metadata(std::string_view{"", 0});
    ASSERT_FALSE(empty.ok());
    ASSERT_NE(md.error().yaml, nullptr);
    ASSERT_NE(empty.error().yaml, nullptr);
    EXPECT_EQ(md.error().yaml->reason, empty.error().yaml->reason);
}

std::string counts_with(const std::string& key, const std::string& value) {
    std::string out = "params:\n  model: m\n";
    for (const char* k : {"channels", "windows", "samples"}) {
        out += std::string("  ") + k + ": " + (key == k ? value : "1") + "\n";
    }
    return out + "registers:\n";
}

INSTANTIATE_TEST_SUITE_P(
    Texts, MetadataRejected,
    ::testing::Values(
        Rejected{"empty_text", ""}, Rejected{"only_comments", "# nothing\n"},
        Rejected{"empty_document", "---\n"}, Rejected{"root_sequence", "- params\n- registers\n"},
        Rejected{"root_scalar", "hello\n"}, Rejected{"syntax_error", with_params("") + "  bad: [\n"},
        Rejected{"syntax_error_after_content", with_params("") + "x: 'unterminated\n"},
        Rejected{"second_document", with_params("") + "---\nother: 1\n"},
        Rejected{"params_empty", "params:\nregisters:\n"}, Rejected{"params_null", "params: ~\nregisters:\n"},
        Rejected{"params_sequence", "params: [model]\nregisters:\n"},
        Rejected{"params_local_tag", "params: !p {model: m, channels: 1, windows: 1, samples: 1}\nregisters:\n"},
        Rejected{"registers_null", with_registers("~")}, Rejected{"registers_null_word", with_registers("null")},
        Rejected{"registers_scalar", with_registers("5")}, Rejected{"registers_sequence", with_registers("[1]")},
        Rejected{"registers_quoted_empty", with_registers("''")},
        Rejected{"registers_tagged_mapping", with_registers("!r {a: 1}")},
        Rejected{"missing_registers", "params:\n  model: m\n" + kCounts},
        Rejected{"missing_params", "registers:\n"},
        Rejected{"missing_model", "params:\n" + kCounts + "registers:\n"},
        Rejected{"missing_channels", "params:\n  model: m\n  windows: 1\n  samples: 1\nregisters:\n"},
        Rejected{"missing_windows", "params:\n  model: m\n  channels: 1\n  samples: 1\nregisters:\n"},
        Rejected{"missing_samples", "params:\n  model: m\n  channels: 1\n  windows: 1\nregisters:\n"},
        Rejected{"second_model", with_params("  model: again\n")},
        Rejected{"second_samples", with_params("  samples: 32\n")},
        Rejected{"second_params", with_params("") + "params:\n  model: m\n" + kCounts},
        Rejected{"second_registers", with_params("") + "registers:\n"},
        Rejected{"model_sequence", "params:\n  model: [a]\n" + kCounts + "registers:\n"},
        Rejected{"count_quoted", counts_with("channels", "'8'")},
        Rejected{"count_float", counts_with("channels", "8.0")},
        Rejected{"count_negative", counts_with("windows", "-1")},
        Rejected{"count_negative_zero", counts_with("windows", "-0")},
        Rejected{"count_leading_zero", counts_with("samples", "08")},
        Rejected{"count_beyond_word", counts_with("samples", "18446744073709551616")},
        Rejected{"count_null", counts_with("samples", "~")}, Rejected{"count_empty", counts_with("samples", "")},
        Rejected{"count_sequence", counts_with("samples", "[8]")},
        Rejected{"count_double_sign", counts_with("samples", "++8")},
        Rejected{"count_sign_after_prefix", counts_with("samples", "0x+8")},
        Rejected{"count_upper_prefix", counts_with("samples", "0X8")},
        Rejected{"count_literal_without_int_tag", counts_with("samples", "|-\n    8")},
        Rejected{"count_folded_int", counts_with("samples", "!!int >-\n    8")},
        Rejected{"top_level_sequence_key", "? [a]\n: 1\n" + with_params("")},
        Rejected{"params_mapping_key", with_params("  ? {a: 1}\n  : 1\n")},
        Rejected{"local_tag_in_params", with_params("  mask: !mask 0x10\n")},
        Rejected{"local_tag_nested_in_params", with_params("  list: [1, !x 2]\n")},
        Rejected{"bad_int_tag", with_params("  a: !!int abc\n")},
        Rejected{"bad_bool_tag", with_params("  a: !!bool yes\n")},
        Rejected{"bad_null_tag", with_params("  a: !!null x\n")},
        Rejected{"bad_float_tag", with_params("  a: !!float 0x10\n")},
        Rejected{"other_standard_tag_in_params", with_params("  a: !!binary aGk=\n")},
        Rejected{"kept_keys_same_text", with_params("  5: a\n  '5': b\n")},
        Rejected{"nested_equal_keys", with_params("  m: {1: a, 0x1: b}\n")},
        Rejected{"nested_equal_nan_keys", with_params("  m: {.nan: a, .NaN: b}\n")},
        Rejected{"registers_equal_keys", with_registers("{a: 1, a: 2}")},
        Rejected{"registers_equal_tagged_keys", with_registers("{!t a: 1, !t a: 2}")},
        Rejected{"equal_sequence_keys", with_registers("{[1, .nan]: a, [0x1, .NaN]: b}")},
        Rejected{"equal_mapping_keys_negative_zero", with_registers("{{a: [-0.0]}: x, {a: [0.0]}: y}")},
        Rejected{"equal_tagged_collection_keys", with_registers("{!t [1]: a, !t [1]: b}")},
        Rejected{"aliased_key_equals_written_key", "s: &s [1, {k: ~}]\n" + with_registers("{*s : a, [1, {k: null}]: b}")},
        // A scalar key named through aliases is the same key at every use.
        Rejected{"named_key_twice_in_params", "k: &k key\n" + with_params("  *k : 1\n  *k : 2\n")},
        Rejected{"anchored_key_named_again_in_params", with_params("  &k key: 1\n  *k : 2\n")},
        Rejected{"named_key_equals_written_key_in_params", "k: &k key\n" + with_params("  key: 1\n  *k : 2\n")},
        Rejected{"named_number_key_equals_written_text_in_params", "n: &n 5\n" + with_params("  *n : 1\n  '5': 2\n")},
        Rejected{"named_key_twice_in_nested_mapping", "k: &k key\n" + with_params("  m: [{*k : 1}, {*k : 1, *k : 2}]\n")},
        Rejected{"named_key_equals_written_key_in_registers", "k: &k key\n" + with_registers("{r: {*k : 1}, *k : 2, key: 3}")},
        Rejected{"named_number_key_equals_written_number", "n: &n 5\n" + with_registers("{*n : 1, 0x5: 2}")},
        Rejected{"written_key_equals_later_named_key", "k: &k key\n" + with_registers("{key: 1, *k : 2}")},
        Rejected{"unknown_alias", with_params("  a: *nowhere\n")},
        // An alias must name an earlier anchor, even under an ignored key.
        Rejected{"unknown_alias_under_ignored_key", with_params("") + "junk: [*nowhere]\n"},
        Rejected{"self_referencing_alias", with_registers("&r {x: *r}")},
        Rejected{"control_character", with_params("  a: \x01\n")}),
    [](const ::testing::TestParamInfo<Rejected>& p) { return std::string(p.param.name); });

// ------------------------------------------------------------------ limits

std::string nested(std::size_t levels, const std::string& inner = "1") {
    return std::string(levels, '[') + inner + std::string(levels, ']');
}

// "item, item, ..." n times.
std::string list_of(std::size_t n, const std::string& item) {
    std::string out;
    for (std::size_t k = 0; k < n; ++k) out += (k ? ", " : "") + item;
    return out;
}

constexpr std::size_t kChildMemory = std::size_t{1} << 30;

// libyaml's scanner pays the depth of the open flow collections for every
// token, so these texts took minutes to read through; the reading must stop
// as soon as rejection is certain.
TEST(MetadataLimits, DeepNestingStopsEarly) {
    std::string deep_model = "params:\n  model: ";
    for (int k = 0; k < 125000; ++k) deep_model += "{a: ";
    deep_model += "1" + std::string(125000, '}') + "\n";
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"mappings in params (500 KB)", deep_model},
        {"sequences in registers", with_registers("{r: " + nested(100000) + "}")},
        {"sequences under an ignored key", "other: " + nested(100000) + "\n" + with_params("")},
        {"sequence root", nested(100000)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string outcome = vexoacq::testing::run_bounded(10, kChildMemory, [&] {
            const auto md = parse_metadata(c.text);
            return !md.ok() && md.error().kind == error::MetadataErrorKind::Serialization;
        });
        EXPECT_EQ(outcome, "passed");
    }
}

TEST(MetadataLimits, NestingInsideParamsAndRegisters) {
    // The top-level mapping is level 1 and params/registers level 2, so a
    // value may open 126 more levels.
    const struct {
        std::string text;
        bool ok;
    } cases[] = {
        {with_params("  deep: " + nested(126) + "\n"), true},
        {with_params("  deep: " + nested(127) + "\n"), false},
        {with_registers("{deep: " + nested(126) + "}"), true},
        {with_registers("{deep: " + nested(127) + "}"), false},
        // Followed aliases count their depth where they are used.
        {"d: &d " + nested(100) + "\n" + with_params("  y: " + nested(26, "*d") + "\n"), true},
        {"d: &d " + nested(100) + "\n" + with_params("  y: " + nested(27, "*d") + "\n"), false},
        // Ignored top-level keys are stepped over without the limit, up to a
        // budget of depth beyond it: a few thousand bare levels pass, ...
        {"ignored: " + nested(5000) + "\n" + with_params(""), true},
        {"ignored: " + nested(127, list_of(100000, "1")) + "\n" + with_params(""), true},
        {"ignored: " + nested(300, "[" + list_of(20000, "1") + "]") + "\n" + with_params(""), true},
        // ... tens of thousands of levels, or a long list held deep, do not.
        {"ignored: " + nested(20000) + "\n" + with_params(""), false},
        {"ignored: " + nested(1000, "[" + list_of(100000, "1") + "]") + "\n" + with_params(""), false},
        // A top-level key that is a collection is rejected, nested or not.
        {"? " + nested(200) + "\n: 1\n" + with_params(""), false},
        {"? " + nested(2) + "\n: 1\n" + with_params(""), false},
    };
    for (std::size_t k = 0; k < std::size(cases); ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(parse_metadata(cases[k].text).ok(), cases[k].ok);
    }
}

// l0 is a list of ten scalars and each l(k) a list of ten aliases of l(k-1):
// reading l(k) expands about 10^k aliases from a text of a few hundred events.
std::string laughs(std::size_t levels) {
    std::string out = "{l0: &l0 [0, 0, 0, 0, 0, 0, 0, 0, 0, 0]";
    for (std::size_t k = 1; k <= levels; ++k) {
        const std::string prev = "*l" + std::to_string(k - 1);
        out += ", l" + std::to_string(k) + ": &l" + std::to_string(k) + " [" + prev;
        for (int r = 1; r < 10; ++r) out += ", " + prev;
        out += "]";
    }
    return out + "}";
}

TEST(MetadataLimits, AliasExpansions) {
    // Two levels: 10 + 10 * 11 aliases followed, against a limit of 100 per event.
    const auto small = parse_metadata(with_registers(laughs(2)));
    ASSERT_TRUE(small.ok());
    EXPECT_EQ(small->registers.get("l2")->as_sequence().size(), 10u);
    EXPECT_EQ(small->registers.get("l2")->as_sequence()[9].as_sequence().size(), 10u);

    // Nine levels would expand about 10^9 aliases; the limit stops it early,
    // wherever the nest is read, also when it is written under an ignored key
    // and named from params or registers.  Unread, under an ignored key, it
    // is accepted.
    const struct {
        const char* name;
        std::string text;
        bool ok;
    } cases[] = {
        {"in registers", with_registers(laughs(9)), false},
        {"in params", "params:\n  model: m\n" + kCounts + "  l: " + laughs(9) + "\nregisters:\n", false},
        {"named from params", "junk: " + laughs(9) + "\n" + with_params("  l: *l9\n"), false},
        {"named from registers", "junk: " + laughs(9) + "\n" + with_registers("{l: [*l8, *l9]}"), false},
        {"named as a register key", "junk: " + laughs(9) + "\n" + with_registers("{? *l9 : 1}"), false},
        {"under an ignored key", "junk: " + laughs(9) + "\n" + with_params(""), true},
        {"named only under ignored keys", "junk: " + laughs(9) + "\nmore: [*l9, {k: *l9}]\n" + with_params(""), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string outcome = vexoacq::testing::run_bounded(10, kChildMemory, [&] {
            const auto md = parse_metadata(c.text);
            return md.ok() == c.ok && (c.ok || md.error().kind == error::MetadataErrorKind::Serialization);
        });
        EXPECT_EQ(outcome, "passed");
    }
}

// Each alias followed is one expansion, however large the node it names: one
// anchored list of n scalars named m times inside params makes m expansions,
// against a limit of 100 per event of the n+m or so events.
TEST(MetadataLimits, AliasesCountNotTheNodesTheyName) {
    const struct {
        std::size_t items, uses;
    } cases[] = {
        {10, 100},
        {1000, 1000},
        {5000, 5000},  // 25 * 10^6 nodes if each alias built its own copy
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.items) + " items used " + std::to_string(c.uses) + " times");
        const std::string text = "other: &a [" + list_of(c.items, "1") + "]\n" +
                                 with_params("  x: [" + list_of(c.uses, "*a") + "]\n");
        const std::string outcome = vexoacq::testing::run_bounded(10, kChildMemory, [&] {
            const auto md = parse_metadata(text);
            if (!md.ok()) return false;
            const auto& x = md->params.extra.get("x")->as_sequence();
            return x.size() == c.uses && x.front().as_sequence().size() == c.items &&
                   x.back().as_sequence().size() == c.items;
        });
        EXPECT_EQ(outcome, "passed");
    }
}

// A register block written once and named by every channel: 208 channels of
// 200 registers, and 130 of 500, are far below the limit.
TEST(MetadataLimits, SharedRegisterBlocks) {
    const struct {
        std::size_t registers, channels;
    } cases[] = {{200, 207}, {200, 208}, {500, 130}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.channels) + " channels of " + std::to_string(c.registers) + " registers");
        std::string text = "params:\n  model: zelkv3\n" + kCounts + "registers:\n  defaults: &d\n";
        for (std::size_t r = 0; r < c.registers; ++r) text += "    reg" + std::to_string(r) + ": " + std::to_string(r) + "\n";
        for (std::size_t ch = 0; ch < c.channels; ++ch) text += "  ch" + std::to_string(ch) + ": *d\n";
        const auto md = parse_metadata(text);
        ASSERT_TRUE(md.ok()) << md.error().yaml->reason;
        ASSERT_EQ(md->registers.size(), c.channels + 1);
        const YamlValue& block = *md->registers.get("defaults");
        ASSERT_EQ(block.as_mapping().size(), c.registers);
        EXPECT_EQ(*block.as_mapping().get("reg" + std::to_string(c.registers - 1))->as_unsigned(), c.registers - 1);
        for (std::size_t ch = 0; ch < c.channels; ++ch) {
            const YamlValue* v = md->registers.get("ch" + std::to_string(ch));
            ASSERT_NE(v, nullptr) << ch;
            EXPECT_EQ(*v, block) << ch;
        }
    }
}

// Within the limit an aliased node is held once however often it is named:
// texts of a few hundred kilobytes that would otherwise build gigabytes.
TEST(MetadataLimits, AliasedNodesAreShared) {
    const std::string long_text(1 << 20, 'x');
    const struct {
        const char* name;
        std::string anchored;  // the anchored node
        std::size_t uses;
    } cases[] = {
        {"list of 100000 items used 95 times", "[" + list_of(100000, "1") + "]", 95},
        {"string of 1 MiB used 1000 times", "'" + long_text + "'", 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string text = "other: &a " + c.anchored + "\n" + with_params("  x: [" + list_of(c.uses, "*a") + "]\n");
        const std::string outcome = vexoacq::testing::run_bounded(10, std::size_t{512} << 20, [&] {
            const auto md = parse_metadata(text);
            if (!md.ok()) return false;
            const auto& x = md->params.extra.get("x")->as_sequence();
            const YamlValue& first = x.front();
            const bool sized = first.type() == YamlValue::Type::String ? first.as_string() == long_text
                                                                        : first.as_sequence().size() == 100000;
            return x.size() == c.uses && sized && x.back() == first;
        });
        EXPECT_EQ(outcome, "passed");
    }
}

TEST(MetadataLimits, ManyDistinctKeysStayLinear) {
    // 200000 keys in one mapping: a quadratic duplicate check would not finish.
    std::string text = "params:\n  model: m\n" + kCounts + "registers:\n";
    for (int k = 0; k < 200000; ++k) text += "  k" + std::to_string(k) + ": " + std::to_string(k) + "\n";
    const auto md = parse_metadata(text);
    ASSERT_TRUE(md.ok());
    EXPECT_EQ(md->registers.size(), 200000u);
    EXPECT_EQ(*md->registers.get("k199999")->as_unsigned(), 199999u);
}

// The bytes a reading of `text` allocates.
std::size_t allocated_reading(const std::string& text) {
    const std::size_t before = g_allocated.load();
    const bool ok = parse_metadata(text).ok();
    const std::size_t used = g_allocated.load() - before;
    EXPECT_TRUE(ok);
    return used;
}

// One anchored list of n scalars named n times inside params.
std::string named_list(std::size_t n) {
    return "other: &a [" + list_of(n, "1") + "]\n" + with_params("  x: [" + list_of(n, "*a") + "]\n");
}

// d lists nested inside params, each anchored and holding the next and 50
// scalars, and then an alias of each: a node named inside another named node.
std::string named_nest(std::size_t d) {
    std::string open, close, refs;
    for (std::size_t k = 0; k < d; ++k) {
        open += "&x" + std::to_string(k) + " [";
        close = ", " + list_of(50, "1") + "]" + close;
        refs += (k ? ", *x" : "*x") + std::to_string(k);
    }
    return with_params("  x: " + open + "0" + close + "\n  refs: [" + refs + "]\n");
}

// Each named node is typed once however often it is named, so doubling the
// text doubles what a reading allocates; typing a named node again for each
// alias would make it grow with the square of the text.
TEST(MetadataLimits, ReadingNamedNodesIsLinear) {
    const struct {
        const char* name;
        std::string text, doubled;
    } cases[] = {
        {"list named by as many aliases", named_list(5000), named_list(10000)},
        {"named nodes nested in named nodes", named_nest(60), named_nest(120)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const double ratio = static_cast<double>(allocated_reading(c.doubled)) /
                             static_cast<double>(allocated_reading(c.text));
        EXPECT_LT(ratio, 3.0) << ratio;
    }
}

// A key may name a node whose tree, expanded, is far larger than the text:
// here 100000 scalars under six levels of ten aliases, 10^11 nodes from
// 300 KB, within the limit (about 1.1 * 10^6 expansions against 10^7).  Keys
// are compared without walking that tree.
TEST(MetadataLimits, LargeAliasedKeysAreComparedInLinearTime) {
    std::string chain = "{l0: &l0 [" + list_of(100000, "0") + "]";
    for (int k = 1; k <= 6; ++k) {
        chain += ", l" + std::to_string(k) + ": &l" + std::to_string(k) + " [" +
                 list_of(10, "*l" + std::to_string(k - 1)) + "]";
    }
    // m1 is written apart from l1 but equal to it, so l6 and m6 are equal
    // trees that share no node above l0.
    chain += ", m1: &m1 [" + list_of(10, "*l0") + "]";
    for (int k = 2; k <= 6; ++k) {
        chain += ", m" + std::to_string(k) + ": &m" + std::to_string(k) + " [" +
                 list_of(10, "*m" + std::to_string(k - 1)) + "]";
    }
    const struct {
        const char* name;
        std::string keys;
        bool ok;
    } cases[] = {
        {"one key", "{? *l6 : 1, ? *l5 : 2}", true},
        {"the same node twice", "{? *l6 : 1, ? *l6 : 2}", false},
        {"equal nodes", "{? *l6 : 1, ? *m6 : 2}", false},
        {"equal nodes in written keys", "{? [*l6] : 1, ? [*m6] : 2}", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string text = with_registers(chain + ", k: " + c.keys + "}");
        const std::string outcome = vexoacq::testing::run_bounded(10, kChildMemory, [&] {
            const auto md = parse_metadata(text);
            if (!c.ok) return !md.ok() && md.error().kind == error::MetadataErrorKind::Serialization;
            return md.ok() && md->registers.get("k")->as_mapping().size() == 2;
        });
        EXPECT_EQ(outcome, "passed");
    }
}

// Where named_key_text puts the keys that name the long string.
enum class KeyPlace { Params, ParamsNested, RegistersNested, Ignored };

// A string of `length` bytes, anchored under an ignored key and named `uses`
// times as a mapping key: as keys of params itself (the second use is a
// duplicate), as the key of a one-entry mapping in a list inside params or
// registers, or as repeated ignored top-level keys.
std::string named_key_text(KeyPlace place, std::size_t length, std::size_t uses) {
    const std::string anchored = "other: &a '" + std::string(length, 'x') + "'\n";
    std::string lines;
    switch (place) {
        case KeyPlace::Params:
            for (std::size_t k = 0; k < uses; ++k) lines += "  *a : 1\n";
            return anchored + with_params(lines);
        case KeyPlace::ParamsNested: return anchored + with_params("  v: [" + list_of(uses, "{*a : 1}") + "]\n");
        case KeyPlace::RegistersNested: return anchored + with_registers("{l: [" + list_of(uses, "{*a : 1}") + "]}");
        case KeyPlace::Ignored:
            for (std::size_t k = 0; k < uses; ++k) lines += "*a : 1\n";
            return anchored + lines + with_params("");
    }
    return anchored;
}

// The list of one-entry mappings that named_key_text writes in params or
// registers: `uses` of them, each with the long string as its key.
bool is_list_of_named_keys(const YamlValue* list, std::size_t length, std::size_t uses) {
    if (list == nullptr || list->as_sequence().size() != uses) return false;
    const std::string text(length, 'x');
    for (const YamlValue& item : list->as_sequence()) {
        const YamlMapping& m = item.as_mapping();
        if (m.size() != 1 || m.key(0).as_string().size() != length || m.value(0) != u(1)) return false;
    }
    return list->as_sequence().front().as_mapping().key(0).as_string() == text &&
           list->as_sequence().back().as_mapping().key(0).as_string() == text;
}

// Reads `text` in a child under `cpu_seconds` of CPU time and 384 MB: the
// rules refuse it when `ok` is false, and otherwise accept it with a result
// that `check` approves.
template <class Check>
void expect_bounded_reading(const std::string& text, unsigned cpu_seconds, bool ok, Check check) {
    ASSERT_LT(text.size(), std::size_t{1} << 20);
    const std::string outcome = vexoacq::testing::run_bounded(cpu_seconds, std::size_t{384} << 20, [&] {
        const auto md = parse_metadata(text);
        if (!ok) return !md.ok() && md.error().kind == error::MetadataErrorKind::Serialization;
        return md.ok() && check(*md);
    });
    EXPECT_EQ(outcome, "passed");
}

// A 500 KB string named 25000 times as a key: 12.5 GB of key text if every
// use were hashed or copied in full, from a text of 700 KB.  Each use costs
// the same small amount, so the readings end well inside a CPU-time limit
// and in a few hundred MB; duplicates among params' keys are still refused.
TEST(MetadataLimits, LongNamedKeysAreReadOnce) {
    constexpr std::size_t length = 500000, uses = 25000;
    const struct {
        const char* name;
        KeyPlace place;
        bool ok;
    } cases[] = {
        {"params keys", KeyPlace::Params, false},
        {"keys of mappings in params", KeyPlace::ParamsNested, true},
        {"keys of mappings in registers", KeyPlace::RegistersNested, true},
        {"ignored top-level keys", KeyPlace::Ignored, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        expect_bounded_reading(named_key_text(c.place, length, uses), 1, c.ok, [&](const Metadata& md) {
            switch (c.place) {
                case KeyPlace::ParamsNested: return is_list_of_named_keys(md.params.extra.get("v"), length, uses);
                case KeyPlace::RegistersNested: return is_list_of_named_keys(md.registers.get("l"), length, uses);
                default: return md.params.extra.empty() && md.registers.empty();
            }
        });
    }
}

// The least CPU time, over three readings, that reading `text` takes.  Each
// reading is the first of a forked child: in one process a later reading
// finds the memory that an earlier one freed (or not, as the allocator
// chose to keep it), so that readings of texts of different sizes would be
// timed under different conditions.  A child pays the same for every page
// it writes, whatever the parent left in its heap.  Negative when a
// reading failed.
double cpu_seconds_reading(const std::string& text) {
    double least = HUGE_VAL;
    for (int r = 0; r < 3; ++r) {
        int fds[2];
        if (::pipe(fds) != 0) return -1;
        const pid_t pid = ::fork();
        if (pid < 0) return -1;
        if (pid == 0) {
            ::close(fds[0]);
            timespec start{}, end{};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
            const bool ok = parse_metadata(text).ok();
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
            const double seconds = ok ? static_cast<double>(end.tv_sec - start.tv_sec) +
                                            static_cast<double>(end.tv_nsec - start.tv_nsec) * 1e-9
                                      : -1.0;
            const bool written = ::write(fds[1], &seconds, sizeof seconds) == static_cast<ssize_t>(sizeof seconds);
            ::_exit(written ? 0 : 1);
        }
        ::close(fds[1]);
        double seconds = -1;
        const bool got = ::read(fds[0], &seconds, sizeof seconds) == static_cast<ssize_t>(sizeof seconds);
        ::close(fds[0]);
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0) {
        }
        EXPECT_TRUE(got && seconds >= 0) << "the reading failed";
        if (!got || seconds < 0) return -1;
        least = std::min(least, seconds);
    }
    return least;
}

// The bytes a reading of `text` allocates, whatever its outcome.
std::size_t allocated_reading_any(const std::string& text) {
    const std::size_t before = g_allocated.load();
    (void)parse_metadata(text);
    return g_allocated.load() - before;
}

// Quadrupling both the named string and its uses quadruples the text; work
// that grows with the uses times the length grows sixteen times.  Copying
// keys shows in the bytes allocated, hashing them only in the CPU time,
// measured side by side as a ratio (a factor of four between the two, so
// that a loaded machine's noise in the CPU times cannot cross it).
TEST(MetadataLimits, LongNamedKeysAreLinear) {
    const struct {
        const char* name;
        KeyPlace place;
        bool by_cpu;
        std::size_t length, uses;
    } cases[] = {
        {"params keys", KeyPlace::Params, false, 20000, 1000},
        {"ignored top-level keys", KeyPlace::Ignored, false, 20000, 1000},
        {"keys of mappings in params", KeyPlace::ParamsNested, true, 200000, 10000},
        {"keys of mappings in registers", KeyPlace::RegistersNested, true, 200000, 10000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string text = named_key_text(c.place, c.length, c.uses);
        const std::string larger = named_key_text(c.place, 4 * c.length, 4 * c.uses);
        const double ratio = c.by_cpu ? cpu_seconds_reading(larger) / cpu_seconds_reading(text)
                                      : static_cast<double>(allocated_reading_any(larger)) /
                                            static_cast<double>(allocated_reading_any(text));
        EXPECT_LT(ratio, 8.0) << ratio;
    }
}

// Where long_prefix_text puts the tags that name the long %TAG prefix.
enum class TagPlace { Params, Registers, RegistersDistinct, RegistersLocal, RegistersKeys, Ignored };

// One %TAG handle whose prefix is `length` bytes, named by `uses` short tags:
// values of a list in params or registers (the same tag each time, a
// different suffix each time, or a handle whose prefix is a local tag), keys
// of one-entry mappings in registers, or values under an ignored key.
std::string long_prefix_text(TagPlace place, std::size_t length, std::size_t uses) {
    const bool local = place == TagPlace::RegistersLocal;
    const std::string directives = "%TAG !a! tag:x.org,2000:" + std::string(local ? 1 : length, 'p') + "\n" +
                                   "%TAG !l! !" + std::string(local ? length : 1, 'q') + "\n---\n";
    std::string distinct;
    switch (place) {
        case TagPlace::Params: return directives + with_params("  v: [" + list_of(uses, "!a!x 1") + "]\n");
        case TagPlace::Registers: return directives + with_registers("{l: [" + list_of(uses, "!a!x 1") + "]}");
        case TagPlace::RegistersDistinct:
            for (std::size_t k = 0; k < uses; ++k) distinct += (k ? ", !a!" : "!a!") + std::to_string(k) + " 1";
            return directives + with_registers("{l: [" + distinct + "]}");
        case TagPlace::RegistersLocal: return directives + with_registers("{l: [" + list_of(uses, "!l!x 1") + "]}");
        case TagPlace::RegistersKeys: return directives + with_registers("{l: [" + list_of(uses, "{!a!x k: 1}") + "]}");
        case TagPlace::Ignored: return directives + "other: [" + list_of(uses, "!a!x 1") + "]\n" + with_params("");
    }
    return directives;
}

// The list that long_prefix_text writes in registers, typed: `uses` tagged
// values (or one-entry mappings with a tagged key) with the expected tags.
bool is_list_of_long_tags(TagPlace place, const YamlValue* list, std::size_t length, std::size_t uses) {
    if (list == nullptr || list->as_sequence().size() != uses) return false;
    const std::string global = "tag:x.org,2000:" + std::string(length, 'p');
    for (std::size_t k = 0; k < uses; ++k) {
        const YamlValue& item = list->as_sequence()[k];
        const bool edge = k == 0 || k + 1 == uses;  // texts compared in full at the ends only
        switch (place) {
            case TagPlace::Registers:
                if (edge && item != V::tagged(global + "x", u(1))) return false;
                if (item.tag().size() != length + 16 || item.tagged_value() != u(1)) return false;
                break;
            case TagPlace::RegistersDistinct:
                if (edge && item != V::tagged(global + std::to_string(k), u(1))) return false;
                if (item.tag().size() != length + 15 + std::to_string(k).size() || item.tagged_value() != u(1)) {
                    return false;
                }
                break;
            case TagPlace::RegistersLocal:
                if (edge && item != V::tagged("!" + std::string(length, 'q') + "x", u(1))) return false;
                if (item.tag().size() != length + 2 || item.tagged_value() != u(1)) return false;
                break;
            case TagPlace::RegistersKeys: {
                const YamlMapping& m = item.as_mapping();
                if (m.size() != 1 || m.value(0) != u(1) || m.key(0).tag().size() != length + 16) return false;
                if (edge && m.key(0) != V::tagged(global + "x", s("k"))) return false;
                break;
            }
            default: return false;
        }
    }
    return true;
}

// A %TAG prefix of 500 KB named by 25000 tags of a few bytes: 12.5 GB of tag
// text if each node kept its tag in full, from a text of 700 KB.  libyaml
// still copies the prefix into each event it hands over, which takes a
// fraction of a second; the reading keeps each distinct tag once, so these
// end well inside the CPU-time limit and in a few hundred MB.  A tag that is
// not a standard one is refused in params, kept in registers, and unread
// under an ignored key.  Last, a 500 KB anchor name named by aliases: each
// alias writes the name again, so that costs no more than the text.
TEST(MetadataLimits, LongTagPrefixesAreHeldOnce) {
    // The sanitizer builds set no address-space limit, so there the shapes
    // only show that the reading works; a tenth of the uses spares them
    // libyaml's 12.5 GB of checked prefix copies.
    constexpr std::size_t length = 500000, uses = vexoacq::testing::kAddressSpaceLimited ? 25000 : 2500;
    const struct {
        const char* name;
        TagPlace place;
        bool ok;
    } cases[] = {
        {"values in params", TagPlace::Params, false},
        {"values in registers", TagPlace::Registers, true},
        {"a different suffix each time", TagPlace::RegistersDistinct, true},
        {"a local prefix", TagPlace::RegistersLocal, true},
        {"keys in registers", TagPlace::RegistersKeys, true},
        {"values under an ignored key", TagPlace::Ignored, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        expect_bounded_reading(long_prefix_text(c.place, length, uses), 4, c.ok, [&](const Metadata& md) {
            if (c.place == TagPlace::Ignored) return md.params.extra.empty() && md.registers.empty();
            return is_list_of_long_tags(c.place, md.registers.get("l"), length, uses);
        });
    }
    const std::string name(length, 'n');
    const std::string anchored = with_registers("{l: &" + name + " [1], m: [" + list_of(4, "*" + name) + "]}");
    const std::string outcome = vexoacq::testing::run_bounded(4, std::size_t{384} << 20, [&] {
        const auto md = parse_metadata(anchored);
        return md.ok() && md->registers.get("m")->as_sequence() == std::vector<V>(4, seq({u(1)}));
    });
    EXPECT_EQ(outcome, "passed");
}

// Integer keys chosen so that a fixed, unkeyed hash of their value (the
// value mixed with constants, as the duplicate-key check once hashed them)
// falls into one bucket of a table of 100000 entries: every insertion then
// walked all the entries before it, 8 s of CPU for 2.4 MB of text.  With
// hashes keyed per process the same keys spread like any others.
TEST(MetadataLimits, KeysChosenToCollideStayLinear) {
    constexpr std::size_t n = 100000;
    std::unordered_multimap<std::size_t, std::size_t> probe;
    for (std::size_t k = 0; k < n; ++k) probe.emplace(k, k);
    const std::size_t buckets = probe.bucket_count();
    const auto mix = [](std::size_t h, std::size_t v) { return h ^ (v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2)); };
    const std::size_t h = mix(static_cast<std::size_t>(YamlValue::Type::Integer), 0);
    const std::size_t added = 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    std::string lines;
    for (std::size_t k = 0; k < n; ++k) lines += "  " + std::to_string(((k * buckets) ^ h) - added) + ": 1\n";
    const std::string text = "params:\n  model: m\n" + kCounts + "registers:\n" + lines;
    const std::string outcome = vexoacq::testing::run_bounded(2, kChildMemory, [&] {
        const auto md = parse_metadata(text);
        return md.ok() && md->registers.size() == n;
    });
    EXPECT_EQ(outcome, "passed");
}

// Tags under %TAG handles are the handle's prefix and the suffix, whichever
// of several prefixes that start one another a tag was written with, and a
// handle may give a standard tag; equal tags are equal keys.
TEST(MetadataAccepted, TagsUnderHandles) {
    const std::string text =
        "%TAG !a! tag:x.org,2000:\n%TAG !b! tag:x.org,2000:ab\n%TAG !c! tag:x.org,2000:abc\n"
        "%TAG !s! tag:yaml.org,2002:\n%TAG !e! tag:x.org,2000:\n---\n"
        "params:\n  model: zelkv3\n" + kCounts + "  n: !s!int 0x10\n"
        "registers: {a: !a!abx 1, b: !b!x 2, c: !c!x 3, d: !a!abcx 4, e: !e!y 5, f: !<tag:x.org,2000:abcx> 6, "
        "g: !s!seq [1], h: [!a!abx 1, !a!zz 2], i: !!str 7, j: ! 8}\n";
    const auto md = parse_metadata(text);
    ASSERT_TRUE(md.ok()) << md.error().yaml->reason;
    EXPECT_EQ(*md->params.extra.get("n"), u(16));
    const std::string x = "tag:x.org,2000:";
    const YamlMapping want = map({{s("a"), V::tagged(x + "abx", u(1))},
                                  {s("b"), V::tagged(x + "abx", u(2))},
                                  {s("c"), V::tagged(x + "abcx", u(3))},
                                  {s("d"), V::tagged(x + "abcx", u(4))},
                                  {s("e"), V::tagged(x + "y", u(5))},
                                  {s("f"), V::tagged(x + "abcx", u(6))},
                                  {s("g"), seq({u(1)})},
                                  {s("h"), seq({V::tagged(x + "abx", u(1)), V::tagged(x + "zz", u(2))})},
                                  {s("i"), s("7")},
                                  {s("j"), V::tagged("!", u(8))}});
    EXPECT_EQ(md->registers, want);
    // The same tag written through two handles is one key.
    const auto dup = parse_metadata("%TAG !a! tag:x.org,2000:\n%TAG !b! tag:x.org,2000:ab\n---\n" +
                                    with_registers("{!a!abx k: 1, !b!x k: 2}"));
    EXPECT_FALSE(dup.ok());
    const auto distinct = parse_metadata("%TAG !a! tag:x.org,2000:\n%TAG !b! tag:x.org,2000:ab\n---\n" +
                                         with_registers("{!a!abx k: 1, !b!y k: 2}"));
    EXPECT_TRUE(distinct.ok());
}

// Lookups give the first entry of a text key, whichever way the mapping
// finds it: small mappings are searched in order, larger ones through their
// index, so every size around the change is read alike, through copies and
// moves, with the hash given or not.
TEST(YamlMappingLookup, SameAtEverySize) {
    for (std::size_t n = 0; n <= 2 * YamlMapping::kLinearEntries + 2; ++n) {
        SCOPED_TRACE(n);
        YamlMapping m;
        Entries added;  // text keys k0, k2, k4, ..., integer keys, and repeats of k0, k4, ...
        for (std::size_t k = 0; k < n; ++k) {
            switch (k % 4) {
                case 1: added.emplace_back(u(k), u(1000 + k)); break;          // not a text key
                case 3: added.emplace_back(s("k" + std::to_string(k - 3)), u(2000 + k)); break;  // a later duplicate
                default: added.emplace_back(s("k" + std::to_string(k)), u(k)); break;
            }
        }
        for (std::size_t k = 0; k < added.size(); ++k) {
            if (k % 2 == 0) {
                m.push_back(added[k].first, added[k].second);
            } else if (added[k].first.type() == V::Type::String) {
                m.push_back(added[k].first, added[k].second, YamlMapping::text_hash(added[k].first.as_string()));
            } else {
                m.push_back(added[k].first, added[k].second);
            }
        }
        const YamlMapping copy = m;
        YamlMapping assigned;
        assigned = m;
        YamlMapping source = m;
        YamlMapping moved = std::move(source);
        EXPECT_TRUE(source.empty());
        EXPECT_EQ(source.get("k0"), nullptr);
        const YamlMapping* all[] = {&m, &copy, &assigned, &moved};
        for (const YamlMapping* x : all) {
            ASSERT_EQ(x->size(), n);
            EXPECT_EQ(*x, m);
            for (std::size_t k = 0; k < n; ++k) {
                EXPECT_EQ(x->key(k), added[k].first);
                EXPECT_EQ(x->value(k), added[k].second);
                if (k % 4 == 1 || k % 4 == 3) continue;
                const std::string key = "k" + std::to_string(k);
                const V* by_text = x->get(key);
                const V* by_hash = x->get(key, YamlMapping::text_hash(key));
                ASSERT_NE(by_text, nullptr) << key;
                EXPECT_EQ(by_text, by_hash);
                EXPECT_EQ(*by_text, u(k));  // the first entry of the text, not the duplicate
            }
            EXPECT_EQ(x->get("1"), nullptr);  // integer keys are not texts
            EXPECT_EQ(x->get("absent"), nullptr);
            EXPECT_EQ(x->get("absent", YamlMapping::text_hash("absent")), nullptr);
            EXPECT_EQ(x->get(""), nullptr);
        }
    }
}

// A mapping past the index threshold whose keys are no texts has an index
// with nothing in it.
TEST(YamlMappingLookup, NoTextKeys) {
    YamlMapping m;
    for (std::uint64_t k = 0; k < 3 * YamlMapping::kLinearEntries; ++k) m.push_back(u(k), u(k));
    EXPECT_EQ(m.get("0"), nullptr);
    EXPECT_EQ(m.get("0", YamlMapping::text_hash("0")), nullptr);
    m.push_back(s("0"), u(7));
    ASSERT_NE(m.get("0"), nullptr);
    EXPECT_EQ(*m.get("0"), u(7));
}

// A tag is held as the longest declared prefix it starts with and the rest,
// whatever the prefixes' shapes: prefixes that start one another, that part
// at some byte, that equal the whole tag or run past its end, declared
// twice or in any order.  Equal tags share one YamlTag.
TEST(MetadataAccepted, TagsKeepTheLongestDeclaredPrefix) {
    const std::string directives =
        "%TAG !c! tag:x.org,2000:abc\n%TAG !a! tag:x.org,2000:\n%TAG !b! tag:x.org,2000:ab\n"
        "%TAG !p! tag:x.org,2000:pq\n%TAG !q! tag:x.org,2000:pr\n%TAG !d! tag:x.org,2000:\n"
        "%TAG !l! !loc\n%TAG !m! !locus\n---\n";
    const std::string x = "tag:x.org,2000:";
    const struct {
        const char* tag;       // as written
        std::string text;      // the whole tag
        std::string prefix;    // the longest declared prefix it starts with
    } cases[] = {
        {"!a!x", x + "x", x},
        {"!a!a", x + "a", x},
        {"!a!ab", x + "ab", x + "ab"},
        {"!a!abz", x + "abz", x + "ab"},
        {"!b!c", x + "abc", x + "abc"},
        {"!c!def", x + "abcdef", x + "abc"},
        {"!a!p", x + "p", x},
        {"!a!pqr", x + "pqr", x + "pq"},
        {"!q!s", x + "prs", x + "pr"},
        {"!a!ps", x + "ps", x},
        {"!<tag:x.org,2000:>", x, x},
        {"!<tag:x.org,2000:abcd>", x + "abcd", x + "abc"},
        {"!<tag:x.org,20>", "tag:x.org,20", ""},
        {"!<t>", "t", ""},
        {"!<!loc>", "!loc", "!loc"},
        {"!l!u", "!locu", "!loc"},
        {"!m!s", "!locuss", "!locus"},
        {"!other", "!other", ""},
    };
    std::string list;
    for (const auto& c : cases) list += (list.empty() ? "" : ", ") + std::string(c.tag) + " 1";
    const auto md = parse_metadata(directives + with_registers("{l: [" + list + "], m: [" + list + "]}"));
    ASSERT_TRUE(md.ok()) << md.error().yaml->reason;
    const auto& l = md->registers.get("l")->as_sequence();
    const auto& m = md->registers.get("m")->as_sequence();
    ASSERT_EQ(l.size(), std::size(cases));
    for (std::size_t k = 0; k < l.size(); ++k) {
        SCOPED_TRACE(cases[k].tag);
        EXPECT_EQ(l[k].tag().text(), cases[k].text);
        EXPECT_EQ(l[k].tag().prefix(), cases[k].prefix);
        EXPECT_EQ(l[k].tagged_value(), u(1));
        EXPECT_EQ(&l[k].tag(), &m[k].tag());
    }
}

// Random sets of prefixes over two letters, so that they start one another
// and part in every way, against the longest declared prefix found by
// trying each; every tag is also read back whole.
TEST(MetadataAccepted, TagPrefixesAgainstEveryDirective) {
    XorShift next{0x2545F4914F6CDD1DULL};
    const auto word = [&](std::size_t max) {
        std::string w(1 + next() % max, 'a');
        for (char& ch : w) ch = "ab"[next() % 2];
        return w;
    };
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE(round);
        std::vector<std::string> prefixes;
        std::string text;
        const std::size_t directives = next() % 12;
        for (std::size_t k = 0; k < directives; ++k) {
            prefixes.push_back(k > 0 && next() % 4 == 0 ? prefixes[next() % k] : word(8));  // some twice
            text += "%TAG !h" + std::to_string(k) + "! " + prefixes.back() + "\n";
        }
        std::vector<std::string> tags;
        std::string list;
        for (int t = 0; t < 30; ++t) {
            tags.push_back(word(10));
            list += (t ? ", !<" : "!<") + tags.back() + "> 1";
        }
        const auto md = parse_metadata(text + "---\n" + with_registers("{l: [" + list + "]}"));
        ASSERT_TRUE(md.ok()) << md.error().yaml->reason;
        const auto& l = md->registers.get("l")->as_sequence();
        ASSERT_EQ(l.size(), tags.size());
        for (std::size_t t = 0; t < tags.size(); ++t) {
            std::string longest;
            for (const std::string& p : prefixes) {
                if (tags[t].starts_with(p) && p.size() > longest.size()) longest = p;
            }
            EXPECT_EQ(l[t].tag().text(), tags[t]);
            EXPECT_EQ(l[t].tag().prefix(), longest) << tags[t];
        }
    }
}

// `directives` unused %TAG prefixes of lengths 1, 2, ... that start one
// another, then `tags` verbatim standard tags in registers (libyaml resolves
// a verbatim tag without looking at the directives).
std::string unused_directives_text(std::size_t directives, std::size_t tags) {
    std::string text;
    for (std::size_t k = 1; k <= directives; ++k) text += "%TAG !h" + std::to_string(k) + "! " + std::string(k, 'a') + "\n";
    return text + "---\n" + with_registers("{l: [" + list_of(tags, "!<tag:yaml.org,2002:str> x") + "]}");
}

// What the module's own work costs per tagged node must not grow with the
// number of %TAG directives, however they nest.  The cost of N tags is the
// reading of a text with them less the reading of the same directives
// without them; libyaml's own share of it does not depend on the directives
// (it resolves a verbatim tag without them).  It is the same with 250 and
// with 2000 directives; work that walked the directives for each tag would
// grow about three times.
TEST(MetadataLimits, TagCostIsFlatInTheNumberOfDirectives) {
    const std::string outcome = vexoacq::testing::run_bounded(60, std::size_t{1} << 30, [] {
        const std::size_t tags = 200000;
        const auto tag_cost = [&](std::size_t directives) {
            return cpu_seconds_reading(unused_directives_text(directives, tags)) -
                   cpu_seconds_reading(unused_directives_text(directives, 0));
        };
        const double few = tag_cost(250);
        const double many = tag_cost(2000);
        const bool flat = many < 2.0 * few + 0.01;
        if (!flat) std::fprintf(stderr, "tag cost: %.4f s with 250 directives, %.4f s with 2000\n", few, many);
        return flat && !::testing::Test::HasFailure();
    });
    EXPECT_EQ(outcome, "passed");
}

// A list of one-entry mappings is mostly its mappings: what a reading
// allocates for each stays far below what an indexed mapping of two vectors
// took, so a file of millions of them fits in memory.
TEST(MetadataLimits, SmallMappingsAreCompact) {
    const std::size_t n = 20000;
    const double per_mapping = static_cast<double>(allocated_reading(with_registers("{l: [" + list_of(n, "{a: 1}") + "]}")) -
                                                   allocated_reading(with_registers("{l: []}"))) /
                               static_cast<double>(n);
    EXPECT_LT(per_mapping, 600.0);
}

}  // namespace

namespace {

// Bounded fuzz: every prefix of a rich document, and random byte mutations of
// it, either type or are rejected as Serialization; nothing else may happen.
TEST(MetadataFuzz, PrefixesAndMutations) {
    const std::string seed =
        "%YAML 1.1\n---\nother: &o {a: [1, 2]}\nalso: *o\nparams:\n  model: &m 'zelkv3'\n  channels: 0x10\n"
        "  windows: +4\n  samples: !!int |-\n    32\n  mask: [0x0600, -1, 1.5e3, .inf, ~, true, \"s\"]\n"
        "  nested: {k: {j: [*m, &x 7, *x]}}\nregisters: {a: !t 1, ? [k]\n : v}\n...\n";
    const auto check = [](const std::string& text) {
        const auto md = parse_metadata(text);
        if (!md.ok()) {
            EXPECT_EQ(md.error().kind, error::MetadataErrorKind::Serialization);
        }
    };
    ASSERT_TRUE(parse_metadata(seed).ok());
    for (std::size_t n = 0; n <= seed.size(); ++n) check(seed.substr(0, n));
    XorShift next{0x9E3779B97F4A7C15ULL};
    const char alphabet[] = "[]{}:,&*!-?|>'\"#\n 0x1.~%";
    for (int round = 0; round < 3000; ++round) {
        std::string text = seed;
        for (int edits = 1 + static_cast<int>(next() % 4); edits > 0; --edits) {
            const std::size_t at = next() % text.size();
            switch (next() % 3) {
                case 0: text[at] = alphabet[next() % (sizeof alphabet - 1)]; break;
                case 1: text.insert(at, 1, alphabet[next() % (sizeof alphabet - 1)]); break;
                default: text.erase(at, 1); break;
            }
        }
        check(text);
    }
}

}  // namespace
